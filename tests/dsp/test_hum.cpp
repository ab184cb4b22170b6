// Hum notch bank: six notches at the mains frequency and its harmonics, run
// as a float-rounded cascade. Nulls and pass-band figures are measured with
// steady sines and checked against the analytic cascade.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "chain_rig.h"
#include "dsp/hum_tracker.h"
#include "response.h"

namespace {

constexpr double kFs = 48000.0;
// Q 18 at 60 Hz decays by e per ~4600 samples; two seconds leave the
// transient far below anything measured here.
constexpr int kSettle = 96000;
constexpr int kMeasure = 24000;

// The hum bank alone in the chain.
struct Bank : ChainRig {
  std::int32_t& count = humCount;

  explicit Bank(double fs = kFs) : ChainRig(fs) {
    controls.humOn = true;
    prepare();
  }
  Bank(const Bank& o) : ChainRig(o) {}
  // Block start with the mains at f (50 or 60).
  void refresh(float f) {
    controls.mains50 = f == 50.0f;
    prepare();
  }
};

double analyticDb(const Bank& b, double f) {
  double m = 1.0;
  for (int k = 0; k < b.count; ++k) {
    m *= response::magnitude(b.hum[k], f, kFs);
  }
  return response::toDb(m);
}

double measuredDb(Bank b, double f, double fs = kFs) {
  return response::toDb(
      response::measureGain([&b](float x) { return b.process(x); }, f, fs, kSettle, kMeasure));
}

// Every section the bank runs nulls its own harmonic; the cascade drives a
// steady sine there towards silence.
void expectNullsAt(const Bank& bank, double mains, double fs = kFs) {
  for (int k = 1; k <= bank.count; ++k) {
    const double f = mains * k;
    SCOPED_TRACE(std::to_string(f) + " Hz at " + std::to_string(fs));
    const Biquad& s = bank.hum[k - 1];
    EXPECT_EQ(s.b0, s.b2);
    EXPECT_EQ(s.b1, s.a1);
    EXPECT_LT(response::magnitude(s, f, fs), 1e-7);
    const double db = measuredDb(bank, f, fs);
    std::printf("  hum %g Hz mains at %g Hz: %g Hz steady gain %.1f dB\n", mains, fs, f, db);
    EXPECT_LT(db, -60.0);
  }
}

TEST(HumBank, Nulls60HzAndHarmonicsAt48k) {
  const Bank bank;
  ASSERT_EQ(bank.count, kHumSections);
  expectNullsAt(bank, 60.0);
}

// At very low rates only the harmonics below Nyquist get a section; the
// ones that remain still null.
TEST(HumBank, KeepsOnlyHarmonicsBelowNyquist) {
  Bank low(600.0);
  EXPECT_EQ(low.count, 4);
  expectNullsAt(low, 60.0, 600.0);
  low.refresh(50.0f);
  EXPECT_EQ(low.count, 5);
  expectNullsAt(low, 50.0, 600.0);
  // A harmonic exactly at Nyquist is left out too.
  EXPECT_EQ(Bank(720.0).count, 5);
}

TEST(HumBank, PassBandAt48k) {
  const Bank bank;
  const double at420 = measuredDb(bank, 420.0);
  const double at1k = measuredDb(bank, 1000.0);
  std::printf("  hum 60 Hz: 420 Hz %.4f dB, 1 kHz %.4f dB\n", at420, at1k);
  EXPECT_NEAR(at420, -0.18, 0.005);
  EXPECT_NEAR(at1k, 0.0, 0.01);

  // DC passes at unity: a held value comes out as the same float.
  Bank dc;
  float y = 0.0f;
  for (int n = 0; n < kSettle; ++n) {
    y = dc.process(0.375f);
  }
  EXPECT_NEAR(y, 0.375f, 1e-7f);
  EXPECT_NEAR(analyticDb(bank, 0.0), 0.0, 1e-9);
}

// The rounded cascade tracks the analytic product of its six sections.
TEST(HumBank, MeasuredMatchesAnalytic) {
  std::mt19937 rng(response::sweepSeed("HumBank.MeasuredMatchesAnalytic"));
  const Bank bank;
  for (int i = 0; i < 12; ++i) {
    // Keep 2 Hz clear of every notch, where the gain is too deep to compare in dB.
    double f = 0.0;
    do {
      f = response::uniform(rng, 20.0, 2000.0);
    } while (std::fabs(f - 60.0 * std::round(f / 60.0)) < 2.0 && f < 370.0);
    SCOPED_TRACE(std::to_string(f) + " Hz");
    EXPECT_NEAR(measuredDb(bank, f), analyticDb(bank, f), 1e-3);
  }
}

TEST(HumBank, RefreshTo50HzMovesTheNulls) {
  Bank bank;
  bank.refresh(50.0f);
  EXPECT_EQ(bank.humHz, 50.0f);
  ASSERT_EQ(bank.count, kHumSections);
  expectNullsAt(bank, 50.0);
  // 60 Hz now lies several notch bandwidths from the nearest null.
  EXPECT_GT(measuredDb(bank, 60.0), -1.0);

  bank.refresh(60.0f);
  EXPECT_EQ(bank.humHz, 60.0f);
  ASSERT_EQ(bank.count, kHumSections);
  expectNullsAt(bank, 60.0);
}

TEST(HumBank, SameMainsFrequencyDoesNotRedesign) {
  Bank bank;
  const double sentinel = 12345.0;
  bank.hum[0].b0 = sentinel;
  bank.hum[5].a2 = sentinel;
  bank.refresh(60.0f);
  EXPECT_EQ(bank.hum[0].b0, sentinel);
  EXPECT_EQ(bank.hum[5].a2, sentinel);
  EXPECT_EQ(bank.humHz, 60.0f);

  bank.refresh(50.0f);
  EXPECT_NE(bank.hum[0].b0, sentinel);
  EXPECT_NE(bank.hum[5].a2, sentinel);
  bank.hum[2].b1 = sentinel;
  bank.refresh(50.0f);
  EXPECT_EQ(bank.hum[2].b1, sentinel);
}

// Switching mains redesigns all six sections and keeps every state word; the
// bank then runs the new coefficients from that state.
TEST(HumBank, RedesignKeepsState) {
  Bank bank;
  for (int n = 0; n < 1000; ++n) {
    bank.process(static_cast<float>(0.5 * std::sin(2 * response::kPi * 60.0 * n / kFs) +
                                    0.2 * std::sin(2 * response::kPi * 700.0 * n / kFs)));
  }
  Biquad before[kHumSections];
  for (int k = 0; k < kHumSections; ++k) {
    before[k] = bank.hum[k];
    ASSERT_NE(before[k].z1, 0.0);
  }
  bank.refresh(50.0f);

  Bank fresh50;
  fresh50.refresh(50.0f);
  for (int k = 0; k < kHumSections; ++k) {
    EXPECT_EQ(bank.hum[k].z1, before[k].z1);
    EXPECT_EQ(bank.hum[k].z2, before[k].z2);
    EXPECT_EQ(bank.hum[k].b1, fresh50.hum[k].b1);
    EXPECT_NE(bank.hum[k].b1, before[k].b1);
    fresh50.hum[k].z1 = before[k].z1;
    fresh50.hum[k].z2 = before[k].z2;
  }
  for (int n = 0; n < 200; ++n) {
    const float x = static_cast<float>(std::cos(0.01 * n));
    ASSERT_EQ(bank.process(x), fresh50.process(x)) << "sample " << n;
  }
}

}  // namespace

// The tracker's own sine, cosine and angle (the same bits on every machine)
// agree with the C library's to rounding, in every quadrant and at any scale.
TEST(HumTracker, OwnSineCosineAndAngleMatchTheLibrary) {
  for (int k = -720; k <= 720; ++k) {
    const double a = 3.141592653589793 * k / 720.0;
    double s = 0.0;
    double c = 0.0;
    trackerSinCos(a, s, c);
    ASSERT_NEAR(s, std::sin(a), 1e-15) << a;
    ASSERT_NEAR(c, std::cos(a), 1e-15) << a;
    for (double r : {1e-200, 1.0, 1e200}) {
      const double y = r * std::sin(a);
      const double x = r * std::cos(a);
      ASSERT_NEAR(trackerAtan2(y, x), std::atan2(y, x), 1e-15) << a << " " << r;
    }
  }
  EXPECT_EQ(trackerAtan2(0.0, 0.0), 0.0);
  EXPECT_EQ(trackerAtan2(std::nan(""), 1.0), 0.0);
  EXPECT_EQ(trackerAtan2(1.0, HUGE_VAL), 0.0);
}
