#!/bin/sh
# Checks what scripts/package.sh put in dist/, without installing anything on
# this machine: lintian on both builds (the source package and every binary
# package); each package unpacked into a temporary root, with the same files
# in both, stripped modules (their symbols in the -dbgsym packages) exporting
# only their descriptors, and Depends on the UI's libraries; the amd64 bundle
# validated, found and run by lilv's tools through LV2_PATH, its UI listed by
# lilv and loaded, and its MOD pedal face rendered and checked; the arm64
# modules built for AArch64, the plug-in run under qemu-aarch64 by the digest
# tool, which must print the x86-64 build's digest, and every symbol of the UI
# found among the arm64 libraries; and the source package, unpacked,
# configured with its tests and built to the same digest.
#
#   scripts/check_packages.sh [--full]     (--full: also run the source package's whole test suite)
set -eu
cd "$(dirname "$0")/.."
X86_BUILD=${X86_BUILD:-build/release}
ARM_BUILD=${ARM_BUILD:-build/aarch64}
URI=https://calvorine.audio/calvorine-suite/utility
PKG=calvorine-utility-lv2
SOURCE=calvorine-utility
JOBS=$(nproc 2>/dev/null || echo 2)
full=0
[ "${1:-}" = --full ] && full=1
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$X86_BUILD/CMakeCache.txt")
deb() { echo "dist/${PKG}_${version}_$1.deb"; }
dbgsym() { echo "dist/${PKG}-dbgsym_${version}_$1.deb"; }
changes() { echo "dist/${SOURCE}_${version}_$1.changes"; }
dsc=dist/${SOURCE}_$version.dsc
for f in "$(deb amd64)" "$(deb arm64)" "$(dbgsym amd64)" "$(dbgsym arm64)" \
  "$(changes amd64)" "$(changes arm64)" "$dsc"; do
  [ -f "$f" ] || {
    echo "check_packages.sh: no $f; run scripts/package.sh first" >&2
    exit 1
  }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

echo "== lintian =="
# Errors fail, and so does any warning: an override needs its reason beside
# it in debian/*lintian-overrides. Informational tags are printed only; those
# expected, and why they stay:
# - image-file-in-usr-lib, package-contains-documentation-outside-usr-share-doc
#   (the pedal face's images and its icon.html): MOD loads the pedal face's
#   template and images from the bundle folder, and an LV2 bundle must stay whole.
lintian --display-info "$(changes amd64)" "$(changes arm64)" >"$tmp/lintian.txt" 2>&1 || true
cat "$tmp/lintian.txt"
grep -q '^[EW]: ' "$tmp/lintian.txt" && fail "lintian reports errors or warnings"

echo "== both packages: files, modules, Depends =="
dpkg-deb -x "$(deb amd64)" "$tmp/amd64"
dpkg-deb -x "$(deb arm64)" "$tmp/arm64"
(cd "$tmp/amd64" && find . | LC_ALL=C sort) >"$tmp/amd64.files"
(cd "$tmp/arm64" && find . | LC_ALL=C sort) >"$tmp/arm64.files"
diff "$tmp/amd64.files" "$tmp/arm64.files" >&2 || fail "the amd64 and arm64 packages hold other files"
lv2=usr/lib/lv2/calvorine_utility.lv2
for f in calvorine_utility.so calvorine_utility_ui.so manifest.ttl utility.ttl presets.ttl ui.ttl \
  modgui.ttl; do
  grep -qx "./$lv2/$f" "$tmp/amd64.files" || fail "the packages have no $lv2/$f"
