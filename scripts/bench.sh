#!/bin/sh
# Performance figures. Installs the peer plug-ins, builds build/bench with the
# module as shipped (the pipelined cascade) and its straightforward variant
# (every block sample by sample, as the reference), runs the benchmarks and
# prints their tables. About ten minutes on two cores; --quick takes one.
#
#   scripts/bench.sh [--quick] [--plugin=NAME=PATH]...
#
# Extra --plugin modules (another build, say) are timed beside the two.
# Everything printed is kept in build/bench-results/.
set -eu
cd "$(dirname "$0")/.."

quick=0
extra=""
for a in "$@"; do
  case "$a" in
    --quick) quick=1 ;;
    --plugin=*) extra="$extra $a" ;;
    *) echo "usage: scripts/bench.sh [--quick] [--plugin=NAME=PATH]..." >&2; exit 2 ;;
  esac
done

sh scripts/deps.sh
sh benchmarks/install_peers.sh

echo "== building build/bench (the pipelined module and the per-sample reference)"
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DCALVORINE_WERROR=ON \
  -DCALVORINE_BENCHMARKS=ON -DCALVORINE_TESTS=OFF >/dev/null
cmake --build build/bench -j 2 >/dev/null
dir=build/bench
so=calvorine_utility.so
plugins="--plugin=pipelined=$dir/lv2/calvorine_utility.lv2/$so --plugin=reference=$dir/straight/$so$extra"
res=build/bench-results
mkdir -p "$res"
if [ "$quick" = 1 ]; then
  gb="--benchmark_repetitions=3 --benchmark_min_time=0.05"
  peers="--rounds=7 --samples=65536"
  cg="--quick"
else
  gb="--benchmark_repetitions=5 --benchmark_min_time=0.2"
  peers="--rounds=15"
  cg=""
fi

# run NAME COMMAND...: shows the output as it comes and keeps it; stops on failure.
run() {
  name="$1"; shift
  { rc=0; "$@" 2>&1 || rc=$?; echo "$rc" >"$res/$name.rc"; } | tee "$res/$name.txt"
  if [ "$(cat "$res/$name.rc")" != 0 ]; then
    echo "bench.sh: $name failed" >&2
    exit 1
  fi
}

# shellcheck disable=SC2086  # the option lists split on purpose
run bench_plugin $dir/benchmarks/bench_plugin $plugins $gb \
  --benchmark_out="$res/bench_plugin.json" --benchmark_out_format=json
# shellcheck disable=SC2086
run bench_peers $dir/benchmarks/bench_peers $plugins $peers
# shellcheck disable=SC2086
run callgrind sh benchmarks/callgrind.sh $cg $dir $plugins
run bench_kernels $dir/benchmarks/bench_kernels --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true
run silence_study $dir/benchmarks/silence_study 120

echo
echo "======================== summary ========================"
# The commit, when there is one (a release tarball has no .git).
if commit=$(git rev-parse --short HEAD 2>/dev/null); then
  git diff --quiet HEAD -- src || commit="$commit (src modified)"
else
  commit="$(sed -n 's/^project([a-z_]* VERSION \([0-9.]*\).*/version \1/p' CMakeLists.txt), no git"
fi
echo "commit $commit, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "cpu: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
sed -n '/^== summary/,$p' "$res/bench_plugin.txt"
echo
sed -n '/^== block/,$p' "$res/bench_peers.txt"
cat "$res/callgrind.txt"
echo
echo "== cascade kernels, full chain's 13 sections (ns per sample = 1e9 / items_per_second)"
grep median "$res/bench_kernels.txt" || true
echo
echo "== decay into digital silence"
cat "$res/silence_study.txt"
