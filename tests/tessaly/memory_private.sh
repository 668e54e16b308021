#!/bin/sh
# tessaly and brannick, while they run, keep their memory out of core files and away from
# other processes: /proc/<pid>/status says "Dumpable: 0" and the core file limit is 0.
# Arguments: the tessaly program, the brannick program.
set -u
tessaly=$1
brannick=$2
scratch=${TESSALY_TEST_SCRATCH:-/tmp/tessaly-memory-private}
rm -rf "$scratch"
mkdir -p "$scratch/home" "$scratch/config"
fail() { echo "FAIL: $*" >&2; status=1; }
status=0

# Waits (up to about 30 s, looking every 0.1 s) until the process shows the protection;
# prints its lines of /proc/<pid>/status and /proc/<pid>/limits.
check() {
  name=$1 pid=$2
  i=0
  while [ $i -lt 300 ]; do
    if ! kill -0 "$pid" 2>/dev/null; then
      fail "$name ended before it could be looked at"
      return
    fi
    if grep -q '^Dumpable:[[:space:]]*0$' "/proc/$pid/status" 2>/dev/null; then
      break
    fi
    i=$((i + 1))
    sleep 0.1
  done
  echo "$name (pid $pid):"
  grep -E '^(Name|Dumpable):' "/proc/$pid/status"
  grep 'Max core file size' "/proc/$pid/limits"
  grep -q '^Dumpable:[[:space:]]*0$' "/proc/$pid/status" || fail "$name is dumpable"
  grep -Eq 'Max core file size[[:space:]]+0[[:space:]]+0[[:space:]]' "/proc/$pid/limits" ||
    fail "$name may write a core file"
}

# The window, with a home and settings of its own; it waits in its event loop.
HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_CONFIG_DIRS="$scratch/config" \
  "$tessaly" > "$scratch/tessaly.out" 2>&1 &
pid=$!
check tessaly $pid
kill $pid 2>/dev/null
wait $pid 2>/dev/null

# The tool, waiting for its SO PIN on standard input (a FIFO this script holds open).
mkfifo "$scratch/pin"
"$brannick" /nonexistent/module.so 1 - Label < "$scratch/pin" > "$scratch/brannick.out" 2>&1 &
pid=$!
exec 3> "$scratch/pin"
check brannick $pid
exec 3>&-
wait $pid 2>/dev/null

[ $status -eq 0 ] && echo "both programs keep their memory private"
exit $status
