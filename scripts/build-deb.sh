#!/usr/bin/env bash
# Builds the Debian binary packages kestralon-rman (library, transfer library,
# SBT tester) and kestralon-appliance (service, unit, configuration) from this
# source tree, into dist/ or the directory given as the first argument.
# The version is the one of project(... VERSION ...) in CMakeLists.txt; this
# script writes debian/changelog from it, in a copy of the tree, so no second
# version number is kept anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
OUT=$(realpath -m "${1:-$SRC/dist}")

VERSION=$(sed -nE 's/^project\(kestralon VERSION ([0-9]+(\.[0-9]+)*)[ )].*/\1/p' CMakeLists.txt)
if [ -z "$VERSION" ]; then
  echo "build-deb.sh: no project(kestralon VERSION x.y.z ...) in CMakeLists.txt" >&2
  exit 1
fi
for tool in dpkg-buildpackage dh help2man cmake ninja; do
  if ! command -v "$tool" >/dev/null; then
    echo "build-deb.sh: $tool is missing; run scripts/setup-debian.sh" >&2
    exit 1
  fi
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kestralon-deb.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
TREE="$WORK/kestralon-$VERSION"
mkdir "$TREE"

# The sources as git sees them (tracked and new files, none of the build trees),
# or the whole tree but its build directories when this is no git checkout.
if git -C "$SRC" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$SRC" ls-files -z --cached --others --exclude-standard |
    tar -C "$SRC" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$TREE" -xf -
  ORIGIN="commit $(git -C "$SRC" rev-parse --short HEAD)"
  [ -z "$(git -C "$SRC" status --porcelain 2>/dev/null)" ] || ORIGIN="$ORIGIN with local changes"
  DATE=$(git -C "$SRC" log -1 --format=%aD)
else
  tar -C "$SRC" --exclude='./build*' --exclude=./dist -cf - . | tar -C "$TREE" -xf -
  ORIGIN="a source tree"
  DATE=$(date -R)
fi

MAINTAINER=$(sed -n 's/^Maintainer: //p' debian/control)
cat >"$TREE/debian/changelog" <<CHANGELOG
kestralon ($VERSION) unstable; urgency=medium

  * Built from $ORIGIN.

 -- $MAINTAINER  $DATE
CHANGELOG

echo "building kestralon $VERSION packages from $ORIGIN (log: $OUT/build.log)"
mkdir -p "$OUT"
if ! (cd "$TREE" && dpkg-buildpackage -b -us -uc -jauto) >"$OUT/build.log" 2>&1; then
  tail -n 40 "$OUT/build.log" >&2
  echo "build-deb.sh: the package build failed; the whole log is $OUT/build.log" >&2
  exit 1
fi
rm -f "$OUT"/kestralon*_"$VERSION"_*.deb
mv "$WORK"/*.deb "$OUT"/
ls -1 "$OUT"/*.deb
