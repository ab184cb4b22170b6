// Times each cascade kernel this CPU runs on the full chain's thirteen
// sections (low-pass, six notches, recipe 1's five sections, boost), block
// 64 and 256, in one run, beside two fixed points: the reference
// (straightforward) kernel, and a yardstick, a plain skewed AVX-512 schedule
// of the same sections written apart from the plug-in's kernels. Around the
// kernels it times the block driver (prepareBlock, runCascade, finishBlock,
// as util_run calls them) and the built module's run() through its
// descriptor, so that the per-block cost outside the kernel shows on its own.
//
//   bench_kernels [--plugin=PATH] [--benchmark_...]
//
// The module is looked for beside this program's build tree unless
// --plugin names it. Defaults: 12 repetitions of 0.1 s, aggregates only, the
// repetitions of all rows in random order (the machine is shared: drift in
// its load then spreads over every row instead of favouring some).
// Prints medians in ns per sample (CPU time) and the ratio of each row to
// the yardstick at the same block size. Before timing, the yardstick and
// every kernel are run against the reference kernel on the benchmark's plan
// and input: any bit that differs stops the program.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// bench_common.h names a default module for --plugin lists; this program finds
// the module itself (defaultModulePath).
#define CALVORINE_PLUGIN_PATH ""
#include "bench_args.h"
#include "bench_common.h"
#include "dsp/cascade.h"
#include "full_chain.h"
#include "test_support.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define CALVORINE_YARDSTICK 1
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's own AVX-512 headers trip this warning (their "undefined" vectors).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#else
#define CALVORINE_YARDSTICK 0
#endif

