#!/usr/bin/env bash
# One entry point for developers and CI.
#
#   ./dev.sh setup     install missing build dependencies with apt-get (idempotent)
#   ./dev.sh build     configure and build into build/ (incremental; runs setup first)
#   ./dev.sh test      setup + build + the whole CTest suite inside a private,
#                      loopback-only network namespace
#   ./dev.sh shell     a shell inside such a namespace (for running things by hand)
#
# Extra arguments after `test` are passed to ctest (for example -R Trace).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
JOBS="${JOBS:-$(nproc)}"

# Debian packages the build and the tests need.
PACKAGES=(
  cmake g++ make pkg-config git iproute2 util-linux
  libboost-dev libgtest-dev libgmock-dev libbenchmark-dev
  libomniorb4-dev omniidl
  nlohmann-json3-dev libcli11-dev
)

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "dev.sh: $1 needs root (apt-get / network namespaces)" >&2
    exit 1
  fi
}

cmd_setup() {
  local missing=()
  local p
  for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  need_root "installing ${missing[*]}"
  echo "dev.sh: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

cmd_build() {
  cmd_setup
  if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
  fi
  cmake --build "$BUILD_DIR" -j "$JOBS"
}

# Runs "$@" inside a fresh network namespace that has only the loopback
# interface, up. Nothing started there can reach or publish another address.
in_netns() {
  need_root "a private network namespace"
  unshare --net -- bash -c 'ip link set lo up && exec "$@"' in_netns "$@"
}

cmd_test() {
  cmd_build
  in_netns ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@"
}

cmd_shell() {
  in_netns bash -i
}

case "${1:-}" in
  setup) shift; cmd_setup "$@" ;;
  build) shift; cmd_build "$@" ;;
  test)  shift; cmd_test "$@" ;;
  shell) shift; cmd_shell "$@" ;;
  *)
    sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
