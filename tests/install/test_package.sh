#!/bin/sh
# Makes the Debian package from the build's install rules and checks its contents and lintian.
# Arguments: the build folder, the data folder (absolute).
set -eu
build=$1 data=$2
out=${TESSALY_TEST_SCRATCH:-/tmp/tessaly-package-test}
rm -rf "$out"
mkdir -p "$out"
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$out" > "$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; fail "cpack"; }
deb=$(ls "$out"/tessaly_*_amd64.deb)
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' > "$out/contents"

for f in /usr/bin/tessaly /usr/bin/brannick \
         /usr/share/applications/tessaly.desktop \
         /usr/share/icons/hicolor/16x16/apps/tessaly.png /usr/share/icons/hicolor/32x32/apps/tessaly.png \
         /usr/share/icons/hicolor/48x48/apps/tessaly.png \
         /usr/include/tessaly/sorvit/oids.h /usr/include/tessaly/pellum/pellum.h \
         /usr/include/tessaly/varnock/Varnock.h \
         "$data/Schema.xml" "$data/SchemaResources.en.xml" "$data/SchemaResources.bg.xml"; do
  grep -qx "$f" "$out/contents" || fail "$f is not in the package"
done
for lib in sorvit pellum varnock logging quenmar; do
  grep -Eq "/lib/([^/]+/)?tessaly/lib$lib\.so\.1$" "$out/contents" || fail "lib$lib.so.1 is not in the package"
done
if grep -E 'testmodule|_test$|bench|requestservice|counting' "$out/contents"; then
  fail "test or benchmark files are in the package"
fi
# The data files are configuration files of the package.
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles > "$out/conffiles" || fail "no conffiles"
for f in Schema.xml SchemaResources.en.xml SchemaResources.bg.xml; do
  grep -qx "$data/$f" "$out/conffiles" || fail "$data/$f is not a configuration file"
done

lintian --tag-display-limit 0 "$deb" > "$out/lintian.txt" 2>&1 || true
cat "$out/lintian.txt"
if grep -q '^E:' "$out/lintian.txt"; then
  fail "lintian reports errors"
fi
echo "package $(basename "$deb") is sound"
