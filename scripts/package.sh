#!/bin/sh
# Builds the Debian packages from debian/ with dpkg-buildpackage, as the
# README's commands do, and leaves them in dist/:
#   calvorine-utility_<version>.dsc and .tar.xz      the source package
#   calvorine-utility-lv2_<version>_amd64.deb        and its -dbgsym package
#   calvorine-utility-lv2_<version>_arm64.deb        cross-built, and its -dbgsym package
# and each build's .changes and .buildinfo. First it installs the build
# dependencies (apt-get build-dep, as root or through sudo), the arm64 ones
# through multiarch (dpkg --add-architecture arm64).
#
#   scripts/package.sh                           the native build runs its tests
#   DEB_BUILD_OPTIONS=nocheck scripts/package.sh   it does not
#
# dpkg-buildpackage writes next to the source folder, so the build runs in a
# copy of the checkout under build/deb/: tracked files as they are on disk,
# and new ones not yet committed, as in the build trees. scripts/check_packages.sh
# checks the result.
set -eu
cd "$(dirname "$0")/.."
PKG=calvorine-utility-lv2
STAGE=build/deb
DIST=dist
JOBS=$(nproc 2>/dev/null || echo 2)
CROSS=arm64
CROSS_PROFILES=cross,nocheck

die() {
  echo "package.sh: $*" >&2
  exit 1
}
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
apt() {
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# Build dependencies: skipped when dpkg-checkbuilddeps finds them all.
dpkg --print-foreign-architectures | grep -qx "$CROSS" || $SUDO dpkg --add-architecture "$CROSS"
if ! command -v dpkg-checkbuilddeps >/dev/null 2>&1 ||
  ! dpkg-checkbuilddeps >/dev/null 2>&1 ||
  ! dpkg-checkbuilddeps -a "$CROSS" -P"$CROSS_PROFILES" >/dev/null 2>&1 ||
  ! dpkg-query -W -f='${Status}' "crossbuild-essential-$CROSS" 2>/dev/null | grep -q "install ok installed"; then
  echo "Installing the build dependencies (amd64, and $CROSS through multiarch)"
  apt update -qq
  apt build-dep -y -qq ./ >/dev/null
  apt install -y -qq --no-install-recommends "crossbuild-essential-$CROSS" >/dev/null
  apt build-dep -y -qq -a "$CROSS" -P"$CROSS_PROFILES" ./ >/dev/null
fi

VERSION=$(dpkg-parsechangelog -SVersion)
SOURCE=$(dpkg-parsechangelog -SSource)
NATIVE=$(dpkg --print-architecture)
rm -rf "$STAGE"
src="$STAGE/$SOURCE-$VERSION"
mkdir -p "$src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files --cached --others --exclude-standard | while IFS= read -r f; do
    [ -e "$f" ] && printf '%s\n' "$f"
  done | tar -cf - -T - | tar -xf - -C "$src"
else
  tar -cf - --exclude=./.git --exclude=./build --exclude=./dist --exclude=./out \
    --exclude='./obj-*' --exclude=__pycache__ . | tar -xf - -C "$src"
fi

# build NAME [dpkg-buildpackage options]: one build, its log in $STAGE/NAME.log
build() {
  name="$1"; shift
  log="$STAGE/$name.log"
  echo "dpkg-buildpackage -us -uc${*:+ $*} (log: $log)"
  if ! (cd "$src" && dpkg-buildpackage -us -uc -J"$JOBS" "$@") >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    die "the $name build failed; its log: $log"
  fi
}
start=$(date +%s)
build "$NATIVE"
# The nocheck profile goes with the option of that name (dh would copy it over).
(
  DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }nocheck"
  export DEB_BUILD_OPTIONS
  build "$CROSS" -a "$CROSS" -P"$CROSS_PROFILES" -B
)
echo "both builds took $(($(date +%s) - start)) s"

mkdir -p "$DIST"
rm -f "$DIST/${SOURCE}_"* "$DIST/${PKG}_"* "$DIST/${PKG}-dbgsym_"*
mv "$STAGE"/*.dsc "$STAGE"/*.tar.* "$STAGE"/*.deb "$STAGE"/*.changes "$STAGE"/*.buildinfo "$DIST/"
for f in "$DIST/${SOURCE}_$VERSION".dsc "$DIST/${SOURCE}_$VERSION".tar.*; do
  echo "$f: $(stat -c %s "$f") bytes"
done
for f in "$DIST/${PKG}"*"_$VERSION"_*.deb; do
  echo "$f: $(stat -c %s "$f") bytes; Depends: $(dpkg-deb -f "$f" Depends)"
done
