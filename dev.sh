#!/usr/bin/env bash
# One entry point for developers and CI.
#
#   ./dev.sh setup     install missing build dependencies with apt-get (idempotent;
#                      passing index and download failures are retried)
#   ./dev.sh build     configure and build into build/ (incremental; runs setup first)
#   ./dev.sh test      setup + build + the whole CTest suite inside a private,
#                      loopback-only network namespace
#   ./dev.sh shell     a shell inside such a namespace (for running things by hand)
#   ./dev.sh demo      setup + build, then a guided tour with regd and rozctl
#                      inside such a namespace; `demo --web` drives the web
#                      console of rozweb in headless Chromium instead and
#                      saves a screenshot of each view; `demo --tls` runs
#                      the tour over TLS with throw-away certificates
#   ./dev.sh bench     Release build in build-release/, then every benchmark
#                      (micro-benchmarks, bench_e2e, bench_batch, bench_rozweb, the Python
#                      package's bench/python/bench_python.py) inside such a
#                      namespace; --quick and --rounds N go to bench_e2e,
#                      bench_batch, bench_rozweb and bench_tls
#
# Extra arguments after `test` are passed to ctest (for example -R Trace).
# `--i386` right after setup, build or test does the same for the 32-bit x86
# target (-m32) in build-i386/, against a private i386 sysroot there; the
# regd-based tests run once more against the x86-64 regd of build/.
# `--asan` (AddressSanitizer with UndefinedBehaviorSanitizer), `--ubsan`,
# `--tsan` and `--valgrind` in the same place build into build-<mode>/ and
# run the suite with that checker; `./dev.sh fuzz SECONDS` builds the
# libFuzzer targets of fuzz/ into build-fuzz/ and runs each for SECONDS.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
JOBS="${JOBS:-$(nproc)}"

# Debian packages the build and the tests need.
PACKAGES=(
  cmake g++ make pkg-config git iproute2 util-linux
  libboost-dev libgtest-dev libgmock-dev libbenchmark-dev
  libomniorb4-dev omniidl
  libssl-dev openssl  # omniORB's TLS transport (libomnisslTP4) and the TLS tests' certificates
  nlohmann-json3-dev libcli11-dev ccache
  nftables  # the several-hosts tests' firewall rules (tests/hosts)
  clang libclang-rt-14-dev valgrind
  python3-dev pybind11-dev python3-numpy python3-pytest  # the Python package (python/)
  chromium fonts-dejavu-core  # rozweb's browser tests and ./dev.sh demo --web
)
# Node.js and npm build rozweb's console (tools/rozweb/web); Debian's come
# only when the machine has none (a newer one may be installed otherwise).
NODE_PACKAGES=(nodejs npm)

# Checker modes (--asan, --ubsan, --tsan, --valgrind): each builds the whole
# tree into build-<mode>/ with the cmake flags of checker_cmake_args and runs
# the suite with the run-time options of checker_env. Findings fail the test
# in which they happen; the suppression files (findings inside omniORB only,
# each with its reason) are in tests/checkers/.
CHECKER=""
CHECKERS_DIR="$ROOT/tests/checkers"

checker_cmake_args() {
  case "$CHECKER" in
    asan) echo "-DVARNEK_SANITIZE=address,undefined" ;;
    ubsan) echo "-DVARNEK_SANITIZE=undefined" ;;
    tsan) echo "-DVARNEK_SANITIZE=thread" ;;
    valgrind) echo "-DVARNEK_TEST_LAUNCHER=$CHECKERS_DIR/valgrind-run" ;;
  esac
}

# Exports the sanitizers' options: stop at the first finding with a stack,
# and read the suppression files.
checker_env() {
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$CHECKERS_DIR/ubsan.supp"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:check_initialization_order=1"
  export LSAN_OPTIONS="suppressions=$CHECKERS_DIR/lsan.supp:print_suppressions=0"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$CHECKERS_DIR/tsan.supp"
}

# The 32-bit build: the host's multilib compiler, plus the i386 packages of
# the libraries with compiled code. Those are not installed (omniORB's i386
# development files conflict with the installed x86-64 ones): they are
# downloaded once into build-i386/debs/ and unpacked into build-i386/sysroot/,
# which cmake/i386-toolchain.cmake points the build at. Header-only
# dependencies (boost, nlohmann-json, CLI11) and omniidl come from the host.
I386=0
I386_HOST_PACKAGES=(g++-multilib)
I386_SYSROOT_PACKAGES=(
  libomniorb4-2 libomniorb4-dev libomnithread4 libomnithread4-dev libssl3 libssl-dev
  libgtest-dev libgmock-dev libbenchmark1debian libbenchmark-dev
)

