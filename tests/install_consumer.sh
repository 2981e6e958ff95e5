#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a host program against it twice:
# with CMake's find_package and with pkg-config. Both programs must run.
# Usage: install_consumer.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log"
libdir=$(dirname "$(find "$prefix" -name 'libqxplaylib.so' | head -1)")
for f in include/qxplaylib.h bin/qxplay bin/qxmkstream bin/qxdbgview share/man/man1/qxplay.1; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# The versioned SONAME, and the links a linker and a loader look for.
soname=$(objdump -p "$libdir/libqxplaylib.so" | awk '/SONAME/ {print $2}')
[ "$soname" = "libqxplaylib.so.1" ] || { echo "SONAME is '$soname'"; exit 1; }
[ -e "$libdir/$soname" ] || { echo "no $soname"; exit 1; }

cmake -S "$source/tests/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/cmake" > /dev/null
LD_LIBRARY_PATH=$libdir "$work/cmake/consumer"

export PKG_CONFIG_PATH=$libdir/pkgconfig
version=$(sed -n 's/^project(qxplaylib VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
[ "$(pkg-config --modversion qxplaylib)" = "$version" ] || { echo "pkg-config version"; exit 1; }
cc -o "$work/pkgconfig-consumer" "$source/tests/consumer/main.c" $(pkg-config --cflags --libs qxplaylib)
LD_LIBRARY_PATH=$libdir "$work/pkgconfig-consumer"
echo "consumer builds against the install both ways"
