// Google Benchmark's command line for the programs that time with it.
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace bench {

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
