#!/usr/bin/env bash
# Makes a private certificate authority and the certificates for TLS with
# certificates between the library and the appliance, for tests and demos:
#
#   scripts/make-test-ca.sh DIR
#
#   DIR/appliance/  cacert.pem cert.pem key.pem crl.pem   (kestralon-appliance --tls-dir DIR/appliance)
#   DIR/client/     cacert.pem cert.pem key.pem crl.pem   (copy into $WINDIR/KESTRALON)
#   DIR/revoked/    cacert.pem cert.pem key.pem           a client whose certificate crl.pem revokes
#   DIR/ca/         the authority's key and records
#
# Keys are EC P-256 and readable by their owner only. The appliance's
# certificate names localhost and 127.0.0.1. Certificates are valid for ten
# years.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
DIR=$1
umask 077
mkdir -p "$DIR"/ca/newcerts "$DIR"/appliance "$DIR"/client "$DIR"/revoked
DIR=$(cd "$DIR" && pwd)
CA=$DIR/ca
: > "$CA/index.txt"
echo 01 > "$CA/crlnumber"
cat > "$CA/ca.cnf" <<EOF
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $CA
database = \$dir/index.txt
new_certs_dir = \$dir/newcerts
certificate = \$dir/cacert.pem
private_key = \$dir/ca.key
crlnumber = \$dir/crlnumber
default_md = sha256
default_crl_days = 3650
policy = any_name
[ any_name ]
commonName = supplied
EOF

newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
serial() { echo "0x$(openssl rand -hex 8)"; }

newkey "$CA/ca.key"
openssl req -x509 -new -key "$CA/ca.key" -subj "/CN=KESTRALON test CA $(openssl rand -hex 4)" -days 3650 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out "$CA/cacert.pem"

# leaf NAME CN USAGE [SAN]
leaf() {
  local out=$DIR/$1
  newkey "$out/key.pem"
  openssl req -new -key "$out/key.pem" -subj "/CN=$2" -out "$CA/$1.csr"
  {
    echo "basicConstraints=CA:FALSE"
    echo "keyUsage=critical,digitalSignature"
    echo "extendedKeyUsage=$3"
    [ $# -ge 4 ] && echo "subjectAltName=$4"
  } > "$CA/$1.ext"
  openssl x509 -req -in "$CA/$1.csr" -CA "$CA/cacert.pem" -CAkey "$CA/ca.key" -set_serial "$(serial)" \
    -days 3650 -sha256 -extfile "$CA/$1.ext" -out "$out/cert.pem" 2>/dev/null
  cp "$CA/cacert.pem" "$out/cacert.pem"
}

leaf appliance "KESTRALON appliance" serverAuth "DNS:localhost,IP:127.0.0.1"
leaf client "KESTRALON client" clientAuth
leaf revoked "KESTRALON revoked client" clientAuth

openssl ca -config "$CA/ca.cnf" -revoke "$DIR/revoked/cert.pem" 2>/dev/null
openssl ca -config "$CA/ca.cnf" -gencrl -out "$CA/crl.pem" 2>/dev/null
cp "$CA/crl.pem" "$DIR/appliance/crl.pem"
cp "$CA/crl.pem" "$DIR/client/crl.pem"
chmod 0600 "$DIR"/*/key.pem "$CA/ca.key"
chmod 0644 "$DIR"/*/cert.pem "$DIR"/*/cacert.pem "$DIR"/*/crl.pem "$CA/cacert.pem"
echo "test CA in $DIR: --tls-dir $DIR/appliance; client files in $DIR/client"
