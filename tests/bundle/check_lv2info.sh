#!/bin/sh
# lv2info finds the plug-in through LV2_PATH, in this build's bundle, and
# lists all 13 ports with their symbols in index order.
# Usage: check_lv2info.sh URI BUNDLE_DIR   (LV2_PATH set by the caller)
set -eu
uri="$1"
bundle="$2"
command -v lv2info >/dev/null 2>&1 || {
  echo "lv2info not found: install the Debian package lilv-utils (scripts/deps.sh)" >&2
  exit 1
}
# The build's lv2 folder holds only bundles, so lilv has nothing to complain
# about: any message on stderr is a fault too.
errs=$(mktemp)
trap 'rm -f "$errs"' EXIT
info=$(lv2info "$uri" 2>"$errs") || {
  echo "lv2info could not find $uri on LV2_PATH=${LV2_PATH:-}" >&2
  cat "$errs" >&2
  exit 1
}
[ ! -s "$errs" ] || {
  echo "lv2info printed errors with LV2_PATH=${LV2_PATH:-}:" >&2
  cat "$errs" >&2
  exit 1
}
fail() {
  echo "$*" >&2
  echo "$info" >&2
  exit 1
}
ports=$(echo "$info" | grep -c '^[[:space:]]*Port [0-9][0-9]*:$' || true)
[ "$ports" -eq 13 ] || fail "lv2info lists $ports ports, not 13"
want="in out level_db invert hum_on pickup_type pickup_amount pickup_on boost_on boost_db lowpass_amount hum_50hz enabled"
got=$(echo "$info" | sed -n 's/^[[:space:]]*Symbol:[[:space:]]*//p' | tr '\n' ' ' | sed 's/ $//')
[ "$got" = "$want" ] || fail "port symbols: '$got'"
found=$(echo "$info" | sed -n 's|^[[:space:]]*Bundle:[[:space:]]*file://||p' | sed 's|/$||')
[ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$bundle")" ] ||
  fail "lv2info found the bundle at '$found', not at $bundle"
echo "lv2info: 13 ports, bundle $bundle"