namespace {

#if CALVORINE_YARDSTICK
// The yardstick. Section k lives in vector k % 2, lane k / 2, and at step t
// runs sample t - 3k: it takes what section k - 1 produced three steps
// earlier (section 0 the input), so that a hand-over crosses from one vector
// to the other, moving one lane up on the way back into vector 0. Lanes
// outside the block (fill and drain) keep their state through masked
// updates, so that the block adds no latency. The same IEEE operations in the
// same order as the reference kernel: bit-identical output and state.
namespace yardstick {

#define YARDSTICK_AVX512 __attribute__((target("avx512f")))

constexpr int kDelay = 3;

struct Lanes {
  __m512d b0[2], b1[2], b2[2], a1[2], a2[2], z1[2], z2[2];
  __m512i first[2];  // the step at which each lane's first sample comes
  __m256 gain[2];
  __m256 q0[kDelay];  // inputs of vector 0 for the next three steps, rounded to float
  __m256 q1[kDelay];  // inputs of vector 1
  __m256 mix;
  __m256i lastLane;
  __m128 inGain;
  float level;
  std::int64_t n;
  std::int64_t lag;
};

// One step: section k runs sample t - 3k.
template <bool LP, bool Masked, int LastV>
YARDSTICK_AVX512 __attribute__((always_inline)) inline void step(Lanes& s, const float* in,
                                                                 float* out, std::int64_t t) {
  __mmask8 on[2] = {0xff, 0xff};
  if (Masked) {
    const __m512i tv = _mm512_set1_epi64(t);
    const __m512i lo = _mm512_set1_epi64(t - s.n);
    for (int v = 0; v < 2; ++v) {
      on[v] = static_cast<__mmask8>(_mm512_cmple_epi64_mask(s.first[v], tv) &
                                    _mm512_cmpgt_epi64_mask(s.first[v], lo));
    }
  }
  const __m256 xf[2] = {s.q0[0], s.q1[0]};
  __m256 r[2];
  for (int v = 0; v < 2; ++v) {
    const __m512d x = _mm512_cvtps_pd(xf[v]);
    const __m512d y = _mm512_add_pd(_mm512_mul_pd(s.b0[v], x), s.z1[v]);
    const __m512d z1 =
        _mm512_sub_pd(_mm512_add_pd(_mm512_mul_pd(s.b1[v], x), s.z2[v]), _mm512_mul_pd(s.a1[v], y));
    const __m512d z2 = _mm512_sub_pd(_mm512_mul_pd(s.b2[v], x), _mm512_mul_pd(s.a2[v], y));
    s.z1[v] = _mm512_mask_mov_pd(s.z1[v], on[v], z1);
    s.z2[v] = _mm512_mask_mov_pd(s.z2[v], on[v], z2);
    r[v] = _mm512_cvtpd_ps(y);
  }
  if (LP) {
    const __m256 m = _mm256_add_ps(xf[0], _mm256_mul_ps(_mm256_sub_ps(r[0], xf[0]), s.mix));
    r[0] = _mm256_blend_ps(r[0], m, 1);
  }
  for (int v = 0; v < 2; ++v) {
    r[v] = _mm256_mul_ps(r[v], s.gain[v]);
  }
  if (!Masked || t >= s.lag) {
    const float o = _mm256_cvtss_f32(_mm256_permutevar8x32_ps(r[LastV], s.lastLane));
    out[t - s.lag] = o * s.level;
  }
  // Section 0's input for step t + 3, or nothing past the block.
  const std::int64_t ti = t + kDelay;
  const __m128 x = ti < s.n ? _mm_mul_ss(_mm_load_ss(in + ti), s.inGain) : _mm_setzero_ps();
  for (int q = 0; q + 1 < kDelay; ++q) {
    s.q0[q] = s.q0[q + 1];
    s.q1[q] = s.q1[q + 1];
  }
  s.q1[kDelay - 1] = r[0];
  s.q0[kDelay - 1] = _mm512_castps512_ps256(
      _mm512_castsi512_ps(_mm512_alignr_epi32(_mm512_castps_si512(_mm512_castps256_ps512(r[1])),
                                              _mm512_castps_si512(_mm512_broadcastss_ps(x)), 15)));
}

template <bool LP, int LastV>
YARDSTICK_AVX512 void runLanes(const CascadePlan& plan, const float* in, float* out,
                               std::uint32_t n) {
  const auto count = static_cast<std::size_t>(plan.count);
  alignas(64) double c[7][16] = {};  // b0 b1 b2 a1 a2 z1 z2 by lane
  alignas(64) std::int64_t first[16];
  alignas(64) float g[16];
  for (std::size_t k = 0; k < 16; ++k) {
    first[k] = INT64_MAX / 2;  // unused lanes never run
    g[k] = 1.0f;
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t lane = (k % 2) * 8 + k / 2;
    const Biquad& b = *plan.sections[k];
    c[0][lane] = b.b0;
    c[1][lane] = b.b1;
    c[2][lane] = b.b2;
    c[3][lane] = b.a1;
    c[4][lane] = b.a2;
    c[5][lane] = b.z1;
    c[6][lane] = b.z2;
    first[lane] = kDelay * static_cast<std::int64_t>(k);
    g[lane] = plan.gains[k];
  }
  Lanes s;
  for (int v = 0; v < 2; ++v) {
    s.b0[v] = _mm512_load_pd(c[0] + 8 * v);
    s.b1[v] = _mm512_load_pd(c[1] + 8 * v);
    s.b2[v] = _mm512_load_pd(c[2] + 8 * v);
    s.a1[v] = _mm512_load_pd(c[3] + 8 * v);
    s.a2[v] = _mm512_load_pd(c[4] + 8 * v);
    s.z1[v] = _mm512_load_pd(c[5] + 8 * v);
    s.z2[v] = _mm512_load_pd(c[6] + 8 * v);
    s.first[v] = _mm512_load_si512(first + 8 * v);
    s.gain[v] = _mm256_load_ps(g + 8 * v);
  }
  s.mix = _mm256_set1_ps(plan.lowpassMix);
  s.lastLane = _mm256_set1_epi32(static_cast<int>((count - 1) / 2));
  s.inGain = _mm_set_ss(plan.inputGain);
  s.level = plan.levelGain;
  s.n = n;
  s.lag = kDelay * static_cast<std::int64_t>(count - 1);
  for (int q = 0; q < kDelay; ++q) {
    const float x = q < s.n ? in[q] * plan.inputGain : 0.0f;
    s.q0[q] = _mm256_set_ps(0, 0, 0, 0, 0, 0, 0, x);
    s.q1[q] = _mm256_setzero_ps();
  }
  const std::int64_t total = s.n + s.lag;

  std::int64_t t = 0;
  for (; t < s.lag && t < total; ++t) {
    step<LP, true, LastV>(s, in, out, t);
  }
  for (; t < s.n; ++t) {
    step<LP, false, LastV>(s, in, out, t);
  }
  for (; t < total; ++t) {
    step<LP, true, LastV>(s, in, out, t);
  }
  for (int v = 0; v < 2; ++v) {
    _mm512_store_pd(c[5] + 8 * v, s.z1[v]);
    _mm512_store_pd(c[6] + 8 * v, s.z2[v]);
  }
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t lane = (k % 2) * 8 + k / 2;
    plan.sections[k]->z1 = c[5][lane];
    plan.sections[k]->z2 = c[6][lane];
  }
}

// Plans of 2 to 16 sections with no output gain (the full chain's).
void run(const CascadePlan& plan, const float* in, float* out, std::uint32_t n) {
  const bool lastInVector1 = (plan.count - 1) % 2 == 1;
  if (plan.lowpassFirst) {
    lastInVector1 ? runLanes<true, 1>(plan, in, out, n) : runLanes<true, 0>(plan, in, out, n);
  } else {
    lastInVector1 ? runLanes<false, 1>(plan, in, out, n) : runLanes<false, 0>(plan, in, out, n);
  }
}

#undef YARDSTICK_AVX512

}  // namespace yardstick
#endif