# Package index and download failures are often passing (a mirror in the
# middle of a sync fails an index, or a file, for a few minutes): apt-get is
# tried APT_TRIES times, APT_PAUSE seconds apart.
APT_TRIES="${APT_TRIES:-3}"
APT_PAUSE="${APT_PAUSE:-20}"

# Refreshes the package lists. A refresh that keeps failing is reported but
# does not stop setup: what counts is whether the packages needed can be
# fetched, which the install or download after it finds out.
refresh_package_lists() {
  local try
  for ((try = 1; try <= APT_TRIES; try++)); do
    if apt-get update -qq; then
      return 0
    fi
    if [ "$try" -lt "$APT_TRIES" ]; then
      echo "dev.sh: apt-get update failed (try $try of $APT_TRIES); again in ${APT_PAUSE}s" >&2
      sleep "$APT_PAUSE"
    fi
  done
  echo "dev.sh: apt-get update failed $APT_TRIES times; going on with the package lists there are" >&2
}

# apt_retrying <command...>: runs an apt-get install or download; after a
# failure, pauses, refreshes the package lists once and tries again, up to
# APT_TRIES times. Returns the status of the last try.
apt_retrying() {
  local try
  for ((try = 1; ; try++)); do
    if "$@"; then
      return 0
    fi
    if [ "$try" -ge "$APT_TRIES" ]; then
      return 1
    fi
    echo "dev.sh: $* failed (try $try of $APT_TRIES); again in ${APT_PAUSE}s" >&2
    sleep "$APT_PAUSE"
    apt-get update -qq || true
  done
}

apt_install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

# apt_download <dir> <packages...>: the .deb files into <dir>.
apt_download() {
  local dir="$1"
  shift
  (cd "$dir" && apt-get download -qq -o APT::Sandbox::User=root "$@")
}

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "dev.sh: $1 needs root (apt-get / network namespaces)" >&2
    exit 1
  fi
}

cmd_setup() {
  local wanted=("${PACKAGES[@]}")
  if [ "$I386" -eq 1 ]; then
    wanted+=("${I386_HOST_PACKAGES[@]}")
  fi
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    wanted+=("${NODE_PACKAGES[@]}")
  fi
  local missing=()
  local p
  for p in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -ne 0 ]; then
    need_root "installing ${missing[*]}"
    echo "dev.sh: installing ${missing[*]}"
    refresh_package_lists
    if ! apt_retrying apt_install "${missing[@]}"; then
      echo "dev.sh: cannot install ${missing[*]}" >&2
      exit 1
    fi
  fi
  if [ "$I386" -eq 1 ]; then
    setup_i386_sysroot
  fi
}

