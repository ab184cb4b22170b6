#!/bin/sh
# Runs a command against a private Xvfb server on a display number that no
# one else uses (Xvfb picks a free one and reports it), then stops the server.
# -noreset: by default the server resets when its last client leaves, and a
# client connecting meanwhile is refused.
# Usage: with_xvfb.sh COMMAND [ARG...]
set -eu
command -v Xvfb >/dev/null 2>&1 || {
  echo "Xvfb not found: install the Debian package xvfb (scripts/deps.sh)" >&2
  exit 1
}
tmp=$(mktemp -d)
Xvfb -displayfd 5 -screen 0 1920x1080x24 -nolisten tcp -noreset 5>"$tmp/display" >"$tmp/log" 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$tmp"' EXIT INT TERM
tries=0
while [ ! -s "$tmp/display" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 200 ] || ! kill -0 "$xvfb" 2>/dev/null; then
    echo "Xvfb did not start:" >&2
    cat "$tmp/log" >&2
    exit 1
  fi
  sleep 0.05
done
DISPLAY=":$(head -n 1 "$tmp/display")" "$@"
