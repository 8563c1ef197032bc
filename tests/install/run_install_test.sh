#!/usr/bin/env bash
# Usage: run_install_test.sh <build dir> <this dir> <c++ compiler>
set -euo pipefail
build="$1"; here="$2"; cxx="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null

for h in istd/istd.h istd/exception.h istd/log.h network/inet.h network/orb_manager.h \
         network/i_types.h network/i_application.h network/i_remote_node.h; do
  test -f "$prefix/include/varnek/$h" || { echo "missing installed header $h"; exit 1; }
done

libdir="$prefix/lib"
for lib in varnekistd varnekinet; do
  soname="$(objdump -p "$libdir/lib$lib.so" | awk '/SONAME/ {print $2}')"
  [ "$soname" = "lib$lib.so.2.6" ] || { echo "unexpected SONAME '$soname'"; exit 1; }
done
test -f "$prefix/share/varnek/idl/i_remote_node.idl" || { echo "missing installed IDL"; exit 1; }
inet_expected="inet ok 1,2,3 CORBA::NotFound IDL:varnek.net/i_NET/RemoteNode:1.0 varnek-app"

# 1. pkg-config consumer.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
"$cxx" -std=c++17 -o "$work/consumer_pc" "$here/consumer.cc" $(pkg-config --cflags --libs varnekistd)
out="$(LD_LIBRARY_PATH="$libdir" "$work/consumer_pc")"
[ "$out" = "consumer ok 2.6-0-r1 install-test" ] || { echo "pkg-config consumer printed: $out"; exit 1; }
"$cxx" -std=c++17 -o "$work/inet_consumer_pc" "$here/inet_consumer.cc" \
       $(pkg-config --cflags --libs varnekinet)
out="$(LD_LIBRARY_PATH="$libdir" "$work/inet_consumer_pc")"
[ "$out" = "$inet_expected" ] || { echo "pkg-config inet consumer printed: $out"; exit 1; }

# 2. find_package(Varnek) consumer.
cmake -S "$here/cmake_consumer" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCONSUMER_SOURCE="$here/consumer.cc" -DINET_CONSUMER_SOURCE="$here/inet_consumer.cc" >/dev/null
cmake --build "$work/cm" >/dev/null
out="$(LD_LIBRARY_PATH="$libdir" "$work/cm/consumer")"
[ "$out" = "consumer ok 2.6-0-r1 install-test" ] || { echo "CMake consumer printed: $out"; exit 1; }
out="$(LD_LIBRARY_PATH="$libdir" "$work/cm/inet_consumer")"
[ "$out" = "$inet_expected" ] || { echo "CMake inet consumer printed: $out"; exit 1; }
echo "install test passed"
