#!/usr/bin/env bash
# Usage: run_install_test.sh <build dir> <this dir> <c++ compiler>
#                            [<c++ flags> [<CMake toolchain file>]]
# Installs the build into a scratch prefix and builds and runs consumers of
# every library with pkg-config and with find_package(Varnek), then the
# client example of examples/, the installed rozctl and the installed Python
# package against a regd of the build (which needs the loopback-only network
# namespace of ./dev.sh test). Libraries outside the
# prefix are found through the caller's PKG_CONFIG_LIBDIR and LD_LIBRARY_PATH.
set -euo pipefail
build="$1"; here="$2"; cxx="$3"; cxxflags="${4:-}"; toolchain="${5:-}"
source_root="$(cd "$here/../.." && pwd)"
work="$(mktemp -d)"
regd_pid=""
cleanup() {
  if [ -n "$regd_pid" ]; then kill "$regd_pid" 2>/dev/null || true; wait "$regd_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null

for h in istd/istd.h istd/exception.h istd/log.h istd/id.h \
         network/inet.h network/orb_manager.h network/i_types.h network/i_application.h \
         network/i_remote_node.h client/roz.h client/node.h client/remote_node.h \
         client/remote_node_structure.h \
         isig/isig.h isig/signal_source.h isig/i_signal_receiver_impl.h isig/stream.h \
         isig/remote_stream.h isig/data_on_demand_remote_source.h; do
  test -f "$prefix/include/varnek/$h" || { echo "missing installed header $h"; exit 1; }
done
# The libraries' own headers (<folder>/internal/) stay in the source tree,
# and no installed header needs one.
if [ -n "$(find "$prefix/include/varnek" -path '*/internal*' -print -quit)" ]; then
  echo "internal headers were installed"; exit 1
fi
if grep -rEl '#include "[a-z]+/internal/' "$prefix/include/varnek"; then
  echo "an installed header includes an internal one"; exit 1
fi
test -f "$prefix/lib/cmake/Varnek/FindVarnekOmniORB.cmake" \
  || { echo "the package's omniORB module is not installed"; exit 1; }

libdir="$prefix/lib"
runpath="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
for lib in varnekistd varnekinet varnekisig varnekmci; do
  soname="$(objdump -p "$libdir/lib$lib.so" | awk '/SONAME/ {print $2}')"
  [ "$soname" = "lib$lib.so.2.6" ] || { echo "unexpected SONAME '$soname' of $lib"; exit 1; }
done
grep -q '^Requires: varnekistd varnekinet varnekisig omniORB4' "$libdir/pkgconfig/varnekmci.pc" \
  || { echo "varnekmci.pc does not require its libraries and omniORB"; exit 1; }
test -f "$prefix/share/varnek/idl/i_remote_node.idl" || { echo "missing installed IDL"; exit 1; }
# rozweb's console, where the build made it: the page and its bundle, no
# source maps.
if [ -f "$build/tools/rozweb/web/index.html" ]; then
  for f in index.html app.js app.css; do
    test -s "$prefix/share/varnek/rozweb/web/$f" || { echo "missing installed console file $f"; exit 1; }
  done
  if [ -n "$(find "$prefix/share/varnek/rozweb/web" -name '*.map' -print -quit)" ]; then
    echo "source maps of the console were installed"; exit 1
  fi
fi

# consumer source, pkg-config module, expected output
consumers=(
  "consumer.cc|varnekistd|consumer ok 2.6-0-r1 install-test"
  "inet_consumer.cc|varnekinet|inet ok 1,2,3 CORBA::NotFound IDL:varnek.net/i_NET/RemoteNode:1.0 varnek-app"
  "mci_consumer.cc|varnekmci|mci ok cache.host 2"
  "isig_consumer.cc|varnekisig|isig ok 0 (Success) 2 64 isig::RuntimeAtom"
)

# 1. pkg-config consumers.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
for c in "${consumers[@]}"; do
  IFS='|' read -r src module expected <<<"$c"
  exe="$work/pc_${src%.cc}"
  # shellcheck disable=SC2086,SC2046 # flags are word lists
  "$cxx" $cxxflags -std=c++17 -o "$exe" "$here/$src" $(pkg-config --cflags --libs "$module")
  out="$(LD_LIBRARY_PATH="$runpath" "$exe")"
  [ "$out" = "$expected" ] || { echo "pkg-config $module consumer printed: $out"; exit 1; }
done

# 2. find_package(Varnek) consumers: with the build's compiler, and with
# clang++ at its default language level (older than C++17), which the
# targets must raise. clang++ is left out where its objects cannot join the
# build's: a toolchain file names its own compiler, and sanitizer flags need
# gcc's run-time libraries that the installed libraries were built with.
# cmake_consumer <build dir> [cmake arguments]: configures, builds and runs.
cmake_consumer() {
  local dir="$1" c src module expected out
  shift
  cmake -S "$here/cmake_consumer" -B "$dir" -DCMAKE_PREFIX_PATH="$prefix" "$@" \
        -DCONSUMER_SOURCE="$here/consumer.cc" -DINET_CONSUMER_SOURCE="$here/inet_consumer.cc" \
        -DMCI_CONSUMER_SOURCE="$here/mci_consumer.cc" \
        -DISIG_CONSUMER_SOURCE="$here/isig_consumer.cc" >"$dir.log" 2>&1 \
    || { cat "$dir.log"; echo "configuring the CMake consumer ($*) failed"; exit 1; }
  cmake --build "$dir" >>"$dir.log" 2>&1 \
    || { cat "$dir.log"; echo "building the CMake consumer ($*) failed"; exit 1; }
  for c in "${consumers[@]}"; do
    IFS='|' read -r src module expected <<<"$c"
    out="$(LD_LIBRARY_PATH="$runpath" "$dir/${src%.cc}")"
    [ "$out" = "$expected" ] || { echo "CMake consumer ${src%.cc} ($*) printed: $out"; exit 1; }
  done
}
cmake_consumer "$work/cm" ${toolchain:+"-DCMAKE_TOOLCHAIN_FILE=$toolchain"} \
  ${cxxflags:+"-DCMAKE_CXX_FLAGS=$cxxflags"}
if [ -z "$toolchain" ] && [ -z "$cxxflags" ]; then
  clangxx="$(command -v clang++ || true)"
  [ -n "$clangxx" ] || { echo "clang++ is missing (./dev.sh setup installs clang)"; exit 1; }
  cmake_consumer "$work/cm-clang" -DCMAKE_CXX_COMPILER="$clangxx"
fi

# 3. The example program: connect to a regd, read a value, dump the tree.
# shellcheck disable=SC2086,SC2046 # flags are word lists
"$cxx" $cxxflags -std=c++17 -o "$work/read_value" "$source_root/examples/read_value.cc" \
  $(pkg-config --cflags --libs varnekmci)
"$build/tools/regd/regd" --tree "$source_root/tools/regd/demo-tree.json" --port 0 \
  --port-file "$work/regd.port" >"$work/regd.out" 2>&1 &
regd_pid=$!
for _ in $(seq 200); do
  [ -s "$work/regd.port" ] && break
  sleep 0.1
done
[ -s "$work/regd.port" ] || { echo "regd did not start:"; cat "$work/regd.out"; exit 1; }
out="$(LD_LIBRARY_PATH="$runpath" "$work/read_value" "$(cat "$work/regd.port")" 2>/dev/null)" \
  || { echo "the example failed: $out"; exit 1; }
grep -Fqx "serial VX4410-00172" <<<"$out" || { echo "the example printed: $out"; exit 1; }
grep -Fqx "  gain=1" <<<"$out" || { echo "the example's dump lacks settings.gain: $out"; exit 1; }
grep -Fqx "  model=VX-4410 Data Acquisition Unit" <<<"$out" \
  || { echo "the example's dump lacks identity.model: $out"; exit 1; }

# 4. The installed command-line client against the same server.
test -x "$prefix/bin/rozctl" || { echo "rozctl is not installed"; exit 1; }
out="$(LD_LIBRARY_PATH="$runpath" "$prefix/bin/rozctl" --port "$(cat "$work/regd.port")" \
  get -t identity.serial 2>&1)" || { echo "the installed rozctl failed: $out"; exit 1; }
[ "$out" = "VX4410-00172" ] || { echo "the installed rozctl printed: $out"; exit 1; }

# 5. The installed Python package (when the build made it; not under the
# sanitizers, whose run-time the interpreter does not load), found through
# its one PYTHONPATH entry and its RPATH alone, against the same server.
if compgen -G "$build/python/varnek/_varnek*.so" >/dev/null && [[ "$cxxflags" != *-fsanitize* ]]; then
  pydirs=("$prefix"/lib/python3*/dist-packages)
  test -f "${pydirs[0]}/varnek/__init__.py" || { echo "the Python package is not installed"; exit 1; }
  out="$(PYTHONPATH="${pydirs[0]}" /usr/bin/python3 -c '
import sys, varnek
with varnek.connect(port=int(sys.argv[1]), timeout=30) as reg:
    print(reg.get("identity.serial"), varnek.__file__.startswith(sys.argv[2]))
' "$(cat "$work/regd.port")" "$prefix" 2>&1)" || { echo "the installed Python package failed: $out"; exit 1; }
  [ "$out" = "VX4410-00172 True" ] || { echo "the installed Python package printed: $out"; exit 1; }
fi

echo "install test passed"
