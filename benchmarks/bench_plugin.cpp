// Times run() of the built module, loaded with dlopen as a host loads it,
// per stage and for the whole chain at several block sizes (steady, and with
// `enabled` switched every block), beside a plain gain plug-in. Prints ns per sample and the share
// of one core at 48 kHz.
//
//   bench_plugin [--plugin=[NAME=]PATH]... [--eg-amp=PATH] [--benchmark_...]
//
// Several --plugin arguments time several builds in one run. Defaults: 5
// repetitions, aggregates only, 0.2 s per repetition (any --benchmark_ flag
// given overrides them).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench_args.h"
#include "bench_common.h"

namespace {

constexpr std::int64_t kBlocks[] = {1, 16, 64, 256, 1024, 4096};

const std::vector<float>& noiseRing() {
  static const std::vector<float> ring = bench::noise();
  return ring;
}

// Samples per iteration go into the counters: items = samples, and the share
// of one core at 48 kHz in percent (CPU seconds per sample * 48000 * 100).
void setCounters(benchmark::State& state, std::uint32_t block) {
  const double samples = static_cast<double>(block);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(block));
  state.counters["core_share_48k"] = benchmark::Counter(
      samples / (bench::kRate * 100.0),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Runs `process(in, out, n)` over the noise ring one block per iteration. The
// first blocks are run before timing: designs happen when controls change.
template <typename Process>
void timeBlocks(benchmark::State& state, Process&& process) {
  const auto block = static_cast<std::uint32_t>(state.range(0));
  const std::vector<float>& ring = noiseRing();
  std::vector<float> out(block);
  std::uint32_t pos = 0;
  for (std::uint32_t i = 0; i < bench::kNoiseLength; i += block) {
    process(ring.data() + i, out.data(), block);
  }
  for (auto _ : state) {
    process(ring.data() + pos, out.data(), block);
    pos += block;
    if (pos == bench::kNoiseLength) {
      pos = 0;
    }
  }
  benchmark::DoNotOptimize(out.data());
  setCounters(state, block);
}

void timeOurs(benchmark::State& state, const std::string& path, const bench::StageConfig* config) {
  bench::withInstance(state, path, *config, [&state](PluginInstance& p) {
    timeBlocks(state, [&p](const float* in, float* out, std::uint32_t n) { p.run(in, out, n); });
  });
}

// The whole chain with `enabled` switched at the start of every block: each
// block fades, turns a fade around or holds the chain back while two copies
// of it fade, running the chain and up to two copies side by side; the
// dearest blocks there are.
void timeSwitching(benchmark::State& state, const std::string& path) {
  bench::withInstance(state, path, *bench::findStageConfig("full"), [&state](PluginInstance& p) {
    float& enabled = p.control(kPortEnabled);
    timeBlocks(state, [&p, &enabled](const float* in, float* out, std::uint32_t n) {
      enabled = enabled > 0.5f ? 0.0f : 1.0f;
      p.run(in, out, n);
    });
  });
}

void timeGain(benchmark::State& state, const std::string& path) {
  PluginModule module(path.c_str());
  bench::GainInstance gain(module, -3.0f);
  if (!gain.ok()) {
    state.SkipWithError(("cannot load or instantiate " + path).c_str());
    return;
  }
  timeBlocks(state,
             [&gain](const float* in, float* out, std::uint32_t n) { gain.run(in, out, n); });
}

// Console output with per-sample figures, plus a summary of the medians at
// the end. The JSON/CSV reporters (--benchmark_out) keep every raw field.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) {
        failed_ = true;
        continue;
      }
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (median || r.run_type == Run::RT_Iteration) {
        Figure& f = (median ? medians_ : singles_)[r.run_name.function_name][blockOf(r)];
        f.ns = nsPerSample(r);
        f.repetitions = r.repetitions;
        if (std::find(order_.begin(), order_.end(), r.run_name.function_name) == order_.end()) {
          order_.push_back(r.run_name.function_name);
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  bool failed() const { return failed_; }

  void printSummary(std::FILE* f) const {
    int reps = 1;
    for (const auto& row : medians_) {
      for (const auto& cell : row.second) {
        reps = static_cast<int>(cell.second.repetitions);
      }
    }
    std::fprintf(f,
                 "\n== summary: ns per sample, median of %d repetition(s), CPU time, 48 kHz, "
                 "noise input\n",
                 reps);
    printTable(
        f, [](double ns) { return ns; }, "%9.3f");
    std::fprintf(f, "\n== share of one core at 48 kHz, percent (ns/sample * 48000 / 1e9 * 100)\n");
    printTable(
        f, [](double ns) { return ns * bench::kRate * 1e-9 * 100.0; }, "%9.4f");
    std::fprintf(f, "\n== ratios\n");
    for (const std::string& name : order_) {
      const auto slash = name.find('/');
      if (slash == std::string::npos || name.compare(slash, std::string::npos, "/off") != 0) {
        continue;
      }
      for (const char* base : {"gain", "eg-amp"}) {
        if (figures(base) == nullptr) {
          continue;
        }
        std::fprintf(f, "%-28s", (name + " / " + base).c_str());
        for (std::int64_t b : kBlocks) {
          std::fprintf(f, " %9s", ratio(name, b, base, b).c_str());
        }
        std::fprintf(f, "\n");
      }
    }
    for (const std::string& name : order_) {
      if (name.size() < 5 || name.compare(name.size() - 5, 5, "/full") != 0) {
        continue;
      }
      std::fprintf(f, "%-28s block 64 / block 256: %s   block 1 / block 256: %s\n", name.c_str(),
                   ratio(name, 64, name, 256).c_str(), ratio(name, 1, name, 256).c_str());
    }
  }

 protected:
  void PrintHeader(const Run& /*run*/) override {
    std::fprintf(stdout, "%-*s %12s %12s %12s %12s\n", static_cast<int>(name_field_width_),
                 "Benchmark", "ns/sample", "core%@48k", "ns/call", "iterations");
    std::fprintf(stdout, "%s\n", std::string(name_field_width_ + 52, '-').c_str());
  }

  void PrintRunData(const Run& r) override {
    const int w = static_cast<int>(name_field_width_);
    if (r.error_occurred) {
      std::fprintf(stdout, "%-*s ERROR: %s\n", w, r.benchmark_name().c_str(),
                   r.error_message.c_str());
      return;
    }
    if (r.aggregate_unit == benchmark::kPercentage) {
      std::fprintf(stdout, "%-*s %11.2f%%\n", w, r.benchmark_name().c_str(),
                   100.0 * r.cpu_accumulated_time);
      return;
    }
    const auto it = r.counters.find("core_share_48k");
    const double share = it != r.counters.end() ? it->second.value : 0.0;
    std::fprintf(stdout, "%-*s %12.3f %12.4f %12.1f %12lld\n", w, r.benchmark_name().c_str(),
                 nsPerSample(r), share, r.GetAdjustedCPUTime(),
                 static_cast<long long>(r.iterations));
    std::fflush(stdout);
  }

 private:
  struct Figure {
    double ns = 0.0;
    std::int64_t repetitions = 1;
  };
  using Row = std::map<std::int64_t, Figure>;

  // The block size is the benchmark's argument ("ours/full/256").
  static std::int64_t blockOf(const Run& r) {
    const long long b = std::atoll(r.run_name.args.c_str());
    return b > 0 ? b : 1;
  }
  // The benchmarks are registered in nanoseconds.
  static double nsPerSample(const Run& r) {
    return r.GetAdjustedCPUTime() / static_cast<double>(blockOf(r));
  }

  const Row* figures(const std::string& name) const {
    auto it = medians_.find(name);
    if (it != medians_.end()) {
      return &it->second;
    }
    it = singles_.find(name);
    return it != singles_.end() ? &it->second : nullptr;
  }
  const Figure* figure(const std::string& name, std::int64_t block) const {
    const Row* row = figures(name);
    if (row == nullptr) {
      return nullptr;
    }
    const auto it = row->find(block);
    return it != row->end() ? &it->second : nullptr;
  }
  std::string ratio(const std::string& a, std::int64_t ba, const std::string& b,
                    std::int64_t bb) const {
    const Figure* fa = figure(a, ba);
    const Figure* fb = figure(b, bb);
    if (fa == nullptr || fb == nullptr || !(fb->ns > 0.0)) {
      return "-";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2fx", fa->ns / fb->ns);
    return buf;
  }

  template <typename Scale>
  void printTable(std::FILE* f, Scale scale, const char* format) const {
    std::fprintf(f, "%-28s", "block size");
    for (std::int64_t b : kBlocks) {
      std::fprintf(f, " %9lld", static_cast<long long>(b));
    }
    std::fprintf(f, "\n");
    for (const std::string& name : order_) {
      std::fprintf(f, "%-28s", name.c_str());
      for (std::int64_t b : kBlocks) {
        const Figure* fig = figure(name, b);
        if (fig == nullptr) {
          std::fprintf(f, " %9s", "-");
        } else {
          std::fprintf(f, " ");
          std::fprintf(f, format, scale(fig->ns));
        }
      }
      std::fprintf(f, "\n");
    }
  }

  std::map<std::string, Row> medians_;
  std::map<std::string, Row> singles_;
  std::vector<std::string> order_;
  bool failed_ = false;
};

bool fileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

void registerBlocks(benchmark::internal::Benchmark* b) {
  for (std::int64_t n : kBlocks) {
    b->Arg(n);
  }
  b->Unit(benchmark::kNanosecond);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<bench::ModuleArg> modules = bench::takePluginArgs(argc, argv);
  std::string egAmp = bench::kEgAmpPath;
  bench::takeArg(argc, argv, "eg-amp", egAmp);

  bool plainFormat = true;
  if (!bench::initBenchmark(
          argc, argv,
          {"--benchmark_repetitions=5", "--benchmark_display_aggregates_only=true",
           "--benchmark_min_time=0.2"},
          plainFormat)) {
    return 2;
  }

  for (const bench::ModuleArg& m : modules) {
    std::printf("module %s: %s\n", m.name.c_str(), m.path.c_str());
    for (const bench::StageConfig& c : bench::kStageConfigs) {
      registerBlocks(
          benchmark::RegisterBenchmark((m.name + "/" + c.name).c_str(), timeOurs, m.path, &c));
    }
    registerBlocks(
        benchmark::RegisterBenchmark((m.name + "/full-switching").c_str(), timeSwitching, m.path));
  }
  std::printf("gain: plain out = in * g loop in a module of our own, %s\n", BENCH_GAIN_PATH);
  registerBlocks(benchmark::RegisterBenchmark("gain", timeGain, std::string(BENCH_GAIN_PATH)));
  if (fileExists(egAmp)) {
    std::printf("eg-amp: LV2's example amplifier, %s\n", egAmp.c_str());
    registerBlocks(benchmark::RegisterBenchmark("eg-amp", timeGain, egAmp));
  } else {
    std::printf(
        "eg-amp: not found at %s (Debian package lv2-examples); the gain module stands in\n",
        egAmp.c_str());
  }
  std::fflush(stdout);

  if (!plainFormat) {
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
  }
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printSummary(stdout);
  benchmark::Shutdown();
  if (reporter.failed()) {
    std::fprintf(stderr, "bench_plugin: some benchmarks failed\n");
    return 1;
  }
  return 0;
}
