#!/bin/sh
# Instructions per sample of run(), counted by callgrind: unlike time, the
# count does not move with the machine's load. Only the driver's block loop
# (calvorine_bench_run_blocks) is counted; loading, designs and the first
# block stay outside it.
#
#   benchmarks/callgrind.sh [--quick] [BUILD_DIR] [--plugin=[NAME=]PATH]...
#
# BUILD_DIR is a build made with -DCALVORINE_BENCHMARKS=ON (default
# build/release); without --plugin its module is counted as "ours".
# Valgrind's virtual CPU offers AVX2 at most, never AVX-512, so a kernel
# picked by CPU features is the AVX2 one here.
set -eu
cd "$(dirname "$0")/.."

quick=0
build=build/release
plugins=""
for a in "$@"; do
  case "$a" in
    --quick) quick=1 ;;
    --plugin=*) plugins="$plugins ${a#--plugin=}" ;;
    -*) echo "callgrind.sh: unknown option $a" >&2; exit 2 ;;
    *) build="$a" ;;
  esac
done

command -v valgrind >/dev/null || { echo "callgrind.sh: valgrind is missing (scripts/deps.sh installs it)" >&2; exit 1; }
driver="$build/benchmarks/callgrind_driver"
[ -x "$driver" ] || { echo "callgrind.sh: $driver not built (configure with -DCALVORINE_BENCHMARKS=ON)" >&2; exit 1; }
[ -n "$plugins" ] || plugins="ours=$build/lv2/calvorine_utility.lv2/calvorine_utility.so"

if [ "$quick" = 1 ]; then
  configs="off full full-tracking"; blocks="256"; samples=5120
else
  configs="off lowpass hum voicer boost full tracking full-tracking"; blocks="64 256"; samples=51200
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# count NAME MODULE CONFIG BLOCK: one table row.
count() {
  n=$((samples / $4))
  if ! valgrind --tool=callgrind --toggle-collect=calvorine_bench_run_blocks \
      --callgrind-out-file="$tmp/cg.out" "$driver" "$2" "$3" "$4" "$n" >"$tmp/log" 2>&1; then
    cat "$tmp/log" >&2
    echo "callgrind.sh: $1 $3 failed" >&2
    exit 1
  fi
  ir=$(awk '/^summary:/ { print $2 }' "$tmp/cg.out")
  # The function with the largest own count: shows which code path ran.
  top=$(callgrind_annotate --inclusive=no "$tmp/cg.out" 2>/dev/null |
    awk '/^ *[0-9,]+ +\([ 0-9.]+%\) / && !/PROGRAM TOTALS/ { sub(/^ *[0-9,]+ +\([ 0-9.]+%\) +/, ""); print; exit }' |
    sed -e 's/(anonymous namespace):://g' -e 's/^[^:]*:\(void \)\{0,1\}//' -e 's/(.*//')
  awk -v name="$1" -v cfg="$3" -v b="$4" -v ir="$ir" -v s=$((n * $4)) -v top="$top" \
    'BEGIN { printf "%-14s %-8s %6d %12.1f   %s\n", name, cfg, b, ir / s, top }'
}

echo "== instructions per sample (callgrind Ir inside run() and the block loop, 48 kHz noise)"
printf "%-14s %-8s %6s %12s   %s\n" module config block "Ir/sample" "largest own cost"
for p in $plugins; do
  name=${p%%=*}; path=${p#*=}
  [ "$name" = "$p" ] && name=ours
  for b in $blocks; do
    for c in $configs; do
      count "$name" "$path" "$c" "$b"
    done
  done
done
for b in $blocks; do
  count gain "$build/benchmarks/bench_gain.so" gain "$b"
  if [ -f /usr/lib/lv2/eg-amp.lv2/amp.so ]; then
    count eg-amp /usr/lib/lv2/eg-amp.lv2/amp.so gain "$b"
  fi
done
