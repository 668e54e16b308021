#!/usr/bin/env bash
# Installs the named Debian packages that are missing (with sudo when not run as root), waiting
# while another program holds the package system's locks instead of failing at once: an
# automatic upgrade at a desktop's first boot, another apt-get, a second CI root. apt waits for
# dpkg's locks itself when told DPkg::Lock::Timeout, but not for the package lists' lock
# (apt-get update) nor the download folder's (apt 2.6): a run that failed on a lock is tried
# again, until 30 minutes have gone.
# usage: tools/apt-install.sh PACKAGE...
set -euo pipefail
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

deadline=$((SECONDS + 1800))
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
# apt-get with its arguments; its errors are shown as they come (a lock's, tried again, once).
apt_get() {
  local status left said=
  while :; do
    left=$((deadline - SECONDS))
    [ "$left" -gt 0 ] || left=1
    status=0
    { $SUDO env LC_ALL=C DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout="$left" "$@" 2>&1 1>&3 | tee "$errors" |
        { grep -v -e '^E: Could not get lock' -e '^E: Unable to lock' >&2 || true; }; } 3>&1 ||
      status=$?
    [ "$status" != 0 ] || return 0
    if ! grep -q '^E: Could not get lock' "$errors" || [ "$SECONDS" -ge "$deadline" ]; then
      grep -e '^E: Could not get lock' -e '^E: Unable to lock' "$errors" >&2 || true
      return "$status"
    fi
    if [ -z "$said" ]; then
      echo "apt-install: waiting: $(grep -m1 '^E: Could not get lock' "$errors" | sed 's/^E: //')" >&2
      said=1
    fi
    sleep 5
  done
}
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
