#!/usr/bin/env bash
# Usage: run_install_test.sh <build dir> <this dir> <c++ compiler>
set -euo pipefail
build="$1"; here="$2"; cxx="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null

for h in istd/istd.h istd/exception.h istd/log.h istd/id.h client/roz.h client/node.h; do
  test -f "$prefix/include/varnek/$h" || { echo "missing installed header $h"; exit 1; }
done

libdir="$prefix/lib"
for lib in varnekistd varnekmci; do
  soname="$(objdump -p "$libdir/lib$lib.so" | awk '/SONAME/ {print $2}')"
  [ "$soname" = "lib$lib.so.2.6" ] || { echo "unexpected SONAME '$soname' of $lib"; exit 1; }
done
grep -q '^Requires: varnekistd' "$libdir/pkgconfig/varnekmci.pc" \
  || { echo "varnekmci.pc does not require varnekistd"; exit 1; }

# 1. pkg-config consumer.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
"$cxx" -std=c++17 -o "$work/consumer_pc" "$here/consumer.cc" $(pkg-config --cflags --libs varnekistd)
out="$(LD_LIBRARY_PATH="$libdir" "$work/consumer_pc")"
[ "$out" = "consumer ok 2.6-0-r1 install-test" ] || { echo "pkg-config consumer printed: $out"; exit 1; }
"$cxx" -std=c++17 -o "$work/mci_consumer_pc" "$here/mci_consumer.cc" $(pkg-config --cflags --libs varnekmci)
out="$(LD_LIBRARY_PATH="$libdir" "$work/mci_consumer_pc")"
[ "$out" = "mci ok cache.host 2" ] || { echo "pkg-config mci consumer printed: $out"; exit 1; }

# 2. find_package(Varnek) consumer.
cmake -S "$here/cmake_consumer" -B "$work/cm" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCONSUMER_SOURCE="$here/consumer.cc" -DMCI_CONSUMER_SOURCE="$here/mci_consumer.cc" >/dev/null
cmake --build "$work/cm" >/dev/null
out="$(LD_LIBRARY_PATH="$libdir" "$work/cm/consumer")"
[ "$out" = "consumer ok 2.6-0-r1 install-test" ] || { echo "CMake consumer printed: $out"; exit 1; }
out="$(LD_LIBRARY_PATH="$libdir" "$work/cm/mci_consumer")"
[ "$out" = "mci ok cache.host 2" ] || { echo "CMake mci consumer printed: $out"; exit 1; }
echo "install test passed"
