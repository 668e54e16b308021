#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need (tools/apt-install.sh: with
# sudo when not root, waiting while another program holds apt's lock). Safe to run again.
# The desktop tests bring their own desktop: a virtual X server, a D-Bus session with the
# accessibility bus, a window manager, a Wayland compositor with Qt's Wayland platform, pointer
# input and screenshots. llvm brings llvm-symbolizer, which the clang-built fuzz programs need for
# the function names that tests/lsan.supp matches.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev llvm libgtest-dev libgmock-dev
  esnacc libesnacc-dev
  gsoap libgsoap-dev
  libssl-dev openssl zlib1g-dev
  libp11-kit-dev
  softhsm2 opensc opensc-pkcs11 libpcsclite1
  opencryptoki p11-kit-modules ca-certificates libnss3
  poppler-utils fonts-dejavu-core e2fsprogs
  dpkg-dev lintian
  qtbase5-dev qttools5-dev qttools5-dev-tools libqt5xmlpatterns5-dev libqt5svg5-dev
  qttranslations5-l10n
  xvfb dbus at-spi2-core x11-utils x11-apps xdotool openbox weston qtwayland5
)
bash "$(dirname "$0")/apt-install.sh" "${packages[@]}"
