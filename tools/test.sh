#!/usr/bin/env bash
# Installs what is needed, builds everything with AddressSanitizer and UBSan, runs every test
# and lists the cases a test skipped, with the reason each gave (and, as root, the cases run
# again as an unprivileged user). TESSALY_JOBS sets how many compilers and tests run at once
# (default: one per core); with TESSALY_NO_SKIPS=1 a skipped case fails the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/install-deps.sh"
build=${TESSALY_TEST_BUILD:-$here/build-test}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_SANITIZE=ON
jobs=${TESSALY_JOBS:-$(nproc)}
cmake --build "$build" -j"$jobs"
cd "$build"
results=$build/ctest-results.xml
rm -f "$results"
status=0
ctest --output-on-failure -j"$jobs" --output-junit "$results" --test-output-size-passed 10000000 "$@" || status=$?

# The skips, from every test's whole output: Qt Test's "SKIP   :" lines, GoogleTest's skipped
# tests with the reason line after "Skipped", and tests CTest did not run.
skips=$(awk '
  /<testcase / { match($0, /name="[^"]*"/); test = substr($0, RSTART + 6, RLENGTH - 7) }
  { sub(/^[ \t]*<system-out>/, "") }
  /<skipped/ { print test ": not run" }
  /^SKIP   : / { print test ": " substr($0, 10) }
  reason_next { reason = $0; reason_next = 0 }
  /: Skipped$/ { reason_next = 1 }
  /^\[  SKIPPED \] .* \([0-9]+ ms\)$/ { print test ": " substr($0, 14) " " reason }
' "$results" 2>/dev/null || true)
# As root, the cases that need an unprivileged user run again as one (tests/fixtures/unprivileged).
unprivileged=$(awk '
  /<testcase / { match($0, /name="[^"]*"/); test = substr($0, RSTART + 6, RLENGTH - 7) }
  /ran as an unprivileged user: / { sub(/.*ran as an unprivileged user: /, ""); print test ": " $0 }
' "$results" 2>/dev/null || true)
if [ -n "$unprivileged" ]; then
  echo "Cases run as an unprivileged user ($(printf '%s\n' "$unprivileged" | wc -l)):"
  printf '%s\n' "$unprivileged" | sed 's/^/  /'
fi
if [ -n "$skips" ]; then
  echo "Skipped cases ($(printf '%s\n' "$skips" | wc -l)):"
  printf '%s\n' "$skips" | sed 's/^/  /'
  if [ "${TESSALY_NO_SKIPS:-}" = 1 ]; then
    echo "A case was skipped, and TESSALY_NO_SKIPS=1 makes that a failure."
    [ "$status" != 0 ] || status=1
  fi
elif [ -f "$results" ]; then
  echo "No case was skipped."
fi
exit "$status"
