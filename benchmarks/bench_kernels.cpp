// Times each cascade kernel this CPU runs on the full chain's thirteen
// sections (low-pass, six notches, recipe 1's five sections, boost), block
// 256 and 64, against the reference (straightforward) kernel, in one run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "dsp/cascade.h"
#include "full_chain.h"
#include "test_support.h"

namespace {

void kernel(benchmark::State& state) {
  const auto k = static_cast<CascadeKernel>(state.range(0));
  if (!cascadeKernelSupported(k)) {
    state.SkipWithError("kernel not supported on this CPU");
    return;
  }
  const auto n = static_cast<std::uint32_t>(state.range(1));
  FullChain chain;
  std::vector<float> in(n);
  std::vector<float> out(n);
  in = noiseBlock(n, 1, 0.5f);
  for (auto _ : state) {
    runCascade(k, chain.plan, in.data(), out.data(), n);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
  // ns per sample = 1e9 / items_per_second
}

BENCHMARK(kernel)
    ->ArgNames({"kernel", "block"})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {64, 256}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
