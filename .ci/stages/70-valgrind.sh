#!/usr/bin/env bash
# The whole default suite once under valgrind's memcheck, which sees what the
# guard pages cannot: reads of uninitialised memory, and reads just past a
# heap buffer that stay inside a page (the heap group, whose outputs are left
# uninitialised, is there for both).
#
# The library is built for x86-64-v3: valgrind 3.19 cannot decode AVX-512, so
# native would die on its first masked move on this machine's CPU, and v3 is
# the highest level it runs, the one whose guarded bands use AVX2's masked
# loads and stores, the partial accesses most worth watching; the plain-loop
# fallback of lower levels is plain C++ that the sanitizer stages cover.
set -euo pipefail
dir=build-valgrind
rm -rf "$dir"
# The emulator runs every test executable under memcheck; any error fails it.
# The library's rows are inlined into very long straight runs of vector code,
# and with origins tracked a 50-instruction superblock of them exhausts
# valgrind's translation storage; 25 translates.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCONV_TA_WERROR=ON \
    -DCONV_TA_ARCH=x86-64-v3 -DCONV_TA_BUILD_BENCH=OFF -DCONV_TA_BUILD_TOOLS=OFF \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=valgrind;--tool=memcheck;--error-exitcode=99;--track-origins=yes;--leak-check=no;--vex-guest-max-insns=25;--quiet"
cmake --build "$dir" -j2
# The level copies are left out: each would cost a whole memcheck run more.
# The suite once: the dlopen hosts run the same cases through another way of
# loading, which the other stages cover. Two tests at a time, one a core.
ctest --test-dir "$dir" -LE "huge|level" -E "^dlopen_" -j2 --output-on-failure --timeout 900
