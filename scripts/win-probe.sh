#!/usr/bin/env bash
# Proves the Windows tool chain: builds the dependencies (cached, see
# scripts/build-win-deps.sh), cross-builds tests/win/toolchain_probe.exe and
# runs it under wine64 against Linux TLS peers (openssl s_server) on a
# loopback address. Exit status 0 when every check passed, 77 when wine64 or
# the cross compiler is not installed.
#
#   scripts/win-probe.sh            KES_WIN_DEPS=PREFIX picks the dependency prefix
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

for tool in x86_64-w64-mingw32-g++-posix openssl python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "win-probe: $tool is not installed: skipped (scripts/setup-debian.sh installs it)"
    exit 77
  fi
done
if ! command -v wine64 >/dev/null 2>&1 && [ ! -x /usr/lib/wine/wine64 ]; then
  echo "win-probe: wine64 is not installed: skipped (scripts/setup-debian.sh installs it)"
  exit 77
fi

scripts/build-win-deps.sh
deps=${KES_WIN_DEPS:-$root/build-win/deps}

cmake -S tests/win -B build-win/probe -G Ninja -Wno-dev "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64-x86_64.cmake" \
  "-DKES_WIN_DEPS=$deps" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win/probe
probe="$root/build-win/probe/toolchain_probe.exe"

tmp=$(mktemp -d /tmp/kes-win-probe.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

# Test certificates: an EC CA, an RSA server certificate (the cipher
# AES256-SHA256 needs an RSA key), an EC server certificate, and a revoked
# RSA certificate on the CA's CRL.
ca="$tmp/ca"
mkdir -p "$ca/new"
: >"$ca/index.txt"
cat >"$ca/ca.cnf" <<EOF
[ ca ]
default_ca = probe_ca
[ probe_ca ]
dir = $ca
database = $ca/index.txt
new_certs_dir = $ca/new
certificate = $ca/cacert.pem
private_key = $ca/ca.key
serial = $ca/serial
default_md = sha256
default_crl_days = 30
policy = any
[ any ]
commonName = supplied
EOF
echo 1000 >"$ca/serial"
{
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$ca/ca.key"
  openssl req -x509 -new -key "$ca/ca.key" -subj "/CN=KESTRALON probe CA" -days 30 -sha256 -out "$ca/cacert.pem"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$ca/rsa.key"
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$ca/ec.key"
  for c in rsa:rsa ec:ec revoked:rsa; do
    name=${c%%:*} key=${c#*:}
    openssl req -new -key "$ca/$key.key" -subj "/CN=KESTRALON probe $name" -out "$ca/$name.csr"
    openssl x509 -req -in "$ca/$name.csr" -CA "$ca/cacert.pem" -CAkey "$ca/ca.key" -set_serial "0x$(openssl rand -hex 8)" \
      -days 30 -sha256 -out "$ca/$name.pem"
  done
  openssl ca -batch -config "$ca/ca.cnf" -revoke "$ca/revoked.pem"
  openssl ca -batch -config "$ca/ca.cnf" -gencrl -out "$ca/crl.pem"
} >"$tmp/ca.log" 2>&1 || { cat "$tmp/ca.log" >&2; exit 1; }

# The peers: one s_server per case, each for one connection, on a loopback
# address of its own so that parallel runs do not meet.
host="127.0.$((RANDOM % 200 + 30)).$((RANDOM % 250 + 2))"
psk_id="probe-client"
psk_key=$(openssl rand -hex 32)
start_peer() {  # name, port, s_server arguments...
  local name=$1 port=$2
  shift 2
  openssl s_server -accept "$host:$port" -naccept 1 -www -tls1_2 "$@" >"$tmp/$name.out" 2>&1 &
  pids+=($!)
}
start_peer rsa 4431 -cert "$ca/rsa.pem" -key "$ca/rsa.key" -cipher AES256-SHA256
start_peer revoked 4432 -cert "$ca/revoked.pem" -key "$ca/rsa.key" -cipher AES256-SHA256
start_peer ecdsa 4433 -cert "$ca/ec.pem" -key "$ca/ec.key" -cipher ECDHE-ECDSA-AES128-GCM-SHA256
start_peer psk 4434 -nocert -psk "$psk_key" -psk_identity "$psk_id" -cipher DHE-PSK-AES256-GCM-SHA384
for name in rsa revoked ecdsa psk; do
  # s_server says ACCEPT once it listens; the bound only stops a hang.
  for _ in $(seq 1 300); do
    grep -q ACCEPT "$tmp/$name.out" 2>/dev/null && break
    sleep 0.1
  done
  grep -q ACCEPT "$tmp/$name.out" || { echo "win-probe: the $name peer did not start:" >&2; cat "$tmp/$name.out" >&2; exit 1; }
done

# A Linux process holding a record lock on byte 0 of a file (released when
# the script ends; the sleep only bounds its life).
: >"$tmp/linux-locked"
python3 -c '
import fcntl, sys, time
f = open(sys.argv[1], "r+")
fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, 0)
open(sys.argv[2], "w").close()
time.sleep(300)
' "$tmp/linux-locked" "$tmp/linux-locked.ready" &
pids+=($!)
for _ in $(seq 1 100); do [ -e "$tmp/linux-locked.ready" ] && break; sleep 0.1; done

windir="$tmp/windir"
mkdir -p "$windir"
t=$(date +%s%N)
prefix_existed=$([ -d "${WINEPREFIX:-$root/build-win/wineprefix}" ] && echo yes || echo no)
scripts/wine-run.sh cmd /d /c exit 0
echo "win-probe: wine started in $((($(date +%s%N) - t) / 1000000)) ms (prefix existed: $prefix_existed)"

rc=0
KES_WIN_WINDIR="$windir" scripts/wine-run.sh "$probe" "host=$host" closed-port=4439 \
  rsa-port=4431 revoked-port=4432 ecdsa-port=4433 psk-port=4434 \
  "ca=$(winpath "$ca/cacert.pem")" "crl=$(winpath "$ca/crl.pem")" "psk-identity=$psk_id" "psk-key=$psk_key" \
  "windir=$(winpath "$windir")" "linux-time=$(date +%s)" "linux-locked=$(winpath "$tmp/linux-locked")" || rc=$?

# What the Windows program wrote under its WINDIR is where Linux sees it,
# with the runtime's text mode line ends.
if ! printf 'written under wine\r\n' | cmp -s - "$windir/KESTRALON/probe.txt"; then
  echo "FAIL windir-linux-side: $windir/KESTRALON/probe.txt is missing or does not hold \"written under wine\\r\\n\""
  rc=1
else
  echo "ok windir-linux-side: $windir/KESTRALON/probe.txt holds \"written under wine\\r\\n\""
fi
if [ $rc -ne 0 ]; then
  echo "win-probe: failed (status $rc)" >&2
  exit 1
fi
echo "win-probe: the Windows tool chain works"
