#!/bin/sh
# Makes the release files in dist/: the Debian package for amd64 (from the
# generic x86-64 build), the one for arm64 (from the cross build), and the
# source tarball. Each package installs the whole bundle folder as
# `cmake --install` lays it out, so whatever joins the bundle joins the package.
#
#   scripts/package.sh            X86_BUILD=build/release ARM_BUILD=build/aarch64 by default
#
# A build tree that exists is reused (brought up to date, its two targets
# only) if it is a Release build without sanitizers; one that does not exist
# is configured here without tests. `scripts/check_packages.sh` checks the
# result.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
X86_BUILD=${X86_BUILD:-build/release}
ARM_BUILD=${ARM_BUILD:-build/aarch64}
PKG=calvorine-utility-lv2
DIST=dist
JOBS=$(nproc 2>/dev/null || echo 2)

die() {
  echo "package.sh: $*" >&2
  exit 1
}
cache() {  # TREE NAME: a CMake cache entry's value
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# prepare TREE [cmake options]: a Release tree of the module and digest_run.
prepare() {
  tree="$1"; shift
  if [ ! -f "$tree/CMakeCache.txt" ]; then
    cmake -S . -B "$tree" -DCMAKE_BUILD_TYPE=Release -DCALVORINE_TESTS=OFF "$@" >/dev/null
  fi
  # Options a tree may lack (older or newer ones) count as their defaults.
  [ "$(cache "$tree" CMAKE_BUILD_TYPE)" = Release ] &&
    [ "$(cache "$tree" CALVORINE_SANITIZE)" != ON ] &&
    [ "$(cache "$tree" CALVORINE_FUZZ)" != ON ] ||
    die "$tree is not a plain Release build (no sanitizers); name another tree"
  cmake --build "$tree" -j "$JOBS" --target calvorine_utility digest_run >/dev/null
}
prepare "$X86_BUILD"
prepare "$ARM_BUILD" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake -DCALVORINE_HOST_TESTS=OFF

VERSION=$(cache "$X86_BUILD" CMAKE_PROJECT_VERSION)
DATE=$(cache "$X86_BUILD" CALVORINE_RELEASE_DATE)
[ -n "$VERSION" ] && [ -n "$DATE" ] || die "$X86_BUILD has no project version or release date"
[ "$(cache "$ARM_BUILD" CMAKE_PROJECT_VERSION)" = "$VERSION" ] ||
  die "$ARM_BUILD was configured for another version; re-run cmake there"
# Every file and the archives get the release date, so the same sources make
# the same packages.
SOURCE_DATE_EPOCH=$(date -u -d "$DATE 12:00" +%s)
export SOURCE_DATE_EPOCH
mkdir -p "$DIST"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# deb ARCH TREE STRIP [dpkg-shlibdeps options]
deb() {
  arch="$1"; tree="$2"; strip="$3"; shift 3
  # dpkg-shlibdeps wants debian/control and the package's files under debian/.
  rm -rf "$work/debian"
  root="$work/debian/$PKG"
  mkdir -p "$root/DEBIAN"
  printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$PKG" "$PKG" >"$work/debian/control"
  DESTDIR="$root" cmake --install "$tree" --prefix /usr >/dev/null
  [ -f "$root/usr/lib/lv2/calvorine_utility.lv2/manifest.ttl" ] ||
    die "$tree does not install its bundle under <prefix>/lib/lv2 (CALVORINE_LV2DIR)"
  modules=$(find "$root/usr/lib/lv2" -name '*.so' | sort)
  for so in $modules; do
    # What dh_strip does to a shared object: symbols and notes go, the
    # dynamic symbol table (the exports) stays.
    "$strip" --strip-unneeded --remove-section=.comment --remove-section=.note "$so"
  done
  doc="$root/usr/share/doc/$PKG"
  mkdir -p "$doc"
  cp packaging/copyright "$doc/copyright"
  # A native package's Debian change log; CHANGELOG.md in the source tells
  # what changed.
  {
    printf '%s (%s) unstable; urgency=medium\n\n' "$PKG" "$VERSION"
    printf '  * Release %s; see CHANGELOG.md in the source tarball.\n\n' "$VERSION"
    printf ' -- Calvorine Audio <utility@calvorine.audio>  %s\n' \
      "$(date -u -R -d "@$SOURCE_DATE_EPOCH")"
  } | gzip -9n >"$doc/changelog.gz"
  find "$root" -type d -exec chmod 0755 {} +
  find "$root" -type f -exec chmod 0644 {} +
  # shellcheck disable=SC2086  # one word per module
  depends=$(cd "$work" && DEB_HOST_ARCH="$arch" dpkg-shlibdeps -O "$@" $modules 2>"$work/shlibdeps.err" |
    sed -n 's/^shlibs:Depends=//p') || true
  [ -n "$depends" ] || {
    cat "$work/shlibdeps.err" >&2
    die "dpkg-shlibdeps found no dependencies for $arch"
  }
  # The cross toolchain's libraries name their arm64 packages with an
  # architecture qualifier (libc6:arm64); inside an arm64 package the plain
  # name means the same, and Debian allows no other qualifier than :any there.
  depends=$(echo "$depends" | sed "s/:$arch//g")
  size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
  sed -e "s/@VERSION@/$VERSION/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
    -e "s/@DEPENDS@/$depends/" packaging/control.in >"$root/DEBIAN/control"
  (cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$root/DEBIAN/md5sums"
  find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  out="$DIST/${PKG}_${VERSION}_$arch.deb"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out" >/dev/null
  echo "$out: $(stat -c %s "$out") bytes; Depends: $depends"
}

deb amd64 "$X86_BUILD" strip
# Without multiarch the arm64 libraries are the cross toolchain's copies:
# -l points dpkg-shlibdeps at them. Their packages carry shlibs files but no
# symbols files, so the minimum versions are those of the cross libraries
# (glibc 2.36, as in Debian 12 and Raspberry Pi OS 12), not the lower ones
# the module's symbols alone would need.
deb arm64 "$ARM_BUILD" aarch64-linux-gnu-strip -l/usr/aarch64-linux-gnu/lib

# The source tarball: the committed tree as it is at HEAD.
if git rev-parse --git-dir >/dev/null 2>&1; then
  [ -z "$(git status --porcelain --untracked-files=no)" ] ||
    echo "package.sh: note: uncommitted changes are not in the source tarball" >&2
  src="$DIST/calvorine-utility-$VERSION.tar.gz"
  git archive --format=tar --prefix="calvorine-utility-$VERSION/" HEAD |
    gzip -9n >"$src"
  echo "$src: $(stat -c %s "$src") bytes"
else
  echo "package.sh: not a git checkout, so no source tarball" >&2
fi
