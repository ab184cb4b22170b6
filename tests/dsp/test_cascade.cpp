// Every pipelined kernel must give the reference kernel's output bit for bit,
// and leave every section's state bit for bit as the reference does.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/cascade.h"
#include "test_support.h"

namespace {

constexpr double kPi = 3.141592653589793;

std::uint32_t bits(float x) {
  std::uint32_t u = 0;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

// Same bits, or both NaN (payloads are not part of the contract).
bool same(float a, float b) {
  return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}
bool same(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

struct Setup {
  std::vector<Biquad> sections;
  CascadePlan plan{};
};

// A random but realistic cascade: cookbook designs below Nyquist.
Setup randomSetup(std::mt19937& rng, int count) {
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  Setup s;
  s.sections.resize(static_cast<std::size_t>(count));
  for (Biquad& b : s.sections) {
    const double w0 = kPi * (0.001 + 0.95 * uni(rng));
    const double sn = std::sin(w0);
    const double cs = std::cos(w0);
    const double A = std::pow(10.0, (uni(rng) * 30.0 - 15.0) / 40.0);
    switch (rng() % 5) {
      case 0:
        b.designNotch(cs, sn / 36.0);
        break;
      case 1:
        b.designLowpass(cs, sn / (2.0 * (0.5 + 2.0 * uni(rng))));
        break;
      case 2:
        b.designPeak(cs, sn / (2.0 * (0.5 + 2.0 * uni(rng))), A);
        break;
      case 3:
        b.designLowShelf(cs, A, sn * std::sqrt(A) * std::sqrt(2.0));
        break;
      default:
        b.designHighShelf(cs, A, sn * std::sqrt(A) * std::sqrt(2.0));
        break;
    }
    b.z1 = (uni(rng) - 0.5) * 0.1;
    b.z2 = (uni(rng) - 0.5) * 0.1;
  }
  for (int j = 0; j < count; ++j) {
    s.plan.sections[j] = &s.sections[static_cast<std::size_t>(j)];
    s.plan.gains[j] = (rng() % 3 == 0) ? static_cast<float>(0.25 + 2.0 * uni(rng)) : 1.0f;
  }
  s.plan.count = count;
  s.plan.inputGain = (rng() % 3 == 0) ? static_cast<float>(0.5 + uni(rng)) : 1.0f;
  s.plan.lowpassFirst = rng() % 2 == 0;
  s.plan.lowpassMix = (rng() % 2 == 0) ? 1.0f : static_cast<float>(uni(rng));
  s.plan.outputGain = 1.0f;
  s.plan.levelGain = 1.0f;
  return s;
}

std::vector<float> signal(std::mt19937& rng, std::size_t n, bool withNonFinite) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) {
    x = dist(rng);
  }
  if (n > 0) {
    v[0] = -0.0f;  // the sign of zero must survive every hand-over
  }
  if (withNonFinite && n > 10) {
    v[n / 3] = std::nanf("");
    v[n / 2] = INFINITY;
  }
  return v;
}

void expectSameRun(CascadeKernel kernel, unsigned seed) {
  std::mt19937 rng(seed);
  for (int trial = 0; trial < 60; ++trial) {
    const int count = 1 + static_cast<int>(rng() % kMaxCascade);
    Setup ref = randomSetup(rng, count);
    Setup fast = ref;  // same coefficients and state
    for (int j = 0; j < count; ++j) {
      fast.plan.sections[j] = &fast.sections[static_cast<std::size_t>(j)];
    }
    const bool inPlace = rng() % 2 == 0;
    for (int block = 0; block < 4; ++block) {
      static const std::uint32_t kSizes[] = {0, 1, 2, 3, 7, 16, 31, 64, 100, 257, 1024, 4096};
      const std::uint32_t n = kSizes[rng() % (sizeof kSizes / sizeof kSizes[0])];
      const std::vector<float> in = signal(rng, n, trial % 7 == 3);
      std::vector<float> outRef(n, 99.0f);
      std::vector<float> outFast = inPlace ? in : std::vector<float>(n, 99.0f);
      ref.plan.levelGain = fast.plan.levelGain = (trial % 2 == 0) ? 1.0f : -0.7f;
      runCascade(CascadeKernel::Reference, ref.plan, in.data(), outRef.data(), n);
      runCascade(kernel, fast.plan, inPlace ? outFast.data() : in.data(), outFast.data(), n);
      for (std::uint32_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same(outRef[i], outFast[i]))
            << "seed " << seed << " trial " << trial << " block " << block << " sample " << i
            << " of " << n << ", " << count << " sections: " << std::hexfloat << outRef[i] << " vs "
            << outFast[i];
      }
      for (int j = 0; j < count; ++j) {
        const Biquad& a = ref.sections[static_cast<std::size_t>(j)];
        const Biquad& b = fast.sections[static_cast<std::size_t>(j)];
        ASSERT_TRUE(same(a.z1, b.z1) && same(a.z2, b.z2))
            << "seed " << seed << " trial " << trial << " section " << j << " state differs";
      }
    }
  }
}

