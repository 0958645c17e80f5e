#!/usr/bin/env bash
# Every compiler x build type: the whole default test suite, the ELF contract
# included, passes in each cell, and each cell's suite runs against the
# library built for every level this CPU runs (the level tests), so one
# native build per cell covers the levels. Each cell is a fresh
# build tree; only ccache is shared, and it returns an object only for the
# same compiler, flags and sources, so a cell never sees another cell's
# library. The cell of the test stage itself (g++ 12, native, Release, the
# README's command with warnings as errors) is not run twice.
# CONV_TA_MATRIX_COMPILERS / _ARCHS / _TYPES narrow it for a local run, and
# CONV_TA_MATRIX_SKIP (cells as compiler/arch/type) says which to leave out.
set -euo pipefail
compilers=(${CONV_TA_MATRIX_COMPILERS:-gcc clang})
archs=(${CONV_TA_MATRIX_ARCHS:-native})
types=(${CONV_TA_MATRIX_TYPES:-Release Debug})
skip=" ${CONV_TA_MATRIX_SKIP-gcc/native/Release} "

# The level this CPU runs: a library built above it cannot be tested here.
supported() {
    case "$1" in
    native | x86-64) return 0 ;;
    x86-64-v2) grep -qw sse4_2 /proc/cpuinfo && grep -qw popcnt /proc/cpuinfo ;;
    x86-64-v3) grep -qw avx2 /proc/cpuinfo && grep -qw fma /proc/cpuinfo && grep -qw bmi2 /proc/cpuinfo ;;
    x86-64-v4) grep -qw avx512f /proc/cpuinfo && grep -qw avx512bw /proc/cpuinfo &&
        grep -qw avx512dq /proc/cpuinfo && grep -qw avx512vl /proc/cpuinfo ;;
    *) return 1 ;;
    esac
}

dir=build-matrix
logs=build-matrix-logs
rm -rf "$logs" && mkdir -p "$logs"
launcher=()
if command -v ccache >/dev/null; then
    # The cache lives and dies with this stage: nothing carries over from an
    # earlier run. One build path for every cell, so that the paths compiled
    # into the test hosts match and their objects can be shared.
    export CCACHE_DIR=$PWD/build-matrix-ccache CCACHE_NOHASHDIR=true CCACHE_MAXSIZE=2G
    rm -rf "$CCACHE_DIR"
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

failed=() skipped=() passed=0
for compiler in "${compilers[@]}"; do
    case "$compiler" in
    gcc) cc=gcc-12 cxx=g++-12 ;;
    clang) cc=clang-14 cxx=clang++-14 ;;
    *) echo "unknown compiler $compiler"; exit 1 ;;
    esac
    for arch in "${archs[@]}"; do
        if ! supported "$arch"; then
            skipped+=("$compiler/$arch")
            continue
        fi
        for type in "${types[@]}"; do
            cell="$compiler/$arch/$type"
            if [[ "$skip" == *" $cell "* ]]; then
                echo "::: matrix cell $cell left out: the test stage ran it"
                continue
            fi
            echo "::: matrix cell $cell"
            start=$(date +%s)
            rm -rf "$dir"
            log=$logs/${cell//\//-}.log
            if cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
                "${launcher[@]}" -DCMAKE_BUILD_TYPE="$type" -DCONV_TA_ARCH="$arch" \
                -DCONV_TA_WERROR=ON -DCONV_TA_BUILD_BENCH=OFF -DCONV_TA_BUILD_TOOLS=OFF >"$log" 2>&1 &&
                cmake --build "$dir" -j2 >>"$log" 2>&1 &&
                # A freestanding build that lost its ELF check would pass silently.
                ctest --test-dir "$dir" -N -R '^elf_contract$' | grep -q 'Total Tests: 1' &&
                ctest --test-dir "$dir" -LE huge -j2 --output-on-failure >>"$log" 2>&1; then
                passed=$((passed + 1))
                echo "::: matrix cell $cell ok in $(($(date +%s) - start)) s"
            else
                tail -n 80 "$log"
                failed+=("$cell")
                echo "::: matrix cell $cell FAILED in $(($(date +%s) - start)) s"
            fi
        done
    done
done
[ -n "${CCACHE_DIR:-}" ] && ccache --show-stats | grep -Ei 'hits|misses' || true
echo "matrix: $passed cells passed, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ "${#skipped[@]}" = 0 ] || echo "matrix: levels this CPU cannot run, not tested: ${skipped[*]}"
[ "${#failed[@]}" = 0 ]
