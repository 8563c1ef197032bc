#!/usr/bin/env bash
# Makes a throw-away certificate authority and certificates with openssl in
# DIR, for the TLS tests and the TLS demo (never for production use: the
# keys have no password and live in DIR):
#
#   ca.pem          the CA's certificate (what --tls-ca names)
#   server.pem      certificate + key of the server, "regd-test"
#   operator.pem    a client, "operator-1"
#   reader.pem      a client, "reader-1"
#   expired.pem     a client signed by the CA whose certificate has expired, "operator-old"
#   selfsigned.pem  a client that signed its own certificate, "intruder"
#   other-ca.pem    the certificate of a second, unrelated CA
#   stranger.pem    a client signed by that other CA, "stranger"
#   <name>.pem      for every further NAME given: a client "<name>" signed by the CA
#
# Usage: make_test_pki.sh DIR [NAME...]
set -euo pipefail
dir="$1"
shift
mkdir -p "$dir"
cd "$dir"

# key_and_request <name> <common name>: <name>.key and <name>.csr.
key_and_request() {
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$1.key" -out "$1.csr" -subj "/CN=$2" 2>/dev/null
}

# self_signed <name> <common name>: <name>.crt and <name>.key.
self_signed() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$1.key" -out "$1.crt" -days 3650 -subj "/CN=$2" 2>/dev/null
}

# signed <name> <common name> <ca> <days>: <name>.pem, certificate and key,
# signed by <ca>.crt / <ca>.key.
signed() {
  key_and_request "$1" "$2"
  openssl x509 -req -in "$1.csr" -CA "$3.crt" -CAkey "$3.key" -CAcreateserial \
    -days "$4" -out "$1.crt" 2>/dev/null
  cat "$1.crt" "$1.key" >"$1.pem"
  rm -f "$1.csr" "$1.crt" "$1.key"
}

self_signed ca "varnek test CA"
cp ca.crt ca.pem
self_signed other-ca "unrelated CA"
cp other-ca.crt other-ca.pem

signed server regd-test ca 3650
signed operator operator-1 ca 3650
signed reader reader-1 ca 3650
signed expired operator-old ca -1
signed stranger stranger other-ca 3650
self_signed selfsigned intruder
cat selfsigned.crt selfsigned.key >selfsigned.pem
rm -f selfsigned.crt selfsigned.key
for name in "$@"; do
  signed "$name" "$name" ca 3650
done
chmod 600 ./*.pem ./*.key
