// Does silence cost more than signal? Runs the full chain's sections, as the
// plug-in runs them (block end included), on one second of loud noise, then on
// digital silence, and prints after 10, 60 and 120 s of silence (or at the
// given seconds): the largest state word, how many of the 26 state words are
// subnormal or exactly zero, and the time per sample of a silent block against
// a loud one, with the reference and the best kernel.
//
//   silence_study [SECONDS...]   (default 10 60 120)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "full_chain.h"
#include "test_support.h"

namespace {

constexpr std::uint32_t kBlock = 256;
constexpr std::uint32_t kRate = 48000;

struct StateCensus {
  double largest = 0.0;
  int subnormal = 0;
  int zero = 0;
};

StateCensus census(const CascadePlan& plan) {
  StateCensus c;
  for (std::int32_t j = 0; j < plan.count; ++j) {
    for (double z : {plan.sections[j]->z1, plan.sections[j]->z2}) {
      c.largest = std::fmax(c.largest, std::fabs(z));
      if (z == 0.0) {
        ++c.zero;
      } else if (std::fpclassify(z) == FP_SUBNORMAL) {
        ++c.subnormal;
      }
    }
  }
  return c;
}

// ns per sample over `blocks` blocks of `in`.
double timeBlocks(FullChain& chain, CascadeKernel k, const std::vector<float>& in,
                  std::uint32_t blocks) {
  std::vector<float> out(kBlock);
  const auto t0 = std::chrono::steady_clock::now();
  for (std::uint32_t b = 0; b < blocks; ++b) {
    chain.run(chain.plan, in.data(), out.data(), kBlock, k);
  }
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() /
         (static_cast<double>(blocks) * kBlock);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> marks;
  for (int i = 1; i < argc; ++i) {
    marks.push_back(std::atoi(argv[i]));
  }
  if (marks.empty()) {
    marks = {10, 60, 120};
  }
  const CascadeKernel kernels[] = {CascadeKernel::Reference, bestCascadeKernel()};
  std::printf(
      "kernel 0 = reference (straightforward), kernel %d = best on this CPU; "
      "block %u, %u Hz, 13 sections\n",
      static_cast<int>(kernels[1]), kBlock, kRate);
  const std::vector<float> silence(kBlock, 0.0f);
  Xorshift rng(3);
  std::vector<float> loud(kBlock);
  for (int k = 0; k < 2; ++k) {
    FullChain chain;
    double loudNs = 0.0;
    for (std::uint32_t b = 0; b < kRate / kBlock; ++b) {
      for (float& x : loud) {
        x = rng.uniform();
      }
      loudNs += timeBlocks(chain, kernels[k], loud, 1);
    }
    loudNs /= static_cast<double>(kRate / kBlock);
    std::printf("kernel %d, loud noise: %.2f ns/sample\n", static_cast<int>(kernels[k]), loudNs);
    std::printf("%9s %12s %10s %6s %16s %8s\n", "silence", "largest|z|", "subnormal", "zero",
                "silent ns/sample", "/ loud");
    int done = 0;
    for (const int mark : marks) {
      const auto blocks = static_cast<std::uint32_t>((mark - done) * static_cast<int>(kRate) /
                                                     static_cast<int>(kBlock));
      const double ns = timeBlocks(chain, kernels[k], silence, blocks);
      done = mark;
      const StateCensus c = census(chain.plan);
      std::printf("%8ds %12.3g %10d %6d %16.2f %8.2f\n", mark, c.largest, c.subnormal, c.zero, ns,
                  ns / loudNs);
    }
  }
  return 0;
}