constexpr std::int64_t kBlocks[] = {64, 256};
const char* const kKernelNames[] = {"reference", "SSE2", "AVX2", "AVX-512", "NEON"};

// The benchmark's input: one block of noise, run again on every iteration.
std::vector<float> input(std::uint32_t n) {
  return noiseBlock(n, 1, 0.5f);
}

bool yardstickRuns() {
#if CALVORINE_YARDSTICK
  return __builtin_cpu_supports("avx512f") != 0;
#else
  return false;
#endif
}

void runYardstick(const CascadePlan& plan, const float* in, float* out, std::uint32_t n) {
#if CALVORINE_YARDSTICK
  yardstick::run(plan, in, out, n);
#else
  (void)plan, (void)in, (void)out, (void)n;
#endif
}

// Times `step(chain, in, out, n)` on the full chain, one block per iteration.
template <class Step>
void timeChain(benchmark::State& state, Step step) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  FullChain chain;
  const std::vector<float> in = input(n);
  std::vector<float> out(n);
  for (auto _ : state) {
    step(chain, in.data(), out.data(), n);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

void timeKernel(benchmark::State& state, CascadeKernel k) {
  if (!cascadeKernelSupported(k)) {
    state.SkipWithError("kernel not supported on this CPU");
    return;
  }
  timeChain(state, [k](FullChain& c, const float* in, float* out, std::uint32_t n) {
    runCascade(k, c.plan, in, out, n);
  });
}

void timeYardstick(benchmark::State& state) {
  if (!yardstickRuns()) {
    state.SkipWithError("the yardstick needs AVX-512");
    return;
  }
  timeChain(state, [](FullChain& c, const float* in, float* out, std::uint32_t n) {
    runYardstick(c.plan, in, out, n);
  });
}

// The block driver as util_run calls it: block start, the kernel for the
// block, block end.
void timeDriver(benchmark::State& state, CascadeKernel k) {
  if (!cascadeKernelSupported(k)) {
    state.SkipWithError("kernel not supported on this CPU");
    return;
  }
  timeChain(state, [k](FullChain& c, const float* in, float* out, std::uint32_t n) {
    c.prepare();
    c.run(c.plan, in, out, n, blockKernel(k, c.plan, n));
  });
}

// run() of the built module, loaded as a host loads it: the best kernel.
void timeModule(benchmark::State& state, const std::string& path) {
  bench::withInstance(state, path, *bench::findStageConfig("full"), [&state](PluginInstance& p) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    const std::vector<float> in = input(n);
    std::vector<float> out(n);
    p.run(in.data(), out.data(), n);  // designs happen on the first block
    for (auto _ : state) {
      p.run(in.data(), out.data(), n);
      benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
  });
}

// Same bits, or both NaN.
bool same(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}
bool same(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Runs `run` and the reference kernel side by side on the benchmark's plan
// and input, several blocks of each timed size in a row; prints and returns
// false at the first bit that differs, in the output or in a section's state.
template <typename Run>
bool matchesReference(const char* name, Run&& run) {
  FullChain ref;
  FullChain got;
  int blocks = 0;
  for (std::int64_t size :
       {std::int64_t{64}, std::int64_t{256}, std::int64_t{12}, std::int64_t{64}}) {
    const auto n = static_cast<std::uint32_t>(size);
    const std::vector<float> in = input(n);
    for (int b = 0; b < 4; ++b, ++blocks) {
      std::vector<float> outRef(n);
      std::vector<float> outGot(n);
      runCascade(CascadeKernel::Reference, ref.plan, in.data(), outRef.data(), n);
      run(got.plan, in.data(), outGot.data(), n);
      for (std::uint32_t i = 0; i < n; ++i) {
        if (!same(outRef[i], outGot[i])) {
          std::printf(
              "FAILED: %s differs from the reference kernel at block %d (%u samples), "
              "sample %u: %a against %a\n",
              name, blocks, n, i, static_cast<double>(outGot[i]), static_cast<double>(outRef[i]));
          return false;
        }
      }
      for (std::int32_t j = 0; j < ref.plan.count; ++j) {
        const Biquad& a = *ref.plan.sections[j];
        const Biquad& c = *got.plan.sections[j];
        if (!same(a.z1, c.z1) || !same(a.z2, c.z2)) {
          std::printf(
              "FAILED: %s leaves section %d's state different from the reference "
              "kernel's after block %d\n",
              name, j, blocks);
          return false;
        }
      }
    }
  }
  std::printf("%s: bit-identical to the reference kernel (%d blocks of the full chain)\n", name,
              blocks);
  return true;
}

std::string defaultModulePath() {
  char exe[4096];
  const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (len <= 0) {
    return "";
  }
  exe[len] = '\0';
  std::string dir(exe);
  dir.resize(dir.rfind('/'));
  return dir + "/../lv2/calvorine_utility.lv2/calvorine_utility.so";
}

// Console output as usual, then the medians of every row in ns per sample,
// with their spread and their ratio to the yardstick at the same block size.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // Rows print in this order (that of registration), whatever order ran.
  explicit SummaryReporter(std::vector<std::string> rows) : rows_(std::move(rows)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) {
        continue;
      }
      const std::string row = r.run_name.function_name;
      const long long block = std::atoll(r.run_name.args.c_str() + r.run_name.args.find(':') + 1);
      const double ns = r.GetAdjustedCPUTime() / static_cast<double>(block);
      Cell& c = cells_[row][block];
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        c.median = ns;
      } else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "cv") {
        c.cv = r.cpu_accumulated_time;  // a fraction, not a time
      } else if (r.run_type == Run::RT_Iteration && c.median == 0.0) {
        c.single = ns;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void printSummary() const {
    std::printf(
        "\n== medians, ns per sample (CPU time), spread as the coefficient of variation; "
        "ratio to the yardstick at the same block\n");
    std::printf("%-22s", "");
    for (std::int64_t b : kBlocks) {
      std::printf(" %9s%-5lld %6s %6s", "block ", static_cast<long long>(b), "cv", "ratio");
    }
    std::printf("\n");
    for (const std::string& row : rows_) {
      if (cells_.find(row) == cells_.end()) {
        continue;
      }
      std::printf("%-22s", row.c_str());
      for (std::int64_t b : kBlocks) {
        const double ns = value(row, b);
        const double yard = value("yardstick", b);
        const auto it = cells_.at(row).find(b);
        if (ns <= 0.0) {
          std::printf(" %14s %6s %6s", "-", "", "");
          continue;
        }
        char cv[16] = "";
        if (it != cells_.at(row).end() && it->second.cv >= 0.0) {
          std::snprintf(cv, sizeof cv, "%.1f%%", 100.0 * it->second.cv);
        }
        char ratio[16] = "-";
        if (yard > 0.0) {
          std::snprintf(ratio, sizeof ratio, "%.2fx", ns / yard);
        }
        std::printf(" %14.3f %6s %6s", ns, cv, ratio);
      }
      std::printf("\n");
    }
  }

 private:
  struct Cell {
    double median = 0.0;
    double single = 0.0;
    double cv = -1.0;
  };
  double value(const std::string& row, std::int64_t block) const {
    const auto r = cells_.find(row);
    if (r == cells_.end()) {
      return 0.0;
    }
    const auto c = r->second.find(block);
    if (c == r->second.end()) {
      return 0.0;
    }
    return c->second.median > 0.0 ? c->second.median : c->second.single;
  }

  std::map<std::string, std::map<long long, Cell>> cells_;
  std::vector<std::string> rows_;
};

