// Boost: flat gain of d dB plus a d/4 dB peak at 250 Hz. The total is
// measured the way the stage runs it: section output rounded to float, then
// scaled by the flat gain.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "chain_rig.h"
#include "response.h"

namespace {

// The boost alone in the chain, at a chosen rate.
struct Boost : ChainRig {
  Biquad& peak = boost;
  float& gain = boostGain;
  float& db = boostDb;
  bool& peakOn = boostPeakInBand;

  explicit Boost(double rate = 48000.0) : ChainRig(rate) { controls.boostOn = true; }
  Boost(const Boost& o) : ChainRig(o) {}
  // Block start with boost_db = d.
  void set(float d) {
    controls.boostDb = d;
    prepare();
  }
};

double totalDb(Boost b, double f, double fs) {
  return response::toDb(
      response::measureGain([&b](float x) { return b.process(x); }, f, fs, 20000, 20000));
}

TEST(Boost, ZeroDbIsTransparent) {
  Boost b;
  b.set(0.0f);
  EXPECT_EQ(b.gain, 1.0f);
  EXPECT_TRUE(response::isIdentityDesign(b.peak));
  for (double f : {30.0, 250.0, 4000.0}) {
    EXPECT_NEAR(totalDb(b, f, 48000.0), 0.0, 1e-5) << f << " Hz";
  }
}

TEST(Boost, TwelveDbAt48k) {
  Boost b;
  b.set(12.0f);
  EXPECT_NEAR(b.gain, 3.981f, 1e-3f);
  const double at250 = totalDb(b, 250.0, 48000.0);
  const double low = totalDb(b, 5.0, 48000.0);
  const double high = totalDb(b, 20000.0, 48000.0);
  std::printf("  boost 12 dB: 5 Hz %.4f, 250 Hz %.4f, 20 kHz %.4f dB\n", low, at250, high);
  EXPECT_NEAR(at250, 15.0, 1e-3);
  EXPECT_NEAR(low, 12.0, 0.01);
  EXPECT_NEAR(high, 12.0, 0.01);
  // The emphasis falls away on both sides of 250 Hz.
  EXPECT_GT(totalDb(b, 100.0, 48000.0), totalDb(b, 40.0, 48000.0));
  EXPECT_GT(totalDb(b, 1000.0, 48000.0), totalDb(b, 5000.0, 48000.0));
  EXPECT_GT(at250, totalDb(b, 1000.0, 48000.0));
}

TEST(Boost, MinusEightDb) {
  Boost b;
  b.set(-8.0f);
  EXPECT_NEAR(b.gain, 0.398f, 1e-3f);
  EXPECT_NEAR(totalDb(b, 250.0, 48000.0), -10.0, 1e-3);
  EXPECT_NEAR(response::magnitudeDb(b.peak, 250.0, 48000.0), -2.0, 1e-6);
}

// At any setting and rate the section peaks at d/4 dB, exactly at 250 Hz, on
// a flat gain of d dB.
TEST(Boost, PeakIsAQuarterOfTheBoostAt250Hz) {
  std::mt19937 rng(response::sweepSeed("Boost.PeakIsAQuarterOfTheBoostAt250Hz"));
  const float rates[] = {22050.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f};
  for (int i = 0; i < 100; ++i) {
    const float fs = rates[std::uniform_int_distribution<int>(0, 4)(rng)];
    const float d = static_cast<float>(response::uniform(rng, -24.0, 24.0));
    SCOPED_TRACE("fs " + std::to_string(fs) + " d " + std::to_string(d));
    Boost b(static_cast<double>(fs));
    b.set(d);
    const double dd = static_cast<double>(d);
    const double fsd = static_cast<double>(fs);
    EXPECT_NEAR(response::magnitudeDb(b.peak, 250.0, fsd), dd / 4, 1e-6);
    EXPECT_LT(response::magnitudeDb(b.peak, 240.0, fsd) * dd, dd * dd / 4);
    EXPECT_LT(response::magnitudeDb(b.peak, 260.0, fsd) * dd, dd * dd / 4);
    EXPECT_NEAR(response::magnitudeDb(b.peak, 0.0, fsd), 0.0, 1e-6);
    // Width as well as height: the whole curve is a Q 0.7 peak.
    EXPECT_LT(
        response::maxDifferenceDb(b.peak, response::textbookPeak(250.0, 0.7, dd / 4, fsd), fsd),
        1e-6);
    EXPECT_NEAR(response::toDb(static_cast<double>(b.gain)), dd, 1e-5);
  }
}

TEST(Boost, RefreshRedesignsOnlyOnChange) {
  Boost b;
  b.set(6.0f);
  for (int n = 0; n < 300; ++n) {
    b.process(static_cast<float>(std::sin(0.03 * n)));
  }
  const double z1 = b.peak.z1;
  const double z2 = b.peak.z2;
  const double sentinel = 12345.0;
  b.peak.b0 = sentinel;
  b.gain = 7.0f;
  b.set(6.0f);
  EXPECT_EQ(b.peak.b0, sentinel);
  EXPECT_EQ(b.gain, 7.0f);

  b.set(3.0f);
  EXPECT_NE(b.peak.b0, sentinel);
  EXPECT_EQ(b.db, 3.0f);
  EXPECT_NEAR(b.gain, 1.4125f, 1e-4f);
  EXPECT_EQ(b.peak.z1, z1);
  EXPECT_EQ(b.peak.z2, z2);

  b.peak.b0 = sentinel;
  b.fields().boost.refresh(44100.0f, 3.0f);
  EXPECT_NE(b.peak.b0, sentinel);
  EXPECT_EQ(b.boostRate, 44100.0);
  EXPECT_NEAR(response::magnitudeDb(b.peak, 250.0, 44100.0), 0.75, 1e-6);
}

// With 250 Hz at or above Nyquist the peak is left out and only the flat gain
// remains; its coefficients are not rewritten.
TEST(Boost, PeakLeftOutAtOrAboveNyquist) {
  Boost b;
  b.set(6.0f);
  EXPECT_TRUE(b.peakOn);
  const Biquad designed = b.peak;
  b.fields().boost.refresh(500.0f, 12.0f);
  EXPECT_FALSE(b.peakOn);
  EXPECT_NEAR(b.gain, 3.981f, 1e-3f);
  EXPECT_EQ(b.peak.b0, designed.b0);
  EXPECT_EQ(b.peak.a2, designed.a2);
  b.fields().boost.refresh(502.0f, 12.0f);
  EXPECT_TRUE(b.peakOn);
  EXPECT_NEAR(response::magnitudeDb(b.peak, 250.0, 502.0), 3.0, 1e-6);
}

}  // namespace