done
# The PipeWire input of the README, where it says.
pw=usr/share/calvorine-utility/pipewire/calvorine-guitar-hum.conf
cmp -s "$tmp/amd64/$pw" pipewire/calvorine-guitar-hum.conf || fail "the packages have no /$pw as shipped"
for arch in amd64 arm64; do
  case $arch in
    amd64) machine=X86-64 ;;
    arm64) machine=AArch64 ;;
  esac
  for m in calvorine_utility:lv2_descriptor calvorine_utility_ui:lv2ui_descriptor; do
    so="$tmp/$arch/$lv2/${m%%:*}.so"
    readelf -h "$so" | grep -q "Machine:.*[[:space:]]$machine\$" || fail "$arch: ${m%%:*}.so is not built for $machine"
    ! readelf -S "$so" | grep -q '\.symtab' || fail "$arch: ${m%%:*}.so is not stripped"
    [ "$(nm -D --defined-only "$so" | awk '{print $3}')" = "${m#*:}" ] ||
      fail "$arch: ${m%%:*}.so exports more than ${m#*:}"
  done
  # One file of debug symbols per module, by build ID.
  [ "$(dpkg-deb -c "$(dbgsym $arch)" | grep -c '/\.build-id/.*\.debug$')" -eq 2 ] ||
    fail "$(dbgsym $arch) does not hold the symbols of both modules"
  depends=$(dpkg-deb -f "$(deb $arch)" Depends)
  for lib in libc6 libstdc++6 libx11-6 libcairo2; do
    echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/[ (:].*//' | grep -Fqx "$lib" ||
      fail "$arch: Depends ($depends) has no $lib"
  done
  echo "$arch: $(stat -c %s "$(deb $arch)") bytes, plug-in and UI for $machine; Depends: $depends"
done

echo "== amd64 package: lilv finds and runs the unpacked bundle, and its UI =="
bundle="$tmp/amd64/$lv2"
# The LV2 vocabularies stay on the path; the plug-in must come from the package.
export LV2_PATH="$tmp/amd64/usr/lib/lv2:/usr/lib/lv2"
lv2info "$URI" >"$tmp/info.txt" 2>"$tmp/info.err" || fail "lv2info cannot find $URI in the package"
[ ! -s "$tmp/info.err" ] || fail "lv2info: $(cat "$tmp/info.err")"
grep -q "Bundle: *file://$bundle/" "$tmp/info.txt" || fail "lv2info took the plug-in from elsewhere: $(grep Bundle: "$tmp/info.txt")"
grep -q "doap:revision \"$version\"" "$bundle/utility.ttl" || fail "the packaged bundle is not version $version"
echo "lv2info: $(grep -c '^[[:space:]]*Port [0-9]*:$' "$tmp/info.txt") ports, from $bundle"
grep -A3 "^[[:space:]]*$URI#ui\$" "$tmp/info.txt" >"$tmp/ui.txt" || fail "lv2info lists no UI"
grep -q "Class: *http://lv2plug.in/ns/extensions/ui#X11UI" "$tmp/ui.txt" &&
  grep -q "Binary: *file://$bundle/calvorine_utility_ui.so" "$tmp/ui.txt" ||
  fail "lv2info lists another UI: $(cat "$tmp/ui.txt")"
# What a host does next: load the module, with every library it needs, and
# ask it for the UI the manifest names.
/usr/bin/python3 - "$bundle/calvorine_utility_ui.so" "$URI#ui" <<'EOF' || fail "the packaged UI does not load"
import ctypes, sys
class Descriptor(ctypes.Structure):
    _fields_ = [("URI", ctypes.c_char_p)]
ui = ctypes.CDLL(sys.argv[1])  # RTLD_NOW: every symbol resolved here
ui.lv2ui_descriptor.restype = ctypes.POINTER(Descriptor)
ui.lv2ui_descriptor.argtypes = [ctypes.c_uint32]
first, none = ui.lv2ui_descriptor(0), ui.lv2ui_descriptor(1)
sys.exit(0 if first and first.contents.URI.decode() == sys.argv[2] and not none else 1)
EOF
echo "lv2info lists the X11 UI, and its module loads and describes $URI#ui"
sh tests/bundle/validate_bundle.sh "$bundle" || fail "lv2_validate rejects the packaged bundle"
# A noisy tone through every stage, once from the package and once from the
# build tree: the same bits, and not the input's.
/usr/bin/python3 - "$tmp/in.wav" <<'EOF'
import math, struct, sys, wave
with wave.open(sys.argv[1], "wb") as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(48000)
    seed, frames = 1, bytearray()
    for i in range(24000):
        seed = (seed * 1103515245 + 12345) % 2**31
        x = 0.3 * math.sin(2 * math.pi * 50 * i / 48000) + 0.2 * (seed / 2**31 - 0.5)
        frames += struct.pack("<h", int(x * 32767))
    w.writeframes(bytes(frames))
EOF
run_lv2apply() {
  lv2apply -i "$tmp/in.wav" -o "$1" -c hum_on 1 -c hum_50hz 1 -c pickup_on 1 -c boost_on 1 \
    -c lowpass_amount 0.4 "$URI" >/dev/null 2>"$tmp/apply.err" || fail "lv2apply: $(cat "$tmp/apply.err")"
}
run_lv2apply "$tmp/pkg.wav"
LV2_PATH="$(realpath "$X86_BUILD/lv2"):/usr/lib/lv2" run_lv2apply "$tmp/build.wav"
cmp -s "$tmp/pkg.wav" "$tmp/build.wav" || fail "lv2apply: the packaged module's output differs from the build's"
/usr/bin/python3 -c 'import sys, soundfile as sf, numpy as np; a = sf.read(sys.argv[1])[0]; b = sf.read(sys.argv[2])[0]
sys.exit(0 if len(a) == len(b) == 24000 and np.max(np.abs(a - b)) > 0.01 else 1)' "$tmp/in.wav" "$tmp/pkg.wav" ||
  fail "lv2apply's output is not the processed input"
echo "lv2apply: the packaged module gives the build's output bits"
unset LV2_PATH

echo "== the MOD pedal face of the packaged bundle, in headless Chromium =="
/usr/bin/python3 scripts/modgui.py check "$bundle" || fail "the pedal face"

echo "== arm64 package: its plug-in under qemu-aarch64 gives the x86-64 digest, its UI links =="
arm_bundle="$tmp/arm64/$lv2"
ref=$("$X86_BUILD/tools/digest_run" "$X86_BUILD/lv2/calvorine_utility.lv2/calvorine_utility.so")
pkg_x86=$("$X86_BUILD/tools/digest_run" "$bundle/calvorine_utility.so")
pkg_arm=$(qemu-aarch64 -L /usr/aarch64-linux-gnu "$ARM_BUILD/tools/digest_run" "$arm_bundle/calvorine_utility.so")
echo "x86-64 build:  $ref"
echo "amd64 package: $pkg_x86"
echo "arm64 package: $pkg_arm"
[ "$pkg_x86" = "$ref" ] && [ "$pkg_arm" = "$ref" ] || fail "a packaged module gives other output bits"
# What `ldd -r` does, through the arm64 dynamic loader that the cross build's
# dependencies brought in (multiarch): every library found, every symbol bound.
qemu-aarch64 -E LD_TRACE_LOADED_OBJECTS=1 -E LD_WARN=yes -E LD_BIND_NOW=yes \
  /lib/ld-linux-aarch64.so.1 "$arm_bundle/calvorine_utility_ui.so" >"$tmp/ldd.txt" 2>&1 ||
  fail "the arm64 loader refuses the UI: $(cat "$tmp/ldd.txt")"
! grep -E 'not found|undefined symbol' "$tmp/ldd.txt" >&2 || fail "the arm64 UI misses libraries or symbols"
echo "arm64 UI: $(grep -c '=>' "$tmp/ldd.txt") libraries found, every symbol bound"

echo "== the source package =="
dpkg-source -x "$dsc" "$tmp/src" >/dev/null 2>"$tmp/dpkg-source.err" ||
  fail "dpkg-source -x: $(cat "$tmp/dpkg-source.err")"
tree="$tmp/src"
for d in .git build dist out; do
  [ ! -e "$tree/$d" ] || fail "the source package holds $d/"
done
# Configuring with the tests checks that every source they name is there.
cmake -S "$tree" -B "$tmp/src-build" -DCMAKE_BUILD_TYPE=Release -DCALVORINE_WERROR=ON >/dev/null
cmake --build "$tmp/src-build" -j "$JOBS" --target calvorine_utility digest_run >/dev/null
got=$("$tmp/src-build/tools/digest_run" "$tmp/src-build/lv2/calvorine_utility.lv2/calvorine_utility.so")
[ "$got" = "$ref" ] || fail "the source package builds a module with other output bits: $got"
echo "the source package builds the same bits: $got"
if [ "$full" -eq 1 ]; then
  cmake --build "$tmp/src-build" -j "$JOBS" >/dev/null
  (cd "$tmp/src-build" && ctest --output-on-failure -j "$JOBS") || fail "the source package's tests fail"
fi
echo "Packages checked."
