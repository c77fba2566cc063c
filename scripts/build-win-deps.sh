#!/usr/bin/env bash
# Builds the libraries the Windows build links, for x86_64-w64-mingw32, from
# Debian's own source packages, as static archives into one prefix:
#
#   scripts/build-win-deps.sh [PREFIX]        (default build-win/deps)
#
#   OpenSSL 3 (libssl, libcrypto)  what the transport's TLS, the credential
#                                  store and the authentication use: TLS 1.2
#                                  and 1.3, RSA, EC and DH keys, AES-CBC and
#                                  AES-GCM, SHA-1/2, MD5, HMAC, PBKDF2, PSK,
#                                  X.509 with CRLs, PEM files
#   libxml2                        parser, tree and serialiser; UTF-8 only
#   LZ4 (liblz4)                   the block compressor of deduplicated
#                                  stores: lib/lz4.c alone
#   xxHash                         header only: the headers of the machine's
#                                  libxxhash-dev, copied (they are plain C and
#                                  serve mingw as they are)
#
# The sources come through `apt-get source` (deb-src lines for the Debian
# archive: scripts/setup-debian.sh adds them), at the newest version apt's
# lists carry, or at KES_WIN_OPENSSL_VERSION / KES_WIN_LIBXML2_VERSION /
# KES_WIN_LZ4_VERSION when set. Debian's patches are applied, so the Windows build gets the same
# security fixes as the Linux packages.
#
# A finished prefix records what it was built from (.kes-deps); a later run
# with the same versions, the same compiler and the same build recipe (this
# script) does nothing. The prefix is replaced in one step at the end, so a
# failed or interrupted build leaves the previous one in place.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

