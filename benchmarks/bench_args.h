// What the programs that time with Google Benchmark share: its command line
// behind our defaults, and an instance of a module to time.
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_common.h"

namespace bench {

// Loads the module at `path` and instantiates it at kRate with `config`, as a
// host would, then hands the instance to `timed`; skips the benchmark, saying
// why, when either fails.
template <class Timed>
void withInstance(benchmark::State& state, const std::string& path, const StageConfig& config,
                  Timed timed) {
  PluginModule module(path.c_str());
  if (!module.loaded()) {
    state.SkipWithError(("cannot load " + path).c_str());
    return;
  }
  PluginInstance plugin(module, kRate);
  if (!plugin.ok()) {
    state.SkipWithError("instantiate failed");
    return;
  }
  applyStageConfig(plugin, config);
  timed(plugin);
}

// Hands argv to Google Benchmark behind our defaults, so that the same flags
// given on the command line win. False on a flag it does not know;
// `plainFormat` says whether the console table is printed (our summaries
// follow it only then).
inline bool initBenchmark(int argc, char** argv, const std::vector<std::string>& defaults,
                          bool& plainFormat) {
  static std::vector<std::string> storage;
  storage.assign(1, argv[0]);
  storage.insert(storage.end(), defaults.begin(), defaults.end());
  plainFormat = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--benchmark_format=", 0) == 0 && a != "--benchmark_format=console") {
      plainFormat = false;
    }
    storage.push_back(a);
  }
  static std::vector<char*> args;
  args.clear();
  for (std::string& s : storage) {
    args.push_back(s.data());
  }
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  return !benchmark::ReportUnrecognizedArguments(n, args.data());
}

}  // namespace bench