// Every plan size with every block size up to past the longest fill and
// drain (the pipelines restore and capture each section's state at steps
// that depend on both), in place and not, with and without the low-pass.
void expectSameShortBlocks(CascadeKernel kernel, unsigned seed) {
  std::mt19937 rng(seed);
  for (int count = 1; count <= kMaxCascade; ++count) {
    for (std::uint32_t n = 0; n <= 80; ++n) {
      Setup ref = randomSetup(rng, count);
      ref.plan.lowpassFirst = (n % 2) == 0;
      ref.plan.levelGain = (n % 3 == 0) ? -0.7f : 1.0f;
      Setup fast = ref;
      for (int j = 0; j < count; ++j) {
        fast.plan.sections[j] = &fast.sections[static_cast<std::size_t>(j)];
      }
      const bool inPlace = (n % 4) < 2;
      const std::vector<float> in = signal(rng, n, n == 77);
      std::vector<float> outRef(n, 99.0f);
      std::vector<float> outFast = inPlace ? in : std::vector<float>(n, 99.0f);
      runCascade(CascadeKernel::Reference, ref.plan, in.data(), outRef.data(), n);
      runCascade(kernel, fast.plan, inPlace ? outFast.data() : in.data(), outFast.data(), n);
      for (std::uint32_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same(outRef[i], outFast[i]))
            << count << " sections, block " << n << ", sample " << i << ": " << std::hexfloat
            << outRef[i] << " vs " << outFast[i];
      }
      for (int j = 0; j < count; ++j) {
        const Biquad& a = ref.sections[static_cast<std::size_t>(j)];
        const Biquad& b = fast.sections[static_cast<std::size_t>(j)];
        ASSERT_TRUE(same(a.z1, b.z1) && same(a.z2, b.z2))
            << count << " sections, block " << n << ": section " << j << " state differs";
      }
    }
  }
}

class CascadeKernels : public ::testing::TestWithParam<CascadeKernel> {};

TEST_P(CascadeKernels, BitIdenticalToReference) {
  const CascadeKernel k = GetParam();
  if (!cascadeKernelSupported(k)) {
    GTEST_SKIP() << "this CPU lacks the instruction set";
  }
  expectSameRun(k, static_cast<unsigned>(testSeed("CascadeKernels", 20261208u)));
}

TEST_P(CascadeKernels, EveryPlanSizeAndShortBlock) {
  const CascadeKernel k = GetParam();
  if (!cascadeKernelSupported(k)) {
    GTEST_SKIP() << "this CPU lacks the instruction set";
  }
  expectSameShortBlocks(k, static_cast<unsigned>(testSeed("CascadeShortBlocks", 20270111u)));
}

INSTANTIATE_TEST_SUITE_P(AllKernels, CascadeKernels,
                         ::testing::Values(CascadeKernel::Sse2, CascadeKernel::Avx2,
                                           CascadeKernel::Avx512, CascadeKernel::Neon));

TEST(CascadeKernels, BestIsSupported) {
  EXPECT_TRUE(cascadeKernelSupported(bestCascadeKernel()));
  EXPECT_TRUE(cascadeKernelSupported(CascadeKernel::Reference));
}

}  // namespace