prefix=${1:-${KES_WIN_DEPS:-$root/build-win/deps}}
case "$prefix" in /*) ;; *) prefix="$root/$prefix" ;; esac
work="$prefix.work"
jobs=${JOBS:-$(nproc)}
triplet=x86_64-w64-mingw32
toolchain="$root/cmake/mingw-w64-x86_64.cmake"

die() { echo "build-win-deps: $*" >&2; exit 1; }

for tool in "$triplet-gcc-posix" "$triplet-g++-posix" apt-get apt-cache dpkg-source dpkg-query cmake make perl flock sha256sum; do
  command -v "$tool" >/dev/null 2>&1 || die "$tool is missing: run scripts/setup-debian.sh"
done
xxh_version=$(dpkg-query -W -f='${Version}' libxxhash-dev 2>/dev/null) && [ -f /usr/include/xxhash.h ] ||
  die "libxxhash-dev is missing: run scripts/setup-debian.sh"

# The newest version of a source package in apt's lists, or the one asked for.
source_version() {  # package, requested version (may be empty)
  local pkg=$1 want=$2 best="" v
  if [ -n "$want" ]; then echo "$want"; return; fi
  while read -r v; do
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done < <(apt-cache showsrc --only-source "$pkg" 2>/dev/null | sed -n 's/^Version: //p')
  [ -n "$best" ] || die "apt knows no source package $pkg: scripts/setup-debian.sh adds the deb-src lines, then apt-get update"
  echo "$best"
}

ossl_version=$(source_version openssl "${KES_WIN_OPENSSL_VERSION:-}")
xml_version=$(source_version libxml2 "${KES_WIN_LIBXML2_VERSION:-}")
lz4_version=$(source_version lz4 "${KES_WIN_LZ4_VERSION:-}")
compiler=$("$triplet-gcc-posix" -dumpfullversion)
recipe=$(sha256sum "$0" "$toolchain" | sha256sum | cut -c1-16)
stamp="openssl=$ossl_version libxml2=$xml_version lz4=$lz4_version xxhash=$xxh_version gcc=$compiler recipe=$recipe"

mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9

if [ -f "$prefix/.kes-deps" ] && [ "$(cat "$prefix/.kes-deps")" = "$stamp" ]; then
  echo "build-win-deps: $prefix is up to date ($stamp)"
  exit 0
fi

echo "build-win-deps: building $stamp into $prefix"
start=$SECONDS
rm -rf "$work"
mkdir -p "$work/src" "$work/stage"
log="$work/build.log"
: >"$log"
step() {  # text, command...
  local text=$1 t=$SECONDS
  shift
  echo "build-win-deps: $text"
  echo "==== $text" >>"$log"
  # In the background so that the command stops at its first failure.
  "$@" >>"$log" 2>&1 &
  if ! wait $!; then
    echo "build-win-deps: $text failed; the last lines of $log:" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
  echo "build-win-deps: $text: $((SECONDS - t)) s"
}

# apt-get source checks the files against the signed archive index and
# applies Debian's patches.
fetch() {  # package, version
  cd "$work/src"
  if ! apt-get source -q "$1=$2"; then
    echo "apt-get source $1=$2 failed: the version must be one this machine's deb-src mirror serves"
    exit 1
  fi
}
step "fetching openssl $ossl_version" fetch openssl "$ossl_version"
step "fetching libxml2 $xml_version" fetch libxml2 "$xml_version"
step "fetching lz4 $lz4_version" fetch lz4 "$lz4_version"
ossl_src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
xml_src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'libxml2-*' | head -n 1)
lz4_src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'lz4-*' | head -n 1)
[ -n "$ossl_src" ] && [ -n "$xml_src" ] && [ -n "$lz4_src" ] || die "the unpacked sources are missing in $work/src"

# OpenSSL: only the libraries (no programs, tests, documentation), static,
# without engines, loadable modules, the legacy provider and the deprecated
# API, and without every algorithm and protocol nobody here uses. The
# configuration file is never loaded on its own (no-autoload-config), and
# its directory is mingw's default under "C:/Program Files", which only
# administrators may change (named here: with --prefix alone it would be the
# prefix's ssl directory, a path on the current drive that any user may
# create): a library inside a database server must not read files from a
# directory other users can create. No clean-up registered with the C
# runtime (no-atexit): inside a DLL it would be registered with the process's
# runtime and called at process exit after the DLL was unloaded; each DLL
# calls OPENSSL_cleanup itself when it is unloaded.
ossl_options=(
  mingw64 "--cross-compile-prefix=$triplet-" "--prefix=$prefix" --libdir=lib -O2
  "--openssldir=C:/Program Files/Common Files/SSL"
  no-shared no-module no-dso no-engine no-legacy no-deprecated no-tests no-atexit
  no-autoload-config no-async no-ui-console no-filenames no-multiblock
  no-ssl3 no-tls1 no-tls1_1 no-dtls no-srtp no-sctp no-nextprotoneg no-ssl-trace
  no-aria no-bf no-blake2 no-camellia no-cast no-chacha no-poly1305 no-cmac
  no-cmp no-cms no-comp no-ct no-des no-dsa no-ec2m no-gost no-idea no-md4
  no-mdc2 no-ocb no-ocsp no-rc2 no-rc4 no-rfc3779 no-rmd160 no-scrypt no-seed
  no-siphash no-siv no-sm2 no-sm3 no-sm4 no-srp no-ts no-whirlpool
)
build_openssl() {
  mkdir -p "$work/openssl"
  cd "$work/openssl"
  "$ossl_src/Configure" "${ossl_options[@]}"
  make -j"$jobs" build_libs
  make install_dev DESTDIR="$work/stage"
}
step "building openssl" build_openssl

# libxml2: the tree, the parser and the serialiser; no iconv, zlib, lzma,
# ICU, network, HTML, XPath, schemas, catalogues or programs. Its threads
# are winpthreads (the posix compiler has pthread.h): a thread's parser
# state is then freed when the thread ends, which the Win32 variant of a
# static libxml2 inside a DLL would not do without a DllMain of its own.
# LIBXML_STATIC while the archive is compiled too: its headers otherwise mark
# every function __declspec(dllexport), and each DLL that links the archive
# would export all of libxml2 beside its own entry points. (The package
# configuration hands LIBXML_STATIC to the users of the archive.)
xml_options=(-DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Release "-DCMAKE_INSTALL_PREFIX=$prefix"
  "-DCMAKE_TOOLCHAIN_FILE=$toolchain" "-DKES_WIN_DEPS=$prefix" -DCMAKE_C_FLAGS_RELEASE=-O2
  -DCMAKE_C_FLAGS=-DLIBXML_STATIC)
for opt in C14N CATALOG DEBUG DOCB FTP HTML HTTP ICONV ICU ISO8859X LEGACY LZMA MEM_DEBUG MODULES \
  PATTERN PROGRAMS PUSH PYTHON READER REGEXPS RUN_DEBUG SAX1 SCHEMAS SCHEMATRON TESTS \
  THREAD_ALLOC VALID WRITER XINCLUDE XPATH XPTR ZLIB; do
  xml_options+=("-DLIBXML2_WITH_$opt=OFF")
done
for opt in OUTPUT THREADS TREE; do
  xml_options+=("-DLIBXML2_WITH_$opt=ON")
done
build_libxml2() {
  cmake -S "$xml_src" -B "$work/libxml2" "${xml_options[@]}"
  cmake --build "$work/libxml2" -j"$jobs"
  DESTDIR="$work/stage" cmake --install "$work/libxml2"
}
step "building libxml2" build_libxml2

# LZ4: the block format only (lz4.c); no frame format, no HC, no programs.
build_lz4() {
  mkdir -p "$work/lz4" "$work/stage$prefix/lib" "$work/stage$prefix/include"
  "$triplet-gcc-posix" -O2 -c "$lz4_src/lib/lz4.c" -o "$work/lz4/lz4.o"
  "$triplet-gcc-ar-posix" rcs "$work/stage$prefix/lib/liblz4.a" "$work/lz4/lz4.o"
  cp "$lz4_src/lib/lz4.h" "$work/stage$prefix/include/"
}
step "building lz4" build_lz4

# Swap the finished prefix in.
staged="$work/stage$prefix"
[ -f "$staged/lib/libssl.a" ] && [ -f "$staged/lib/libcrypto.a" ] && [ -f "$staged/lib/libxml2.a" ] &&
  [ -f "$staged/lib/liblz4.a" ] ||
  die "the staged prefix $staged lacks a library"
rm -rf "$staged/bin" "$staged/share"
cp /usr/include/xxhash.h "$staged/include/"
[ ! -f /usr/include/xxh3.h ] || cp /usr/include/xxh3.h "$staged/include/"
echo "$stamp" >"$staged/.kes-deps"
rm -rf "$prefix.old"
if [ -e "$prefix" ]; then mv "$prefix" "$prefix.old"; fi
mv "$staged" "$prefix"
rm -rf "$prefix.old" "$work"
echo "build-win-deps: done in $((SECONDS - start)) s: $prefix"
