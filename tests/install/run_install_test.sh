#!/usr/bin/env bash
# Usage: run_install_test.sh <build dir> <this dir> <c++ compiler>
#                            [<c++ flags> [<CMake toolchain file>]]
# Installs the build into a scratch prefix and builds and runs consumers of
# every library with pkg-config and with find_package(Varnek). Libraries
# outside the prefix are found through the caller's PKG_CONFIG_LIBDIR and
# LD_LIBRARY_PATH.
set -euo pipefail
build="$1"; here="$2"; cxx="$3"; cxxflags="${4:-}"; toolchain="${5:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null

for h in istd/istd.h istd/exception.h istd/log.h istd/id.h \
         network/inet.h network/orb_manager.h network/i_types.h network/i_application.h \
         network/i_remote_node.h client/roz.h client/node.h \
         isig/isig.h isig/signal_source.h isig/i_signal_receiver_impl.h isig/stream.h \
         isig/remote_stream.h isig/data_on_demand_remote_source.h; do
  test -f "$prefix/include/varnek/$h" || { echo "missing installed header $h"; exit 1; }
done

libdir="$prefix/lib"
runpath="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
for lib in varnekistd varnekinet varnekisig varnekmci; do
  soname="$(objdump -p "$libdir/lib$lib.so" | awk '/SONAME/ {print $2}')"
  [ "$soname" = "lib$lib.so.2.6" ] || { echo "unexpected SONAME '$soname' of $lib"; exit 1; }
done
grep -q '^Requires: varnekistd' "$libdir/pkgconfig/varnekmci.pc" \
  || { echo "varnekmci.pc does not require varnekistd"; exit 1; }
test -f "$prefix/share/varnek/idl/i_remote_node.idl" || { echo "missing installed IDL"; exit 1; }

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

# 2. find_package(Varnek) consumers.
cmake -S "$here/cmake_consumer" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" \
      ${toolchain:+"-DCMAKE_TOOLCHAIN_FILE=$toolchain"} \
      -DCONSUMER_SOURCE="$here/consumer.cc" -DINET_CONSUMER_SOURCE="$here/inet_consumer.cc" \
      -DMCI_CONSUMER_SOURCE="$here/mci_consumer.cc" \
      -DISIG_CONSUMER_SOURCE="$here/isig_consumer.cc" >/dev/null
cmake --build "$work/cm" >/dev/null
for c in "${consumers[@]}"; do
  IFS='|' read -r src module expected <<<"$c"
  out="$(LD_LIBRARY_PATH="$runpath" "$work/cm/${src%.cc}")"
  [ "$out" = "$expected" ] || { echo "CMake consumer ${src%.cc} printed: $out"; exit 1; }
done
echo "install test passed"
