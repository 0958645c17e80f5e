#!/usr/bin/env bash
# The Debian packages: built with dpkg-buildpackage from a copy of the tree
# (it writes ../*.deb and build files under debian/), checked by lintian,
# installed with apt-get, used from C and C++ (find_package and pkg-config),
# from the command line and from Debian's python3, and purged, leaving the
# machine as it was.
set -euo pipefail
packages=(libconv-ta1 libconv-ta-threads1 libconv-ta-dev conv-ta python3-conv-ta)
for p in "${packages[@]}"; do
    if dpkg -s "$p" >/dev/null 2>&1; then
        echo "$p is installed already; this stage installs and purges it"
        exit 1
    fi
done
work=$(mktemp -d /tmp/conv_ta_packages.XXXXXX)
installed=0
cleanup() {
    [ "$installed" = 0 ] || apt-get purge -y -q "${packages[@]}" >/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive
# What lies under /usr and /etc/ld.so.cache's view of the library before.
traces() { find /usr /etc -path '*conv*ta*' -o -path '*conv_TA*' | sort; ldconfig -p | grep -i conv_ta || true; }
traces > "$work/before"

mkdir "$work/src"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work/src"
start=$(date +%s)
if ! (cd "$work/src" && DEB_BUILD_OPTIONS=noautodbgsym nice dpkg-buildpackage -us -uc -b -j2 >"$work/build.log" 2>&1); then
    tail -n 60 "$work/build.log"
    echo "dpkg-buildpackage failed"
    exit 1
fi
echo "packages built in $(( $(date +%s) - start )) s:"
grep -E 'tests passed|Total Test time' "$work/build.log"
debs=()
for p in "${packages[@]}"; do debs+=("$work/${p}_"*.deb); done
ls -l "${debs[@]}" | awk '{ print "    " $5, $NF }'
echo "+ lintian"
lintian --fail-on error,warning --pedantic -I "$work"/*.changes || { echo "lintian failed"; exit 1; }
echo "lintian: no errors or warnings"

installed=1
apt-get install -y -q "${debs[@]}" >/dev/null
# The loader takes the best copy this CPU runs, from the system's cache.
# The awk scripts read to the end: one that stopped early would make the
# writer die of SIGPIPE, which pipefail counts as a failure.
best=$(/lib64/ld-linux-x86-64.so.2 --help | awk '/^Subdirectories of glibc-hwcaps/ { on = 1; next }
    on && !done && /supported, searched/ { print $1; done = 1 }')
chosen=$(LD_DEBUG=libs conv-ta kernels 2>&1 >/dev/null |
         awk 'done { next }
              /find library=libconv_TA\.so\.1 / { on = 1; next }
              on && /trying file=/ { sub(/.*trying file=/, ""); file = $0; next }
              on && !/search/ { print file; done = 1 }')
echo "conv-ta loads $chosen"
case "$chosen" in
    */glibc-hwcaps/"$best"/libconv_TA.so.1*) ;;
    *) echo "not the $best copy"; exit 1 ;;
esac
conv-ta check | tail -n 1
cp -r "$work/src/examples/consumer" "$work/consumer"
cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja >/dev/null
cmake --build "$work/consumer/build" >/dev/null
"$work/consumer/build/consumer_c" && "$work/consumer/build/consumer_cpp"
CFLAGS=-Werror CXXFLAGS=-Werror make -s -C "$work/consumer" BUILD="$work/consumer/make" run
# Python gets the same copy as conv-ta: the module reaches the library through
# its companion's RUNPATH, so the loader makes the choice.
(cd "$work" && PYTHONDONTWRITEBYTECODE=1 CHOSEN="$chosen" /usr/bin/python3 -c '
import os, numpy as np, conv_ta
maps = {line.split()[-1] for line in open("/proc/self/maps") if "libconv_TA.so" in line}
print("python3 loads", *sorted(maps))
assert maps == {os.path.realpath(os.environ["CHOSEN"])}, "not the copy conv-ta loads"
assert (conv_ta.correlate3x3(np.ones((2, 20), np.int32), [1] * 9)[0, :2] == [4, 6]).all()')
PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -q -p no:cacheprovider "$work/src/python/tests" | tail -n 1

apt-get purge -y -q "${packages[@]}" >/dev/null
installed=0
traces > "$work/after"
if ! diff "$work/before" "$work/after"; then
    echo "the purge left the files above"
    exit 1
fi
echo "packages stage: all ok"
