// Does silence cost more than signal? Runs the full chain's sections on one
// second of loud noise, then on digital silence, and prints per stretch of
// silence: the largest state word, how many state words are subnormal or
// exactly zero, and the time per sample of the reference and the best kernel.
//
//   silence_study [SECONDS_OF_SILENCE]   (default 240)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "full_chain.h"
#include "test_support.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 240;
  constexpr std::uint32_t kBlock = 256;
  constexpr std::uint32_t kRate = 48000;
  const CascadeKernel kernels[] = {CascadeKernel::Reference, bestCascadeKernel()};
  std::printf("kernel 0 = reference (straightforward), kernel %d = best on this CPU\n",
              static_cast<int>(kernels[1]));
  std::printf("%8s %12s %10s %6s %14s %14s\n", "silence", "largest|z|", "subnormal", "zero",
              "ns/sample k0", "ns/sample best");
  FullChain chains[2];
  std::vector<float> loud(kBlock);
  std::vector<float> silence(kBlock, 0.0f);
  std::vector<float> out(kBlock);
  Xorshift rng(3);
  for (std::uint32_t b = 0; b < kRate / kBlock; ++b) {
    for (float& x : loud) {
      x = rng.uniform();
    }
    for (int k = 0; k < 2; ++k) {
      chains[k].run(chains[k].plan, loud.data(), out.data(), kBlock, kernels[k]);
    }
  }
  const int step = seconds >= 40 ? 10 : 1;
  for (int s = 0; s < seconds; s += step) {
    double ns[2] = {0.0, 0.0};
    for (int k = 0; k < 2; ++k) {
      const auto t0 = std::chrono::steady_clock::now();
      for (std::uint32_t b = 0; b < static_cast<std::uint32_t>(step) * kRate / kBlock; ++b) {
        chains[k].run(chains[k].plan, silence.data(), out.data(), kBlock, kernels[k]);
      }
      const auto t1 = std::chrono::steady_clock::now();
      ns[k] = std::chrono::duration<double, std::nano>(t1 - t0).count() /
              (static_cast<double>(step) * kRate);
    }
    const StateCensus c = census(chains[0].plan);
    std::printf("%7ds %12.3g %10d %6d %14.2f %14.2f\n", s + step, c.largest, c.subnormal, c.zero,
                ns[0], ns[1]);
  }
  return 0;
}
