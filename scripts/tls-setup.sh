#!/usr/bin/env bash
# Certificates for TLS between the library and the appliance, made from the
# test certificate authority of make-test-ca.sh, and the client's files put
# where the library looks for them.
#
#   scripts/tls-setup.sh DIR
#       make-test-ca.sh DIR, then:
#       DIR/appliance/  a certificate with an RSA key (the control and
#                       data-mover services' cipher, AES256-SHA256, needs one;
#                       it serves the BFST service as well)
#       DIR/expired/    a client whose certificate ran out in 2020
#
#   scripts/tls-setup.sh --install DIR/client [--windir WINDIR] [--owner USER]
#       copies cacert.pem, cert.pem, key.pem (and crl.pem) into
#       WINDIR/KESTRALON (WINDIR: --windir, else $WINDIR, else
#       /var/opt/kestralon); the key is readable by its owner only, so give
#       the database's user with --owner when running as root.
set -euo pipefail

usage() {
  echo "usage: $0 DIR" >&2
  echo "       $0 --install CLIENT_DIR [--windir WINDIR] [--owner USER]" >&2
  exit 2
}

install_client() {
  local src=$1 windir=${WINDIR:-} owner=""
  shift
  while [ $# -gt 0 ]; do
    case "$1" in
      --windir) [ $# -ge 2 ] || usage; windir=$2; shift 2 ;;
      --owner) [ $# -ge 2 ] || usage; owner=$2; shift 2 ;;
      *) usage ;;
    esac
  done
  [ -n "$windir" ] || windir=/var/opt/kestralon
  for f in cacert.pem cert.pem key.pem; do
    if [ ! -r "$src/$f" ]; then
      echo "$0: $src/$f is missing or not readable" >&2
      exit 1
    fi
  done
  local dest=$windir/KESTRALON
  mkdir -p "$dest"
  local files=(cacert.pem cert.pem key.pem)
  [ -r "$src/crl.pem" ] && files+=(crl.pem)
  for f in "${files[@]}"; do
    # Written under a temporary name with its final mode, then renamed, so
    # the key is never readable by others, not even for a moment.
    local tmp
    tmp=$(mktemp "$dest/.$f.XXXXXX")
    cat "$src/$f" > "$tmp"
    if [ "$f" = key.pem ]; then chmod 0600 "$tmp"; else chmod 0644 "$tmp"; fi
    [ -n "$owner" ] && chown "$owner" "$tmp"
    mv -f "$tmp" "$dest/$f"
  done
  echo "client certificate installed in $dest${owner:+ for $owner}"
}

if [ $# -ge 1 ] && [ "$1" = --install ]; then
  [ $# -ge 2 ] || usage
  shift
  install_client "$@"
  exit 0
fi
[ $# -eq 1 ] || usage
DIR=$1
"$(dirname "$0")/make-test-ca.sh" "$DIR" >/dev/null
DIR=$(cd "$DIR" && pwd)
CA=$DIR/ca
umask 077

# The appliance: an RSA key instead of the EC one.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$DIR/appliance/key.pem" 2>/dev/null
openssl req -new -key "$DIR/appliance/key.pem" -subj "/CN=KESTRALON appliance" -out "$CA/appliance-rsa.csr"
openssl x509 -req -in "$CA/appliance-rsa.csr" -CA "$CA/cacert.pem" -CAkey "$CA/ca.key" \
  -set_serial "0x$(openssl rand -hex 8)" -days 3650 -sha256 -extfile "$CA/appliance.ext" \
  -out "$DIR/appliance/cert.pem" 2>/dev/null

# A client whose certificate expired long ago.
mkdir -p "$DIR/expired"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$DIR/expired/key.pem" 2>/dev/null
openssl req -new -key "$DIR/expired/key.pem" -subj "/CN=KESTRALON expired client" -out "$CA/expired.csr"
# openssl ca takes explicit dates; its configuration here also names a serial file.
sed '/^dir = /a serial = $dir/serial' "$CA/ca.cnf" > "$CA/expired.cnf"
openssl rand -hex 8 > "$CA/serial"
openssl ca -config "$CA/expired.cnf" -batch -notext -startdate 20200101000000Z -enddate 20200201000000Z \
  -extfile "$CA/client.ext" -in "$CA/expired.csr" -out "$DIR/expired/cert.pem" 2>/dev/null
cp "$CA/cacert.pem" "$DIR/expired/cacert.pem"

chmod 0600 "$DIR"/*/key.pem
chmod 0644 "$DIR"/appliance/cert.pem "$DIR"/expired/cert.pem "$DIR"/expired/cacert.pem
echo "certificates in $DIR: --tls-dir $DIR/appliance; client files in $DIR/client ($0 --install $DIR/client)"