void registerBlocks(benchmark::internal::Benchmark* b) {
  b->ArgName("block");
  for (std::int64_t n : kBlocks) {
    b->Arg(n);
  }
  b->Unit(benchmark::kNanosecond);
}

}  // namespace

int main(int argc, char** argv) {
  std::string modulePath = defaultModulePath();
  bench::takeArg(argc, argv, "plugin", modulePath);

  bool plainFormat = true;
  if (!bench::initBenchmark(
          argc, argv,
          {"--benchmark_repetitions=12", "--benchmark_display_aggregates_only=true",
           "--benchmark_min_time=0.1", "--benchmark_enable_random_interleaving=true"},
          plainFormat)) {
    return 2;
  }

  // Honest ratios need the same bits: check before timing anything.
  bool ok = true;
  if (yardstickRuns()) {
    ok = matchesReference("yardstick", runYardstick) && ok;
  } else {
    std::printf("yardstick: not run (it needs AVX-512); no ratios\n");
  }
  for (int k = 1; k <= 4; ++k) {
    const auto kernel = static_cast<CascadeKernel>(k);
    if (cascadeKernelSupported(kernel)) {
      ok = matchesReference(kKernelNames[k],
                            [kernel](const CascadePlan& plan, const float* in, float* out,
                                     std::uint32_t n) { runCascade(kernel, plan, in, out, n); }) &&
           ok;
    }
  }
  if (!ok) {
    std::fprintf(stderr,
                 "bench_kernels: a schedule is not bit-identical to the reference; "
                 "no figures\n");
    return 1;
  }

  std::vector<std::string> rows;
  for (int k = 0; k <= 4; ++k) {
    const auto kernel = static_cast<CascadeKernel>(k);
    rows.push_back(std::string("kernel/") + kKernelNames[k]);
    registerBlocks(benchmark::RegisterBenchmark(rows.back().c_str(), timeKernel, kernel));
  }
  rows.push_back("yardstick");
  registerBlocks(benchmark::RegisterBenchmark(rows.back().c_str(), timeYardstick));
  for (int k = 0; k <= 4; ++k) {
    const auto kernel = static_cast<CascadeKernel>(k);
    rows.push_back(std::string("driver/") + kKernelNames[k]);
    registerBlocks(benchmark::RegisterBenchmark(rows.back().c_str(), timeDriver, kernel));
  }
  const bool haveModule = PluginModule(modulePath.c_str()).loaded();
  if (haveModule) {
    std::printf("module: %s\n", modulePath.c_str());
    rows.push_back("run()");
    registerBlocks(benchmark::RegisterBenchmark(rows.back().c_str(), timeModule, modulePath));
  } else {
    std::printf("module: not found at %s (--plugin=PATH); run() is not timed\n",
                modulePath.c_str());
  }
  std::fflush(stdout);

  if (!plainFormat) {
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
  }
  SummaryReporter reporter(rows);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary();
  benchmark::Shutdown();
  return 0;
}
