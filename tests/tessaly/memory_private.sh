#!/bin/sh
# tessaly and brannick, while they run, keep their memory out of core files and away from
# other processes: they are not dumpable and their core file limit is 0.
# Arguments: the tessaly program, the brannick program.
set -u
scratch=${TESSALY_TEST_SCRATCH:-/tmp/tessaly-memory-private}
rm -rf "$scratch"
mkdir -p "$scratch"
fail() { echo "FAIL: $*" >&2; status=1; }
status=0

# The kernel shows a process that is not dumpable by handing its /proc/<pid> entries (its
# status file, for one) to root. So the programs run as a user other than root (nobody, when
# this runs as root, from copies that user can read), and a status file of root's is the
# protection.
. "$(dirname "$0")/../fixtures/unprivileged/unprivileged.sh"
unprivileged_begin || exit 1
trap unprivileged_end EXIT
tessaly=$(unprivileged_program "$1") || exit 1
brannick=$(unprivileged_program "$2") || exit 1
home=$unprivileged_scratch/home
mkdir -p "$home/home" "$home/config"
[ -z "$unprivileged" ] || chown -R "$unprivileged_uid:$unprivileged_gid" "$home"

# Waits (up to about 30 s, looking every 0.1 s) until the process shows the protection;
# prints its name and user, the owner of /proc/<pid> and its core file limit.
check() {
  name=$1 pid=$2
  i=0
  while [ $i -lt 300 ]; do
    if ! kill -0 "$pid" 2>/dev/null; then
      fail "$name ended before it could be looked at; its output: $(cat "$scratch/$name.out")"
      return
    fi
    if grep -q "^Name:[[:space:]]*$name" "/proc/$pid/status" 2>/dev/null &&
       [ "$(stat -c %u "/proc/$pid/status")" = 0 ]; then
      break
    fi
    i=$((i + 1))
    sleep 0.1
  done
  echo "$name (pid $pid):"
  grep -E '^(Name|Uid):' "/proc/$pid/status"
  echo "owner of /proc/$pid/status: $(stat -c '%U (%u)' "/proc/$pid/status")"
  grep 'Max core file size' "/proc/$pid/limits"
  uid=$(awk '/^Uid:/ { print $2 }' "/proc/$pid/status")
  [ "$uid" != 0 ] || fail "$name runs as root: the owner tells nothing"
  [ "$(stat -c %u "/proc/$pid/status")" = 0 ] || fail "$name is dumpable"
  grep -Eq 'Max core file size[[:space:]]+0[[:space:]]+0[[:space:]]' "/proc/$pid/limits" ||
    fail "$name may write a core file"
}

# The window, with a home and settings of its own; it waits in its event loop.
HOME="$home/home" XDG_CONFIG_HOME="$home/config" XDG_CONFIG_DIRS="$home/config" \
  $unprivileged "$tessaly" > "$scratch/tessaly.out" 2>&1 &
pid=$!
check tessaly $pid
kill $pid 2>/dev/null
wait $pid 2>/dev/null

# The tool, waiting for its SO PIN on standard input (a FIFO this script holds open).
mkfifo "$scratch/pin"
$unprivileged "$brannick" /nonexistent/module.so 1 - Label < "$scratch/pin" > "$scratch/brannick.out" 2>&1 &
pid=$!
exec 3> "$scratch/pin"
check brannick $pid
exec 3>&-
wait $pid 2>/dev/null

[ $status -eq 0 ] && echo "both programs keep their memory private"
exit $status
