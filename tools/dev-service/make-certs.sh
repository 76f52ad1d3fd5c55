#!/usr/bin/env bash
# tools/dev-service/make-certs.sh DIR
# Makes a throw-away certificate authority and the development service's server certificates in DIR
# (created if needed). Nothing here is downloaded; the keys never leave DIR.
#   ca.pem, ca.der        the authority (trusted only inside a test Wine prefix)
#   service.pem/-key.pem  the service: "api.velmorante.test" as written, the other test host names
#                         only as subject alternative names in mixed letter case; the subject's
#                         common name is not a host name
#   wrongname.pem/-key.pem  signed by the same authority, but for a host the client never asks for
set -euo pipefail
dir=${1:?usage: make-certs.sh DIR}
mkdir -p "$dir"
cd "$dir"
days=30
curve=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)

# Wine's certificate signature check rejects an ECDSA signature whose r or s is below 2^248 (its
# first of 32 bytes zero, about one signature in 128), so the test run would fail now and then for a
# certificate Windows accepts: each certificate is signed again until both are full width.
full_width() {  # full_width CERT: both integers of its signature have 32 significant bytes
  local at
  at=$(openssl asn1parse -in "$1" | sed -n 's/^ *\([0-9]*\):.*BIT STRING.*/\1/p' | tail -1)
  [ -n "$at" ] && ! openssl asn1parse -in "$1" -strparse "$at" |
    sed -n 's/.*prim: INTEGER *://p' | awk 'length($1) < 64 { short = 1 } END { exit !short }'
}
signed() {  # signed CERT COMMAND...: runs the command, quietly, until CERT is full width (20 tries at most)
  local cert=$1 try
  shift
  for try in $(seq 20); do
    "$@" 2>/dev/null && full_width "$cert" && return 0
  done
  echo "make-certs: no full-width signature for $cert" >&2
  return 1
}

signed ca.pem openssl req -x509 -new "${curve[@]}" -keyout ca-key.pem -out ca.pem -days "$days" \
  -subj "/CN=VELMORANTE test authority (development only)" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
openssl x509 -in ca.pem -outform der -out ca.der

# issue NAME "COMMON NAME" "SAN list"
issue() {
  local name=$1 cn=$2 san=$3
  printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=serverAuth" "subjectAltName=$san" > "$name.ext"
  openssl req -new "${curve[@]}" -keyout "$name-key.pem" -out "$name.csr" -subj "/CN=$cn" 2>/dev/null
  signed "$name.pem" openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca-key.pem \
    -set_serial "0x$(openssl rand -hex 8)" -days "$days" -extfile "$name.ext" -out "$name.pem"
  rm -f "$name.csr" "$name.ext"
}
issue service "VELMORANTE development service" \
  "DNS:api.velmorante.test,DNS:Down.VELMORANTE.Test,DNS:SILENT.velmorante.TEST,DNS:Mute.Velmorante.TEST,DNS:localhost"
issue wrongname "elsewhere.velmorante.test" "DNS:elsewhere.velmorante.test"
