#!/usr/bin/env bash
# Installs what is needed, builds tessaly for release and makes its Debian package
# (build-package/tessaly_<version>_amd64.deb), to be installed with apt install ./<file>.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/install-deps.sh"
build=${TESSALY_PACKAGE_BUILD:-$here/build-package}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTESSALY_BUILD_TESTS=OFF -DTESSALY_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB)
ls "$build"/tessaly_*_amd64.deb
