#!/bin/sh
# What `make test` runs: the packages, the builds (their output goes to
# build/build.log and shows only when they fail), every test through CTest,
# and then the time of each stage.
set -u
cd "$(dirname "$0")/.."
mkdir -p build
stages=build/stage-times
: > "$stages"
stage() { printf '%s\t%d\n' "$1" $(( $(date +%s) - $2 )) >> "$stages"; }
start=$(date +%s)

./tools/install-deps.sh || exit 1
stage packages "$start"

t=$(date +%s)
echo "Building setup.exe and the tests (output in build/build.log)"
jobs=$(nproc)
if ! { cmake --preset win32 && cmake --build --preset win32 --parallel "$jobs" &&
       cmake --preset host && cmake --build --preset host --parallel "$jobs"; } > build/build.log 2>&1; then
    tail -n 40 build/build.log
    exit 1
fi
stage build "$t"

ctest --preset host
status=$?
stage "make test in all" "$start"
echo
echo "Time of each stage, in seconds:"
awk -F'\t' '{ printf "  %5d  %s\n", $2, $1 }' "$stages"
exit $status
