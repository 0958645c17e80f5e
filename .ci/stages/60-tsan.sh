#!/usr/bin/env bash
# The whole default suite, the concurrency group among it, under
# ThreadSanitizer, with the library and the hosts instrumented alike. clang
# here, as the AddressSanitizer stage already builds with g++.
set -euo pipefail
dir=build-tsan
rm -rf "$dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCONV_TA_WERROR=ON -DCONV_TA_SANITIZE=thread \
    -DCONV_TA_BUILD_BENCH=OFF -DCONV_TA_BUILD_TOOLS=OFF
cmake --build "$dir" -j2
# The level copies run the same code on the same threads: left to the test stage.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$dir" -LE "huge|level" --output-on-failure
