#!/usr/bin/env bash
# Prepares a SoftHSM2 demo token (a certificate with its key pair, and a second key
# pair without a certificate) and a settings file beside the program that lists it
# as a provider next to the default table. Usage: demo-token.sh <program folder>
set -euo pipefail
bin=$(cd "${1:?program folder}" && pwd)
demo=${TESSALY_DEMO_DIR:-$bin/../demo}
mkdir -p "$demo/tokens"
demo=$(cd "$demo" && pwd)
module=/usr/lib/softhsm/libsofthsm2.so
conf=$demo/softhsm2.conf
export SOFTHSM2_CONF=$conf
cat > "$conf" <<CONF
directories.tokendir = $demo/tokens
objectstore.backend = file
log.level = ERROR
CONF

label="Tessaly Demo"
if ! softhsm2-util --show-slots 2>/dev/null | grep -q "Label:.*$label"; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  softhsm2-util --init-token --free --label "$label" --so-pin 12345678 --pin 1234 >/dev/null
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/user.pem" 2>/dev/null
  openssl req -x509 -new -key "$work/user.pem" -subj "/CN=Demo User/O=Tessaly Demo/C=BG" -days 730 \
    -addext "keyUsage=critical,digitalSignature,nonRepudiation" -outform DER -out "$work/user.der"
  softhsm2-util --import "$work/user.pem" --token "$label" --label "Demo User" --id 01 --pin 1234 >/dev/null
  pkcs11-tool --module "$module" --token-label "$label" --login --pin 1234 \
    --write-object "$work/user.der" --type cert --id 01 --label "Demo User" >/dev/null
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/spare.pem" 2>/dev/null
  softhsm2-util --import "$work/spare.pem" --token "$label" --label "Spare key" --id 02 --pin 1234 >/dev/null
  echo "Demo token \"$label\" made in $demo (user PIN 1234, SO PIN 12345678)"
fi

ini=$bin/tessaly.ini
if [ ! -f "$ini" ]; then
  cat > "$ini" <<INI
[General]
SkinEnabled=true

[Providers]
1\\Description=Bit4id
1\\Module=libbit4ipki.so
2\\Description=Charismathics
2\\Module=libcmP11.so
3\\Description=OpenSC
3\\Module=onepin-opensc-pkcs11.so
4\\Description=Siemens
4\\Module=libsiecap11.so
5\\Description=SoftHSM2 Demo
5\\Module=$module
size=5
INI
elif ! grep -q "$module" "$ini"; then
  echo "note: $ini exists and does not list $module; add it in Preferences to see the demo token" >&2
fi
