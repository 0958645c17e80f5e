#!/usr/bin/env bash
# The README's test command, in a fresh build tree, with warnings as errors.
set -euo pipefail
command=$(awk '/<!-- test command -->/ { getline; getline; print; exit }' README.md)
[ -n "$command" ] || { echo "no test command in README.md"; exit 1; }
rm -rf build
echo "+ $command"
CFLAGS=-Werror CXXFLAGS=-Werror bash -c "$command"
