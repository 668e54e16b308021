#!/bin/sh
# Usage: translation_complete.sh <lupdate> <source folder> <shipped .ts>
# Fails, listing the texts, when the sources hold a text the shipped translation lacks.
set -eu
lupdate=$1 sources=$2 shipped=$3
scratch=${TESSALY_TEST_SCRATCH:-${TMPDIR:-/tmp}/tessaly-translation}
mkdir -p "$scratch"
cp "$shipped" "$scratch/check.ts"
"$lupdate" -silent -no-obsolete -locations none "$sources" -ts "$scratch/check.ts"
if grep -q 'type="unfinished"' "$scratch/check.ts"; then
  echo "texts without a Bulgarian translation:"
  grep -B3 'type="unfinished"' "$scratch/check.ts" | grep -E '<source>|<name>' || true
  exit 1
fi
echo "every text is translated"
