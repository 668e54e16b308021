#!/bin/sh
# Usage: install_check.sh <cmake> <build folder> <data folder> <shipped policy files>
# `cmake --install` puts the shipped policy files into the data folder, unchanged.
set -eu
cmake=$1 build=$2 data=$3 shipped=$4
root=${TESSALY_TEST_SCRATCH:-${TMPDIR:-/tmp}/tessaly-install}/root
rm -rf "$root"
DESTDIR=$root "$cmake" --install "$build" --component enrolment >/dev/null
for file in Schema.xml SchemaResources.en.xml SchemaResources.bg.xml; do
  cmp "$shipped/$file" "$root$data/$file"
done
echo "the policy files are installed into $data"
