#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config \
  clang-14 libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libssl-dev openssl libxml2-dev libxml2-utils libtirpc-dev libxxhash-dev liblz4-dev \
  coreutils procps \
  debhelper dpkg-dev fakeroot help2man lintian man-db adduser util-linux git
