#!/usr/bin/env bash
# Starts tessaly under a virtual X server and saves a screenshot of the screen.
# Usage: tools/screenshot.sh [program folder] [output.png] [skin|plain]
# The program runs with a home folder of its own, so no settings file of the user is
# read or written; "plain" starts it with the skin switched off.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$here/build/bin}" && pwd)
out=${2:-$PWD/tessaly-screenshot.png}
style=${3:-skin}
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing: apt-get install -y xvfb xauth" >&2; exit 1; }
command -v import >/dev/null || { echo "import is missing: apt-get install -y imagemagick" >&2; exit 1; }

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/.Veskora"
if [ "$style" = plain ]; then
  printf '[General]\nSkinEnabled=false\n' > "$home/.Veskora/tessaly.ini"
fi

HOME=$home xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  set -u
  ASAN_OPTIONS=detect_leaks=0 "$1" &
  pid=$!
  # Wait until the main window is mapped and the start-up splash is gone.
  for _ in $(seq 100); do
    if xwininfo -root -tree 2>/dev/null | grep -q "\"Veskora Tessaly\""; then break; fi
    sleep 0.1
  done
  sleep 1.5
  import -window root "$2"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
' _ "$bin/tessaly" "$out"
echo "screenshot written to $out"
