#!/bin/sh
# Installs the build into a scratch root with DESTDIR and runs what was installed, with no
# LD_LIBRARY_PATH: the programs must find their libraries, brannick and the enrolment files
# where they look for them.
# Arguments: the build folder, the install prefix, the data folder (absolute).
set -eu
build=$1 prefix=$2 data=$3
root=${TESSALY_TEST_SCRATCH:-/tmp/tessaly-install-test}/root
rm -rf "$root"
mkdir -p "$root"
unset LD_LIBRARY_PATH
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$root cmake --install "$build" --prefix "$prefix" > "$root.log" 2>&1 || { cat "$root.log"; fail "install"; }
bin=$root$prefix/bin

# What the window starts and reads at run time, where it looks for it: brannick beside the
# program, the enrolment schema and texts in the data folder.
for f in "$bin/tessaly" "$bin/brannick"; do
  [ -x "$f" ] || fail "$f is not installed"
done
for f in Schema.xml SchemaResources.en.xml SchemaResources.bg.xml; do
  [ -f "$root$data/$f" ] || fail "$data/$f is not installed"
done
for f in share/applications/tessaly.desktop share/icons/hicolor/16x16/apps/tessaly.png \
         share/icons/hicolor/32x32/apps/tessaly.png share/icons/hicolor/48x48/apps/tessaly.png; do
  [ -f "$root$prefix/$f" ] || fail "$prefix/$f is not installed"
done
grep -q '^Exec=tessaly$' "$root$prefix/share/applications/tessaly.desktop" || fail "menu entry command"

# Nothing of the tests, the test module or the benchmarks.
if find "$root" | grep -E 'testmodule|_test$|bench|requestservice|counting' ; then
  fail "test or benchmark files were installed"
fi

# Every library the programs link is found without LD_LIBRARY_PATH.
for f in "$bin/tessaly" "$bin/brannick"; do
  if ldd "$f" | grep -q 'not found'; then
    ldd "$f" >&2
    fail "$f misses a library"
  fi
done

# brannick without arguments: status 255 and its line.
set +e
out=$("$bin/brannick" 2>&1)
status=$?
set -e
[ "$status" = 255 ] || fail "brannick without arguments ended with $status"
echo "$out" | grep -q "Invalid number of arguments" || fail "brannick said: $out"

# tessaly starts offscreen with an empty home and keeps running until it is stopped.
home=$root/home
mkdir -p "$home"
set +e
HOME=$home XDG_CONFIG_DIRS=$root${data%/Veskora} QT_QPA_PLATFORM=offscreen \
  timeout -s TERM 4 "$bin/tessaly" > "$root/tessaly.out" 2>&1
status=$?
set -e
[ "$status" = 124 ] || { cat "$root/tessaly.out" >&2; fail "tessaly ended by itself with status $status"; }
if grep -q 'error while loading shared libraries' "$root/tessaly.out"; then
  fail "tessaly could not load its libraries"
fi
echo "installed tree works"
