#!/usr/bin/env bash
# The benchmark built by the test stage, run once through table.py with the
# shortest timing: every implementation on every shape, each output checked
# against the reference, the tables and the plot made. No figure from here
# means anything (CI machines are noisy); the committed ones come from
# bench/table.py run by hand.
set -euo pipefail
build=${CONV_TA_BENCH_BUILD:-build}
binary=$build/bench/conv_TA_bench
[ -x "$binary" ] || { echo "no $binary: the test stage did not build the benchmark"; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
/usr/bin/python3 bench/table.py --build "$build" --out "$out" --repetitions 1 --min-time 0.001 \
    > "$out/table.txt"
grep -q "convolution_TA" "$out/table.md"
[ -s "$out/throughput.png" ]
echo "benchmark smoke run: every benchmark checked, table and plot made"
