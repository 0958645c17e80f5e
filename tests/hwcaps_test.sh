#!/usr/bin/env bash
# A build with CONV_TA_HWCAPS, installed into a new prefix: the loader must
# take the best copy the CPU runs for a host that finds the library by
# RUNPATH (conv-ta) and one that finds it by LD_LIBRARY_PATH (the linked
# suite), and, with ld.so masking the higher levels, each lower copy in turn;
# every copy so chosen passes the linked suite and conv-ta check. Which file
# was loaded is read from the loader's own trace (LD_DEBUG=libs).
#   hwcaps_test.sh BUILD_DIR LIBDIR LINKED_SUITE
set -euo pipefail
build=$1 libdir=$2 suite=$3
ldso=/lib64/ld-linux-x86-64.so.2
work=$(mktemp -d "${TMPDIR:-/tmp}/conv_ta_hwcaps.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset LD_BIND_NOW LD_LIBRARY_PATH
cmake --install "$build" --prefix "$work/prefix" >/dev/null
lib=$work/prefix/$libdir
conv_ta=$work/prefix/bin/conv-ta

# Runs "$@" and checks that the file the loader mapped as libconv_TA.so.1,
# the last one it tried in its search for that name, is $2.
expect() {
    local what=$1 want=$2 file
    shift 2
    rm -f "$work"/trace.*
    if ! LD_DEBUG=libs LD_DEBUG_OUTPUT="$work/trace" "$@" >"$work/out" 2>&1; then
        echo "$what: failed: $*"
        tail -n 20 "$work/out"
        exit 1
    fi
    file=$(cat "$work"/trace.* | awk '/find library=libconv_TA\.so\.1 / { want = 1; next }
        want && /trying file=/ { sub(/.*trying file=/, ""); file = $0; next }
        want && !/search path=/ { print file; exit }')
    if [ -z "$file" ] || [ "$(realpath "$file")" != "$want" ]; then
        echo "$what: loaded ${file:-nothing}, not $want"
        exit 1
    fi
    echo "$what: $file"
}

# The levels this loader searches on this CPU, best first, and the copies
# installed for them.
supported=$("$ldso" --help | awk '/^Subdirectories of glibc-hwcaps/ { on = 1; next }
    on && /^$/ { exit } on && /supported, searched/ { print $1 }')
best=$(realpath "$lib/libconv_TA.so.1")
for level in $supported; do
    if [ -e "$lib/glibc-hwcaps/$level/libconv_TA.so.1" ]; then
        best=$(realpath "$lib/glibc-hwcaps/$level/libconv_TA.so.1")
        break
    fi
done
[ -d "$lib/glibc-hwcaps" ] || { echo "nothing installed in $lib/glibc-hwcaps"; exit 1; }
# conv-ta finds the library by its run path, or, built without one (as for
# /usr), by LD_LIBRARY_PATH.
if readelf -d "$conv_ta" | grep -q RUNPATH; then
    expect "conv-ta (RUNPATH)" "$best" "$conv_ta" kernels
else
    expect "conv-ta (LD_LIBRARY_PATH)" "$best" env LD_LIBRARY_PATH="$lib" "$conv_ta" kernels
fi
expect "the linked suite (LD_LIBRARY_PATH)" "$best" env LD_LIBRARY_PATH="$lib" "$suite" --gtest_filter=-*

# Each copy forced in turn; "none" masks every level, leaving the baseline.
for level in $(cd "$lib/glibc-hwcaps" && ls) none; do
    file=$lib/glibc-hwcaps/$level/libconv_TA.so.1
    [ "$level" = none ] && file=$lib/libconv_TA.so.1
    if [ "$level" != none ] && ! grep -qx "$level" <<<"$supported"; then
        echo "$level: skipped, this CPU or loader does not run it"
        continue
    fi
    file=$(realpath "$file")
    expect "suite, mask $level" "$file" \
        "$ldso" --glibc-hwcaps-mask "$level" --library-path "$lib" "$suite"
    expect "conv-ta check, mask $level" "$file" \
        "$ldso" --glibc-hwcaps-mask "$level" --library-path "$lib" "$conv_ta" check
done
echo "hwcaps: all ok"
