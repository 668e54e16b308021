#!/bin/sh
# The build tools/run.sh makes (tests and benchmarks off) holds what the demo runs and nothing
# of the tests: no fuzz programs and no clang sub-build.
# Arguments: the source folder.
set -eu
source=$1
build=${TESSALY_TEST_SCRATCH:-/tmp/tessaly-runbuild-test}/build
rm -rf "$build"
mkdir -p "$build"
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_BUILD_TESTS=OFF \
  -DTESSALY_BUILD_BENCH=OFF > "$build.log" 2>&1 || { cat "$build.log"; fail "configure"; }
targets=$(ninja -C "$build" -t targets all) || fail "no build graph"
for wanted in bin/tessaly bin/brannick bin/requestservice_server; do
  echo "$targets" | grep -q "^$wanted:" || fail "$wanted is not built"
done
# Absolute paths are the sources' own (whose folder may hold any name), not targets.
if echo "$targets" | grep -v '^/' | grep -i 'fuzz'; then
  fail "fuzz programs are built"
fi
if grep -rqs ExternalProject "$build/CMakeFiles/Makefile.cmake" "$build/build.ninja"; then
  fail "a sub-build is configured"
fi
echo "the run build holds what the demo runs"
