#!/usr/bin/env bash
# The same tests with AddressSanitizer and UndefinedBehaviorSanitizer in the
# library and the hosts alike. A sanitized library cannot be freestanding, so
# the ELF contract is left to the normal build. GCC's tracking of variable
# locations through the checks of the long inlined sweeps doubled the
# library's compile time; the line tables the reports need stay.
set -euo pipefail
dir=build-asan-ubsan
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCONV_TA_WERROR=ON \
    -DCMAKE_CXX_FLAGS=-fno-var-tracking-assignments \
    -DCONV_TA_SANITIZE=address,undefined -DCONV_TA_BUILD_BENCH=OFF
cmake --build "$dir"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$dir" -LE huge -j2 --output-on-failure
