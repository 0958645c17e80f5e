#!/usr/bin/env bash
# Differential fuzzing of the library against the scalar reference, for a
# bounded time, at each instruction-set level whose loads and stores differ:
# the plain loops (x86-64), AVX2's masked moves (x86-64-v3) and whatever this
# CPU offers (native, AVX-512 where present). Any finding fails the stage and
# leaves its input in build-fuzz-LEVEL/findings/.
# CONV_TA_FUZZ_SECONDS (default 120) is shared out among the levels;
# CONV_TA_FUZZ_ARCHS narrows them. Then the same for conv-ta's file readers.
set -euo pipefail
seconds=${CONV_TA_FUZZ_SECONDS:-120}
archs=(${CONV_TA_FUZZ_ARCHS:-x86-64 x86-64-v3 native})
share=$((seconds / ${#archs[@]}))
grep -qw avx2 /proc/cpuinfo || archs=("${archs[@]/x86-64-v3/}")

status=0
for arch in ${archs[@]}; do
    dir=build-fuzz-$arch
    rm -rf "$dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCONV_TA_WERROR=ON -DCONV_TA_FUZZ=ON \
        -DCONV_TA_ARCH="$arch" -DCONV_TA_BUILD_BENCH=OFF -DCONV_TA_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$dir" -j2 --target conv_TA_fuzz
    # New inputs go to a scratch corpus; the checked-in seeds stay as they are.
    mkdir -p "$dir/corpus" "$dir/findings"
    echo "::: fuzzing at $arch for $share s"
    if ! ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$dir/tests/fuzz/conv_TA_fuzz" "$dir/corpus" tests/fuzz/corpus \
        -max_total_time="$share" -timeout=30 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/" >"$dir/fuzz.log" 2>&1; then
        tail -n 60 "$dir/fuzz.log"
        echo "::: fuzzing at $arch FOUND a fault: $(ls "$dir/findings")"
        status=1
        continue
    fi
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec)' \
        "$dir/fuzz.log"
done
# conv-ta's file readers, every format, from arbitrary bytes: CONV_TA_FUZZ_READERS_SECONDS
# (default 40). A reader may allocate what a checked header allows and no
# more: -malloc_limit_mb makes any larger allocation a finding.
dir=build-fuzz-readers
readers_seconds=${CONV_TA_FUZZ_READERS_SECONDS:-40}
rm -rf "$dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCONV_TA_WERROR=ON -DCONV_TA_FUZZ=ON \
    -DCONV_TA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target conv_ta_fuzz_readers
mkdir -p "$dir/corpus" "$dir/findings"
echo "::: fuzzing the file readers for $readers_seconds s"
if ! ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$dir/tools/fuzz/conv_ta_fuzz_readers" "$dir/corpus" tools/fuzz/corpus \
    -max_total_time="$readers_seconds" -timeout=10 -malloc_limit_mb=512 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$dir/findings/" >"$dir/fuzz.log" 2>&1; then
    tail -n 60 "$dir/fuzz.log"
    echo "::: fuzzing the file readers FOUND a fault: $(ls "$dir/findings")"
    status=1
else
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec)' \
        "$dir/fuzz.log"
fi
exit "$status"
