#!/usr/bin/env bash
# Installs what is needed, builds tessaly, prepares the demo token and the demo's
# certificate operator, starts the operator's request service and then the program.
# The service stops when tessaly exits.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/install-deps.sh"
build=${TESSALY_BUILD:-$here/build}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_BUILD_TESTS=OFF -DTESSALY_BUILD_BENCH=OFF
cmake --build "$build" -j"${TESSALY_JOBS:-$(nproc)}"
if [ ! -x "$build/bin/tessaly" ]; then
  echo "tessaly was not built" >&2
  exit 1
fi
demo=${TESSALY_DEMO_DIR:-$build/demo}
bash "$here/tools/demo-token.sh" "$build/bin"
bash "$here/tools/demo-service.sh" "$here" "$demo"

# The operator's request service on a port of the loopback interface; it writes the
# port once it listens.
service=$demo/service
rm -f "$service/port"
"$build/bin/requestservice_server" "$service" > "$service/port" 2> "$service/service.log" &
service_pid=$!
trap 'kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  if grep -q '^[0-9][0-9]*$' "$service/port" 2>/dev/null; then break; fi
  if ! kill -0 "$service_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
port=$(head -n 1 "$service/port" 2>/dev/null || true)
if ! [[ "$port" =~ ^[0-9]+$ ]]; then
  echo "the demo request service did not start; see $service/service.log" >&2
  exit 1
fi

# The settings file beside the program points tessaly at the service.
ini=$build/bin/tessaly.ini
url="https://127.0.0.1:$port/axis2/services/RequestService"
if grep -q '^RequestServiceURL=' "$ini"; then
  sed -i "s|^RequestServiceURL=.*|RequestServiceURL=$url|" "$ini"
elif grep -q '^\[General\]' "$ini"; then
  sed -i "/^\[General\]/a RequestServiceURL=$url" "$ini"
else
  printf '[General]\nRequestServiceURL=%s\n\n%s' "$url" "$(cat "$ini")" > "$ini"
fi

# SoftHSM2 reads its token folder from here; the operator's files come first among
# the configuration folders.
export SOFTHSM2_CONF=$demo/softhsm2.conf
export XDG_CONFIG_DIRS="$demo/xdg:${XDG_CONFIG_DIRS:-/etc/xdg}"
# Not exec'd: the trap stops the service once tessaly exits, and its status is the script's.
"$build/bin/tessaly" "$@"
