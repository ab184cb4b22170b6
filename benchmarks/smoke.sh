#!/bin/sh
# A short run of every benchmark, for CI: proves that they build warning-free,
# load the module as hosts do and print figures. The figures of so short a
# run on a shared machine mean little; scripts/bench.sh makes the real ones.
#
#   benchmarks/smoke.sh [BUILD_DIR]   (default build/release; configured with
#                                      -DCALVORINE_BENCHMARKS=ON, as scripts/test.sh does)
#
# bench_peers times the peer plug-ins if they are installed
# (benchmarks/install_peers.sh) and says they are absent otherwise.
set -eu
cd "$(dirname "$0")/.."
dir="${1:-build/release}"
[ -x "$dir/benchmarks/bench_plugin" ] ||
  { echo "smoke.sh: no benchmarks in $dir (configure it with -DCALVORINE_BENCHMARKS=ON)" >&2; exit 1; }

echo "== bench_plugin (smoke)"
"$dir/benchmarks/bench_plugin" --benchmark_min_time=0.01 --benchmark_repetitions=1 \
  --benchmark_filter='^(ours/(off|full)|gain)/(1|256)$'
echo "== bench_peers (smoke)"
"$dir/benchmarks/bench_peers" --blocks=256 --rounds=3 --samples=8192
echo "== callgrind (smoke)"
sh benchmarks/callgrind.sh --quick "$dir"
echo "== cascade kernels and silence (smoke)"
"$dir/benchmarks/bench_kernels" --benchmark_min_time=0.01 --benchmark_filter='block:256'
"$dir/benchmarks/silence_study" 1 2
echo "benchmark smoke run: done"
