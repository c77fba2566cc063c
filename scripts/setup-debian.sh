#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update

# Source packages of the Debian archive's main component for bookworm:
# scripts/build-win-deps.sh builds the Windows versions of OpenSSL and
# libxml2 from them. The entry copies the machine's own deb entries for that
# archive (URI and key), and only those whose Release file apt has read as
# Debian's own (origin and label "Debian", suite bookworm, component main),
# so no other archive is added, whatever else the sources name. (The
# security suite's sources are not added: not every mirror serves them.)
debian_uris() {
  apt-cache policy 2>/dev/null | awk '
    $1 ~ /^[0-9]+$/ && $2 ~ /:\/\// { uri = $2; sub(/\/$/, "", uri); next }
    $1 == "release" {
      r = "," $2 ","
      if (uri != "" && r ~ /,o=Debian,/ && r ~ /,l=Debian,/ && r ~ /,n=bookworm,/ && r ~ /,c=main,/) print uri
      uri = ""
    }' | sort -u
}
deb_src_entries() {  # the Debian URIs, one a line
  local f uris=$1
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != /etc/apt/sources.list.d/kes-src.sources ] || continue
    awk -v debian="$uris" '
      BEGIN { n = split(debian, d, "\n"); for (i = 1; i <= n; i++) ok[d[i]] = 1 }
      function flush(   i, u, k, keep) {
        if (types ~ /(^| )deb( |$)/ && comps ~ /(^| )main( |$)/ && suites != "") {
          k = split(uris, u, " ")
          keep = ""
          for (i = 1; i <= k; i++) { sub(/\/$/, "", u[i]); if (u[i] in ok) keep = keep (keep == "" ? "" : " ") u[i] }
          if (keep != "") {
            printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n", keep, suites
            if (signed != "") printf "Signed-By: %s\n", signed
            printf "\n"
          }
        }
        types = uris = comps = suites = signed = ""
      }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      {
        key = $1; sub(/:$/, "", key); $1 = ""; sub(/^ /, "")
        if (key == "Types") types = $0
        else if (key == "URIs") uris = $0
        else if (key == "Components") comps = $0
        else if (key == "Signed-By") signed = $0
        else if (key == "Suites") {
          for (i = 1; i <= NF; i++)
            if ($i == "bookworm") suites = "bookworm"
        }
      }
      END { flush() }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v debian="$uris" '
      BEGIN { n = split(debian, d, "\n"); for (i = 1; i <= n; i++) ok[d[i]] = 1 }
      $1 == "deb" {
        i = 2; opts = ""
        if ($2 ~ /^\[/) for (; i <= NF; i++) { opts = opts " " $i; if ($i ~ /\]$/) { i++; break } }
        uri = $i; sub(/\/$/, "", uri); suite = $(i + 1); main = 0
        for (j = i + 2; j <= NF; j++) if ($j == "main") main = 1
        if (!main || suite != "bookworm" || !(uri in ok)) next
        printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n", uri, suite
        if (match(opts, /signed-by=[^ \]]+/)) printf "Signed-By: %s\n", substr(opts, RSTART + 10, RLENGTH - 10)
        printf "\n"
      }' "$f"
  done
}
entries=$(deb_src_entries "$(debian_uris)")
if [ -z "$entries" ]; then
  echo "setup-debian: apt's sources name no Debian bookworm archive with its main component; the Windows build's dependencies need its source packages (add a deb entry for it and run this again)" >&2
elif [ "$(cat /etc/apt/sources.list.d/kes-src.sources 2>/dev/null)" != "$entries" ]; then
  printf '%s\n' "$entries" | $SUDO tee /etc/apt/sources.list.d/kes-src.sources >/dev/null
  $SUDO apt-get update
fi

$SUDO apt-get install -y --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config \
  clang-14 libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libssl-dev openssl libxml2-dev libxml2-utils libtirpc-dev libxxhash-dev liblz4-dev \
  coreutils procps iproute2 socat strace time \
  debhelper dpkg-dev fakeroot help2man lintian man-db adduser util-linux git
# The Windows build: the 64-bit mingw-w64 compilers (the "posix" flavour,
# whose C++ runtime has threads) and wine64 to run its programs headless;
# python3-minimal holds a Linux file lock for the tool chain probe.
$SUDO apt-get install -y --no-install-recommends \
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  wine wine64 python3-minimal
