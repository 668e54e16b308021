#!/bin/sh
# Usage: translation_complete.sh <lupdate> <source folder> <shipped .ts>
# Fails, listing the texts, when the sources hold a text the shipped translation lacks, when a
# Bulgarian translation leaves English words in it (names, acronyms, file names and keys
# aside), or when a source text carries a misspelling that was corrected once.
set -eu
lupdate=$1 sources=$2 shipped=$3
scratch=${TESSALY_TEST_SCRATCH:-${TMPDIR:-/tmp}/tessaly-translation}
mkdir -p "$scratch"
cp "$shipped" "$scratch/check.ts"
"$lupdate" -silent -no-obsolete -locations none "$sources" -ts "$scratch/check.ts"
status=0
if grep -q 'type="unfinished"' "$scratch/check.ts"; then
  echo "texts without a Bulgarian translation:"
  grep -B3 'type="unfinished"' "$scratch/check.ts" | grep -E '<source>|<name>' || true
  status=1
fi

# Latin words that stay in a Bulgarian text: names, acronyms, file suffixes, keys.
english=$(awk '
BEGIN {
  RS = "</message>"
  n = split("PIN AIN SO SO-PIN RSA DSA PKCS PKCS#1 PKCS#11 Veskora Tessaly tessaly PDF XML HTML OID URL " \
            "EC https HTTPS TLS SOAP CA ID SHA-1 UTF-8 ASCII nonce so pem der crt cer bg DER PEM " \
            "OpenSC SoftHSM SoftHSM2 openCryptoki p11-kit tpm2-pkcs11", w, " ")
  for (i = 1; i <= n; i++) allowed[w[i]] = 1
}
function unescape(t) {
  gsub(/&lt;/, "<", t); gsub(/&gt;/, ">", t); gsub(/&quot;/, "\"", t); gsub(/&apos;/, "\047", t)
  gsub(/&amp;/, "\\&", t)
  return t
}
{
  if (!match($0, /<source>[^<]*<\/source>/)) next
  src = unescape(substr($0, RSTART + 8, RLENGTH - 17))
  if (!match($0, /<translation[^>]*>[^<]*<\/translation>/)) next
  t = substr($0, RSTART, RLENGTH)
  sub(/^<translation[^>]*>/, "", t); sub(/<\/translation>$/, "", t)
  t = unescape(t)
  # A keyboard shortcut stays as it is.
  if (t == src && src ~ /^((Ctrl|Alt|Shift)\+)*([A-Z][a-z]*|F[0-9]+)$/) next
  gsub(/<[^>]*>/, " ", t)
  rest = t
  while (match(rest, /[A-Za-z][A-Za-z0-9#+._-]*/)) {
    word = substr(rest, RSTART, RLENGTH)
    rest = substr(rest, RSTART + RLENGTH)
    sub(/[._-]+$/, "", word)
    # File and function names: "LicenseBG.html", "C_GetFunctionList".
    if (word in allowed || word ~ /[._]/) continue
    print src " -> " t
    break
  }
}' "$scratch/check.ts")
if [ -n "$english" ]; then
  echo "Bulgarian translations with English left in them:"
  echo "$english"
  status=1
fi

# Misspellings corrected once, so they do not come back.
if grep -E '<source>' "$scratch/check.ts" |
   grep -iE 'adiministartive|exsits|already exist([^s]|$)|coresponding|settins|everytime|bellow|Helman'; then
  echo "source texts with a misspelling (above)"
  status=1
fi
[ "$status" = 0 ] && echo "every text is translated"
exit "$status"
