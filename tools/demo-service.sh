#!/usr/bin/env bash
# Prepares the demo's certificate operator: a CA of its own and a server certificate
# for 127.0.0.1 made once under <demo folder>/service, the service's configuration
# (the shipped policies accepted, each request approved a few seconds after it was
# filed), and the operator's data folder <demo folder>/xdg/Veskora with the CA as
# chain.pem and the shipped policy files.
# Usage: demo-service.sh <source folder> <demo folder>
set -euo pipefail
src=$(cd "${1:?source folder}" && pwd)
demo=${2:?demo folder}
mkdir -p "$demo/service/store" "$demo/xdg/Veskora"
demo=$(cd "$demo" && pwd)
svc=$demo/service

if [ ! -f "$svc/server-with-key.pem" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$svc/ca.key" 2>/dev/null
  printf '[req]\ndistinguished_name=dn\n[dn]\n[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\nsubjectKeyIdentifier=hash\n' \
    > "$work/ca.cnf"
  openssl req -x509 -new -key "$svc/ca.key" -subj "/CN=Tessaly Demo Operator CA/O=Tessaly Demo" -days 3650 \
    -config "$work/ca.cnf" -extensions ca -out "$svc/ca.pem"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/server.key" 2>/dev/null
  openssl req -new -key "$work/server.key" -subj "/CN=localhost" -config /dev/null -out "$work/server.csr"
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' > "$work/server.ext"
  openssl x509 -req -in "$work/server.csr" -CA "$svc/ca.pem" -CAkey "$svc/ca.key" -set_serial "$(date +%s)" \
    -days 825 -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null
  cat "$work/server.pem" "$work/server.key" > "$svc/server-with-key.pem"
  chmod 600 "$svc/ca.key" "$svc/server-with-key.pem"
  echo "Demo certificate operator made in $svc"
fi

{
  echo "server=$svc/server-with-key.pem"
  echo "ca_cert=$svc/ca.pem"
  echo "ca_key=$svc/ca.key"
  echo "idle=86400"
  echo "approve_after=${TESSALY_DEMO_APPROVE_AFTER:-5}"
  sed -n 's/.*<policy id="\([0-9.]*\)".*/policy=\1/p' "$src/resources/enrolment/Schema.xml"
} > "$svc/service.conf"

cp "$svc/ca.pem" "$demo/xdg/Veskora/chain.pem"
cp "$src/resources/enrolment/Schema.xml" "$src"/resources/enrolment/SchemaResources.*.xml "$demo/xdg/Veskora/"
