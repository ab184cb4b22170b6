#!/bin/sh
# lv2info finds the plug-in through LV2_PATH, in this build's bundle, and
# lists the module's ports (as utility_host --ports gives its table) with
# their symbols in index order.
# Usage: check_lv2info.sh URI BUNDLE_DIR UTILITY_HOST   (LV2_PATH set by the caller)
set -eu
uri="$1"
bundle="$2"
want=$("$3" --ports | sed -n 's/.*"symbol": "\([a-z_0-9]*\)".*/\1/p' | tr '\n' ' ' | sed 's/ $//')
count=$(echo "$want" | wc -w)
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
[ "$ports" -eq "$count" ] || fail "lv2info lists $ports ports, not $count"
got=$(echo "$info" | sed -n 's/^[[:space:]]*Symbol:[[:space:]]*//p' | tr '\n' ' ' | sed 's/ $//')
[ "$got" = "$want" ] || fail "port symbols: '$got'"
# The plug-in's and its UI's Bundle lines: both must name this bundle.
found=$(echo "$info" | sed -n 's|^[[:space:]]*Bundle:[[:space:]]*file://||p' | sed 's|/$||' | sort -u)
[ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$bundle")" ] ||
  fail "lv2info found the bundle at '$found', not at $bundle"
echo "lv2info: $count ports, bundle $bundle"
