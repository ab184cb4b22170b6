// Resonant low-pass blend: one amount t sets the corner, the resonance and
// the wet share. The design is checked through its analytic response against
// a low-pass built here from the corner and Q the amount should give.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <string>

#include "chain_rig.h"
#include "response.h"

namespace {

constexpr double kFs = 48000.0;

// The low-pass blend alone in the chain.
struct Blend : ChainRig {
  Biquad& lp = lowpass;
  float& amount = lowpassAmount;
  float& mix = lowpassMix;
  bool& inBand = lowpassInBand;

  explicit Blend(double rate = kFs) : ChainRig(rate) {}
  Blend(const Blend& o) : ChainRig(o) {}
  // Block start with lowpass_amount = t.
  void refresh(float t) {
    controls.lowpassAmount = t;
    prepare();
  }
};

void expectSameResponse(const Biquad& got, double fc, double q) {
  EXPECT_LT(response::maxDifferenceDb(got, response::textbookLowpass(fc, q, kFs), kFs), 1e-5)
      << "fc " << fc << " Q " << q;
}

struct Peak {
  double freq;
  double db;
};

Peak findPeak(const Biquad& b) {
  Peak p{0.0, response::magnitudeDb(b, 0.0, kFs)};
  for (double f = 1.0; f < kFs / 2; f += 1.0) {
    const double db = response::magnitudeDb(b, f, kFs);
    if (db > p.db) {
      p = {f, db};
    }
  }
  return p;
}

TEST(LowpassBlend, PointTenth) {
  Blend b;
  b.refresh(0.1f);
  EXPECT_EQ(b.amount, 0.1f);
  EXPECT_EQ(b.mix, 0.4f);
  EXPECT_TRUE(b.inBand);
  // A cookbook low-pass reaches exactly Q at its corner.
  EXPECT_NEAR(response::magnitude(b.lp, 3190.0, kFs), 2.04, 1e-6);
  expectSameResponse(b.lp, 3190.0, 2.04);

  // The stage output is dry + (wet - dry) * 0.4, measured with steady sines.
  for (double f : {200.0, 2500.0, 3190.0, 8000.0}) {
    const std::complex<double> h = response::analytic(b.lp, f, kFs);
    const double want = std::abs(0.6 + 0.4 * h);
    Blend run = b;
    const double got =
        response::measureGain([&run](float x) { return run.process(x); }, f, kFs, 20000, 20000);
    EXPECT_NEAR(got, want, 1e-5) << f << " Hz";
  }
}

TEST(LowpassBlend, QuarterIsFullyWet) {
  Blend b;
  b.refresh(0.25f);
  EXPECT_EQ(b.mix, 1.0f);
  EXPECT_NEAR(response::magnitude(b.lp, 3025.0, kFs), 1.8, 1e-6);
  expectSameResponse(b.lp, 3025.0, 1.8);

  const Peak p = findPeak(b.lp);
  std::printf("  low-pass t 0.25: peak %.0f Hz, %.3f dB\n", p.freq, p.db);
  EXPECT_NEAR(p.db, 5.5, 0.1);
  EXPECT_NEAR(p.freq, 2800.0, 50.0);
  Blend run = b;
  EXPECT_NEAR(response::toDb(response::measureGain([&run](float x) { return run.process(x); },
                                                   p.freq, kFs, 20000, 20000)),
              p.db, 1e-4);

  // Fully wet, the blend is the section's own output up to float rounding.
  Blend wet = b;
  Biquad bare = b.lp;
  for (int n = 0; n < 2000; ++n) {
    const float x = static_cast<float>(0.5 * std::sin(0.37 * n));
    const float want = static_cast<float>(bare.process(static_cast<double>(x)));
    ASSERT_NEAR(wet.process(x), want, 1e-7f) << "sample " << n;
  }

  Blend above;
  above.refresh(std::nextafter(0.25f, 1.0f));
  EXPECT_EQ(above.mix, 1.0f);
  above.refresh(0.6f);
  EXPECT_EQ(above.mix, 1.0f);
  Blend below;
  below.refresh(std::nextafter(0.25f, 0.0f));
  EXPECT_LT(below.mix, 1.0f);
  EXPECT_GT(below.mix, 0.9999f);
}

// Unity at DC for every amount; the resonance shrinks and moves away from the
// corner as t grows, and is gone once Q falls below 1/sqrt(2).
TEST(LowpassBlend, ResponseShapeAcrossTheRange) {
  double lastPeakDb = 1e9;
  double lastRatio = 2.0;
  for (float t : {0.01f, 0.1f, 0.25f, 0.5f, 0.75f, 0.9f}) {
    SCOPED_TRACE("t " + std::to_string(t));
    Blend b;
    b.refresh(t);
    EXPECT_NEAR(response::magnitude(b.lp, 0.0, kFs), 1.0, 1e-9);
    const Peak p = findPeak(b.lp);
    const double fc = 3300.0 - 1100.0 * static_cast<double>(t);
    EXPECT_GT(p.db, 0.0);
    EXPECT_LT(p.db, lastPeakDb);
    EXPECT_LT(p.freq / fc, lastRatio);
    lastPeakDb = p.db;
    lastRatio = p.freq / fc;

    Blend held = b;
    float y = 0.0f;
    for (int n = 0; n < 4000; ++n) {
      y = held.process(0.25f);
    }
    EXPECT_NEAR(y, 0.25f, 1e-7f);
  }
  for (float t : {0.95f, 1.0f}) {
    SCOPED_TRACE("t " + std::to_string(t));
    Blend b;
    b.refresh(t);
    EXPECT_NEAR(response::magnitude(b.lp, 0.0, kFs), 1.0, 1e-9);
    double prev = response::magnitude(b.lp, 0.0, kFs);
    for (double f = 5.0; f < kFs / 2; f += 5.0) {
      const double m = response::magnitude(b.lp, f, kFs);
      ASSERT_LE(m, prev + 1e-12) << f << " Hz";
      prev = m;
    }
  }
  Blend top;
  top.refresh(1.0f);
  expectSameResponse(top.lp, 2200.0, 0.6);
}

TEST(LowpassBlend, RefreshRedesignsOnlyOnChange) {
  Blend b;
  b.refresh(0.3f);
  for (int n = 0; n < 300; ++n) {
    b.process(static_cast<float>(std::sin(0.2 * n)));
  }
  const double z1 = b.lp.z1;
  const double z2 = b.lp.z2;
  const double sentinel = 12345.0;
  b.lp.a1 = sentinel;
  b.mix = 0.5f;
  b.refresh(0.3f);
  EXPECT_EQ(b.lp.a1, sentinel);
  EXPECT_EQ(b.mix, 0.5f);

  b.refresh(0.2f);
  EXPECT_NE(b.lp.a1, sentinel);
  EXPECT_EQ(b.amount, 0.2f);
  EXPECT_EQ(b.mix, 0.8f);
  EXPECT_EQ(b.lp.z1, z1);
  EXPECT_EQ(b.lp.z2, z2);

  // Back to 0 is a change too: the stage is marked out of the chain.
  b.refresh(0.0f);
  EXPECT_EQ(b.amount, 0.0f);
  EXPECT_EQ(b.mix, 0.0f);
  EXPECT_EQ(b.lp.z1, z1);
}

// A corner at or above Nyquist leaves the section undesigned and flags it
// out of band; the mix still follows the amount.
TEST(LowpassBlend, CornerAtOrAboveNyquistIsOutOfBand) {
  Blend b(6000.0);
  b.refresh(0.5f);  // 2750 Hz
  const Biquad designed = b.lp;
  b.refresh(0.1f);  // 3190 Hz against a 3000 Hz Nyquist
  EXPECT_FALSE(b.inBand);
  EXPECT_EQ(b.mix, 0.4f);
  EXPECT_EQ(b.lp.b0, designed.b0);
  EXPECT_EQ(b.lp.a1, designed.a1);
  b.refresh(0.3f);  // 2970 Hz
  EXPECT_TRUE(b.inBand);
  EXPECT_NEAR(response::magnitude(b.lp, 0.0, 6000.0), 1.0, 1e-9);
}

}  // namespace
