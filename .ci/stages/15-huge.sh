#!/usr/bin/env bash
# The image of more than 2^31 elements (about 9 GB of memory): the one test
# of 64-bit indexing, left out of the default run for its size. It reuses the
# build of the test stage when there is one.
set -euo pipefail
dir=build
if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCONV_TA_WERROR=ON -DCONV_TA_BUILD_BENCH=OFF
fi
cmake --build "$dir" -j2 --target conv_TA_huge_test
ctest --test-dir "$dir" -L huge --output-on-failure
