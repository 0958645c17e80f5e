#!/usr/bin/env bash
# Installs into a temporary prefix and uses the installed copy the ways the
# README shows, by running the README's usage commands as they stand: a
# CMake project and a Makefile with pkg-config, in C and C++; conv-ta apply
# on a PGM and conv-ta check; the Python module and its tests. Then a
# packager's build: no tests, staged with DESTDIR, and the files checked.
set -euo pipefail
export PREFIX work
PREFIX=$(mktemp -d /tmp/conv_ta_prefix.XXXXXX)
work=$(mktemp -d /tmp/conv_ta_stage.XXXXXX)
trap 'rm -rf "$PREFIX" "$work"' EXIT
# Hosts left from an earlier run point at an earlier, removed prefix.
rm -rf build-consumer build-make build-package

# Every ```sh block that follows a "usage command" marker, in order.
awk '/<!-- usage command -->/ { want = 1; next }
     want && /^```sh/ { inside = 1; next }
     inside && /^```/ { inside = 0; want = 0; next }
     inside { print }' README.md > "$work/usage.sh"
[ -s "$work/usage.sh" ] || { echo "no usage commands in README.md"; exit 1; }
echo "+ the README's usage commands, with PREFIX=$PREFIX:"
sed 's/^/    /' "$work/usage.sh"
CFLAGS=-Werror CXXFLAGS=-Werror PYTHONDONTWRITEBYTECODE=1 bash -euo pipefail "$work/usage.sh"

# What those commands must have used: the installed copies.
PYTHONPATH=$(echo "$PREFIX"/lib/python3*/dist-packages) /usr/bin/python3 -c '
import os, sys, conv_ta
for path in (conv_ta.__file__, conv_ta.library_path, conv_ta.reference_path,
             conv_ta.threads_path):
    assert os.path.realpath(path).startswith(os.path.realpath(sys.argv[1])), path
print("conv_ta loaded from", os.path.dirname(conv_ta.__file__))' "$PREFIX"
[ "$(readelf -d "$PREFIX/lib/libconv_TA.so.1" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = libconv_TA.so.1 ]
[ "$(readlink "$PREFIX/lib/libconv_TA.so")" = libconv_TA.so.1 ]
[ "$(readlink "$PREFIX/lib/libconv_TA.so.1")" = libconv_TA.so.1.0.0 ]
# The edge image is a binary PGM, and not the scene.
[ "$(head -c 2 build/edges.pgm)" = P5 ]
if cmp -s build/scene.pgm build/edges.pgm; then
    echo "conv-ta apply left the scene unchanged"
    exit 1
fi
# find_package must refuse another major version.
mkdir -p "$work/v2"
printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(v2 LANGUAGES NONE)' \
    'find_package(conv_TA 2.0 REQUIRED)' > "$work/v2/CMakeLists.txt"
if cmake -S "$work/v2" -B "$work/v2/build" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null 2>&1; then
    echo "find_package(conv_TA 2.0) accepted version 1.0.0"
    exit 1
fi

# A packager's build: without the tests (and so without GoogleTest), staged.
cmake -S . -B build-package -G Ninja -DCONV_TA_WERROR=ON -DCONV_TA_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package
DESTDIR="$work/stage" cmake --install build-package >/dev/null
(cd "$work/stage" && find . -type f -o -type l | sort) > "$work/files"
for f in usr/include/conv_TA.h usr/bin/conv-ta \
         usr/lib/x86_64-linux-gnu/libconv_TA.so usr/lib/x86_64-linux-gnu/libconv_TA.so.1 \
         usr/lib/x86_64-linux-gnu/libconv_TA.so.1.0.0 usr/lib/x86_64-linux-gnu/libconv_TA_ref.so.1 \
         usr/include/conv_TA_threads.h usr/lib/x86_64-linux-gnu/libconv_TA_threads.so.1 \
         usr/lib/x86_64-linux-gnu/pkgconfig/conv_TA_threads.pc \
         usr/lib/x86_64-linux-gnu/cmake/conv_TA/conv_TAConfig.cmake \
         usr/lib/x86_64-linux-gnu/cmake/conv_TA/conv_TAConfigVersion.cmake \
         usr/lib/x86_64-linux-gnu/cmake/conv_TA/conv_TATargets.cmake \
         usr/lib/x86_64-linux-gnu/pkgconfig/conv_TA.pc; do
    grep -qx "./$f" "$work/files" || { echo "not installed: /$f"; cat "$work/files"; exit 1; }
done
grep -q '^./usr/lib/python3.*/dist-packages/conv_ta/__init__.py$' "$work/files"
# Staged files point at the stage: the .pc file and conv-ta's run path are
# relative to where they lie.
pcdir="$work/stage/usr/lib/x86_64-linux-gnu/pkgconfig"
[ "$(realpath "$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir conv_TA)")" = \
  "$work/stage/usr/lib/x86_64-linux-gnu" ]
"$work/stage/usr/bin/conv-ta" check | tail -n 1
echo "install stage: all ok"