# Fills $BUILD_DIR/sysroot with the unpacked i386 packages; does nothing when
# it already holds exactly I386_SYSROOT_PACKAGES. Downloads only the packages
# that are not in $BUILD_DIR/debs yet.
setup_i386_sysroot() {
  local sysroot="$BUILD_DIR/sysroot" debs="$BUILD_DIR/debs"
  local stamp="$sysroot/.packages" want="${I386_SYSROOT_PACKAGES[*]}"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    return 0
  fi
  mkdir -p "$debs"
  local missing=() p
  for p in "${I386_SYSROOT_PACKAGES[@]}"; do
    if ! compgen -G "$debs/${p}_*_i386.deb" >/dev/null; then
      missing+=("$p:i386")
    fi
  done
  if [ ${#missing[@]} -ne 0 ]; then
    need_root "downloading ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      echo "dev.sh: adding the i386 architecture to dpkg"
      dpkg --add-architecture i386
      refresh_package_lists
    fi
    echo "dev.sh: downloading ${missing[*]}"
    # A stale package list (i386 just added elsewhere, or a newer version
    # published) fails a try as well: each retry refreshes the lists first.
    if ! apt_retrying apt_download "$debs" "${missing[@]}"; then
      echo "dev.sh: cannot download ${missing[*]}" >&2
      exit 1
    fi
  fi
  rm -rf "$sysroot"
  mkdir -p "$sysroot"
  local deb
  for deb in "$debs"/*_i386.deb; do
    dpkg-deb -x "$deb" "$sysroot"
  done
  # The .pc files say prefix=/usr; make them point into the sysroot.
  sed -i "s|^prefix=/usr\$|prefix=$sysroot/usr|" "$sysroot"/usr/lib/i386-linux-gnu/pkgconfig/*.pc
  echo "$want" >"$stamp"
}

# configure <build dir> [cmake arguments]: once, when the directory has no
# CMake cache yet.
# ccache keeps rebuilds cheap. Each build folder has its own entries (the
# compiler's directory is part of the hash): entries shared between checkouts
# were seen to hand one checkout objects built from another's headers.
configure() {
  local dir="$1"
  shift
  local launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
      "${launcher[@]}" "$@"
  fi
}

cmd_build() {
  cmd_setup
  if [ "$I386" -eq 1 ]; then
    # The regd-based tests run a second time against the x86-64 regd of the
    # normal build tree (a no-op when that tree is built already).
    configure "$X64_BUILD_DIR"
    cmake --build "$X64_BUILD_DIR" -j "$JOBS" --target regd
    configure "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/i386-toolchain.cmake" \
      -DVARNEK_I386_SYSROOT="$BUILD_DIR/sysroot" \
      -DVARNEK_PEER_REGD="$X64_BUILD_DIR/tools/regd/regd"
  elif [ -n "$CHECKER" ]; then
    # shellcheck disable=SC2046 # one argument, no spaces
    configure "$BUILD_DIR" $(checker_cmake_args)
  else
    configure "$BUILD_DIR"
  fi
  cmake --build "$BUILD_DIR" -j "$JOBS"
}

# Runs "$@" inside a fresh network namespace that has only the loopback
# interface, up. Nothing started there can reach or publish another address.
in_netns() {
  need_root "a private network namespace"
  unshare --net -- bash -c 'ip link set lo up && exec "$@"' in_netns "$@"
}

# Prints the output of each test that failed in the last ctest run in
# build folder $1 again (its last lines), so that it closes the log.
print_failed_tests() {
  local dir="$1" failed="$1/Testing/Temporary/LastTestsFailed.log" log="$1/Testing/Temporary/LastTest.log"
  [ -f "$failed" ] && [ -f "$log" ] || return 0
  local name
  while IFS=: read -r _ name; do
    echo "=== output of the failed test $name (last 150 lines)"
    awk -v n="$name" '$0 ~ ("^[0-9]+/[0-9]+ Testing: ") && $NF == n { on = 1 }
      on { print } on && index($0, "\"" n "\" end time") == 1 { exit }' "$log" | tail -n 150
  done < "$failed"
}

cmd_test() {
  cmd_build
  [ -n "$CHECKER" ] && checker_env
  local status=0
  in_netns ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@" || status=$?
  [ "$status" -eq 0 ] || print_failed_tests "$BUILD_DIR"
  return "$status"
}

# Release build of the benchmarks (and regd) in build-release/, then the
# micro-benchmarks and the end-to-end comparisons, in the loopback-only
# namespace. Extra arguments (--quick, --rounds N) go to bench_e2e,
# bench_batch, bench_rozweb and bench_tls.
cmd_bench() {
  cmd_setup
  local dir="${RELEASE_BUILD_DIR:-$ROOT/build-release}"
  BUILD_TYPE=Release configure "$dir"
  local benches=(bench_trace bench_client bench_conversion bench_stream_dispatch)
  cmake --build "$dir" -j "$JOBS" --target "${benches[@]}" bench_e2e bench_batch varnek_relay regd \
    bench_rozweb rozweb bench_tls
  local b
  for b in "${benches[@]}"; do
    in_netns "$dir/bench/$b"
  done
  in_netns "$dir/bench/e2e/bench_e2e" "$@"
  in_netns "$dir/bench/batch/bench_batch" "$@"
  in_netns "$dir/bench/rozweb/bench_rozweb" "$@"
  in_netns "$dir/bench/tls/bench_tls" "$@"
  # The Python package against the C++ library, when the package is built.
  if cmake --build "$dir" -j "$JOBS" --target varnek_python bench_python_peer 2>/dev/null; then
    in_netns /usr/bin/python3 "$ROOT/bench/python/bench_python.py" --build "$dir"
  fi
}

cmd_shell() {
  in_netns bash -i
}

# The guided tour of tools/rozctl/demo.sh: regd with the demo tree on a
# free loopback port, rozctl against it. With --web: regd with the demo
# tree, rozweb in front of it and headless Chromium driven through the
# console (tools/rozweb/web/harness/tour.mjs), a screenshot of each view in
# $BUILD_DIR/rozweb-demo/.
cmd_demo() {
  cmd_build
  if [ "${1:-}" = "--web" ]; then
    local rozweb="$BUILD_DIR/tools/rozweb/rozweb"
    if [ ! -x "$rozweb" ]; then
      echo "dev.sh: $rozweb is not built" >&2
      exit 1
    fi
    in_netns env REGD="$BUILD_DIR/tools/regd/regd" ROZWEB="$rozweb" \
      ROZWEB_WEB="$BUILD_DIR/tools/rozweb/web" ROZWEB_NODE_MODULES="$BUILD_DIR/tools/rozweb/node/node_modules" \
      CHROMIUM=/usr/bin/chromium \
      node "$ROOT/tools/rozweb/web/harness/tour.mjs" "$BUILD_DIR/rozweb-demo" "$ROOT/tools/regd/demo-tree.json"
    return
  fi
  if [ "${1:-}" = "--tls" ]; then
    in_netns bash "$ROOT/tools/rozctl/demo.sh" "$BUILD_DIR" --tls
    return
  fi
  in_netns bash "$ROOT/tools/rozctl/demo.sh" "$BUILD_DIR"
}

# fuzz SECONDS: builds the libFuzzer targets of fuzz/ with clang into
# build-fuzz/ (libraries with -fsanitize=fuzzer-no-link,address,undefined)
# and runs each for SECONDS on a scratch copy of its seed corpus
# fuzz/corpus/<target>/, then prints the executions per target. A crash
# stops the run; its input is kept in build-fuzz/artifacts/.
cmd_fuzz() {
  local seconds="${1:-}"
  if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: ./dev.sh fuzz SECONDS" >&2
    exit 2
  fi
  cmd_setup
  local dir="${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
  configure "$dir" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DVARNEK_SANITIZE=fuzzer-no-link,address,undefined \
    -DVARNEK_BUILD_FUZZ=ON -DVARNEK_BUILD_TESTS=OFF -DVARNEK_BUILD_BENCH=OFF
  cmake --build "$dir" -j "$JOBS" --target varnek_fuzzers
  checker_env
  # Full stacks at every allocation: omniORB is built without frame
  # pointers, and the leak suppressions of tests/checkers/lsan.supp name
  # the omniORB functions deep in those stacks.
  export ASAN_OPTIONS="$ASAN_OPTIONS:fast_unwind_on_malloc=0"
  mkdir -p "$dir/artifacts"
  local corpus target log runs dict summary=()
  for corpus in "$ROOT"/fuzz/corpus/*/; do
    target="$(basename "$corpus")"
    rm -rf "$dir/corpus/$target"
    mkdir -p "$dir/corpus/$target"
    log="$dir/fuzz-$target.log"
    echo "dev.sh: fuzzing $target for $seconds s"
    # omniORB reserves memory for lengths that the bytes do not back: a
    # type code's encapsulation (up to 4 GiB) before it finds the bytes
    # missing, and a sequence whose length its 32-bit overrun check wraps
    # around (fuzz/cdr_input.h lets only the smallest such wrap through,
    # about 4 GiB). That memory stays untouched unless the code under test
    # walks it, so single allocations are let through and the RSS limit
    # (2 GiB) catches memory that is really used. -timeout: an input that
    # takes longer is a hang.
    # Targets that decode CDR get the type code dictionary.
    dict=()
    if grep -q '"cdr_input.h"' "$ROOT/fuzz/${target}_fuzzer.cc"; then
      dict=(-dict="$ROOT/fuzz/cdr.dict")
    fi
    if ! in_netns "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      -malloc_limit_mb=40000 -timeout=60 "${dict[@]}" \
      -artifact_prefix="$dir/artifacts/$target-" "$dir/corpus/$target" "$corpus" >"$log" 2>&1; then
      tail -n 60 "$log"
      echo "dev.sh: fuzz_$target failed (input in $dir/artifacts/, log $log)" >&2
      exit 1
    fi
    runs="$(awk '/^stat::number_of_executed_units:/ {n = $2} END {print n}' "$log")"
    summary+=("$(printf '%-20s %12s executions in %s s' "$target" "${runs:-?}" "$seconds")")
  done
  printf '%s\n' "${summary[@]}"
}

cmd="${1:-}"
[ $# -gt 0 ] && shift
if [ "${1:-}" = "--i386" ]; then
  shift
  I386=1
  X64_BUILD_DIR="$BUILD_DIR"
  BUILD_DIR="${I386_BUILD_DIR:-$ROOT/build-i386}"
elif [[ "${1:-}" =~ ^--(asan|ubsan|tsan|valgrind)$ ]]; then
  shift
  CHECKER="${BASH_REMATCH[1]}"
  BUILD_DIR="$ROOT/build-$CHECKER"
fi
case "$cmd" in
  setup) cmd_setup "$@" ;;
  build) cmd_build "$@" ;;
  test)  cmd_test "$@" ;;
  shell) cmd_shell "$@" ;;
  demo)  cmd_demo "$@" ;;
  bench) cmd_bench "$@" ;;
  fuzz)  cmd_fuzz "$@" ;;
  *)
    sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
