#!/usr/bin/env bash
# Installs what is needed, builds tessaly, prepares the demo token and starts the program.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/install-deps.sh"
build=${TESSALY_BUILD:-$here/build}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_BUILD_TESTS=OFF -DTESSALY_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
if [ -x "$here/tools/demo-token.sh" ]; then
  bash "$here/tools/demo-token.sh" "$build/bin"
fi
# SoftHSM2 reads its token folder from here, for the demo token.
export SOFTHSM2_CONF=${TESSALY_DEMO_DIR:-$build/demo}/softhsm2.conf
if [ -x "$build/bin/tessaly" ]; then
  exec "$build/bin/tessaly" "$@"
fi
echo "tessaly was not built" >&2
exit 1
