// The second-order section on its own: exact identities of the designs,
// measured against the analytic response, state carried over a redesign.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <string>

#include "dsp/biquad.h"
#include "response.h"

namespace {

constexpr double kPi = 3.141592653589793;

Biquad fresh() {
  Biquad b{};
  b.clearState();
  return b;
}

void sincosOf(double w0, double& s, double& c) {
  s = std::sin(w0);
  c = std::cos(w0);
}

TEST(Biquad, NotchIdentities) {
  double s = 0;
  double c = 0;
  sincosOf(2 * kPi * 60.0 / 48000.0, s, c);
  Biquad b = fresh();
  b.designNotch(c, s / 36.0);
  EXPECT_EQ(b.b0, b.b2);
  EXPECT_EQ(b.b1, b.a1);
}

TEST(Biquad, PeakAtUnityAmplitudeIsFlat) {
  double s = 0;
  double c = 0;
  sincosOf(2 * kPi * 1000.0 / 48000.0, s, c);
  Biquad b = fresh();
  b.designPeak(c, s / 1.4, 1.0);
  EXPECT_EQ(b.b0, 1.0);
  EXPECT_EQ(b.b1, b.a1);
  // The quotient and the reciprocal product may round one ulp apart.
  EXPECT_LE(std::fabs(b.b2 - b.a2), std::fabs(std::nextafter(b.a2, 2.0) - b.a2));
}

}  // namespace

namespace {

using response::analytic;
using response::magnitude;
using response::magnitudeDb;

constexpr double kRates[] = {44100.0, 48000.0, 96000.0, 192000.0};

struct Design {
  double fs;
  double f;
  double c;
  double s;
};

Design randomDesign(std::mt19937& rng, double fLo, double nyquistShare) {
  Design d{};
  d.fs = kRates[std::uniform_int_distribution<int>(0, 3)(rng)];
  d.f = response::uniform(rng, fLo, nyquistShare * d.fs * 0.5);
  sincosOf(2 * kPi * d.f / d.fs, d.s, d.c);
  return d;
}

std::string describe(const Design& d, double q) {
  return "fs " + std::to_string(d.fs) + " f " + std::to_string(d.f) + " Q " + std::to_string(q);
}

TEST(Biquad, NotchNullsItsCentreAndPassesDc) {
  std::mt19937 rng(response::sweepSeed("Biquad.NotchNullsItsCentreAndPassesDc"));
  for (int i = 0; i < 200; ++i) {
    const Design d = randomDesign(rng, 20.0, 0.9);
    const double q = response::uniform(rng, 0.5, 40.0);
    SCOPED_TRACE(describe(d, q));
    Biquad b = fresh();
    b.designNotch(d.c, d.s / (2 * q));
    EXPECT_EQ(b.b0, b.b2);
    EXPECT_EQ(b.b1, b.a1);
    EXPECT_LT(magnitude(b, d.f, d.fs), 1e-6);
    EXPECT_NEAR(magnitude(b, 0.0, d.fs), 1.0, 1e-9);
  }
}

TEST(Biquad, LowpassIsUnityAtDcAndQAtTheCorner) {
  std::mt19937 rng(response::sweepSeed("Biquad.LowpassIsUnityAtDcAndQAtTheCorner"));
  for (int i = 0; i < 200; ++i) {
    const Design d = randomDesign(rng, 20.0, 0.9);
    const double q = response::uniform(rng, 0.3, 10.0);
    SCOPED_TRACE(describe(d, q));
    Biquad b = fresh();
    b.designLowpass(d.c, d.s / (2 * q));
    EXPECT_NEAR(magnitude(b, 0.0, d.fs), 1.0, 1e-9);
    EXPECT_NEAR(magnitude(b, d.f, d.fs) / q, 1.0, 1e-9);
    // Double zero at Nyquist, exactly: b0 - b1 + b2 cancels without rounding.
    EXPECT_EQ(b.b0, b.b2);
    EXPECT_EQ(b.b1, 2.0 * b.b0);
  }
  // Q = 1/sqrt(2) is the Butterworth case: -3.01 dB at the corner and no
  // overshoot anywhere below Nyquist.
  double s = 0;
  double c = 0;
  sincosOf(2 * kPi * 3000.0 / 48000.0, s, c);
  Biquad b = fresh();
  b.designLowpass(c, s / (2 * 0.7071067811865476));
  EXPECT_NEAR(magnitudeDb(b, 3000.0, 48000.0), -3.0103, 1e-4);
  double prev = magnitude(b, 0.0, 48000.0);
  for (double f = 10.0; f < 24000.0; f += 10.0) {
    const double m = magnitude(b, f, 48000.0);
    ASSERT_LE(m, prev + 1e-12) << f << " Hz";
    prev = m;
  }
}

// A = 10^(g/40): a peak reaches A^2 (g dB) at its centre and is flat at DC and
// Nyquist; a shelf reaches A^2 on its own side, A (g/2 dB) at its corner and
// stays at unity on the other side. A design with -g is the exact inverse.
TEST(Biquad, PeakAndShelfGainsFollowA) {
  std::mt19937 rng(response::sweepSeed("Biquad.PeakAndShelfGainsFollowA"));
  for (int i = 0; i < 200; ++i) {
    const Design d = randomDesign(rng, 30.0, 0.8);
    const double q = response::uniform(rng, 0.3, 5.0);
    const double g = response::uniform(rng, -18.0, 18.0);
    SCOPED_TRACE(describe(d, q) + " g " + std::to_string(g));
    const double nyq = d.fs / 2;
    const double A = std::pow(10.0, g / 40);
    const double beta = d.s * (std::pow(10.0, g / 80) * 1.4142135623730951);
    const double betaInv = d.s * (std::pow(10.0, -g / 80) * 1.4142135623730951);

    Biquad peak = fresh();
    peak.designPeak(d.c, d.s / (2 * q), A);
    EXPECT_NEAR(magnitudeDb(peak, d.f, d.fs), g, 1e-6);
    EXPECT_NEAR(magnitudeDb(peak, 0.0, d.fs), 0.0, 1e-6);
    EXPECT_NEAR(magnitudeDb(peak, nyq, d.fs), 0.0, 1e-6);

    Biquad lo = fresh();
    lo.designLowShelf(d.c, A, beta);
    EXPECT_NEAR(magnitudeDb(lo, 0.0, d.fs), g, 1e-6);
    EXPECT_NEAR(magnitudeDb(lo, d.f, d.fs), g / 2, 1e-6);
    EXPECT_NEAR(magnitudeDb(lo, nyq, d.fs), 0.0, 1e-6);

    Biquad hi = fresh();
    hi.designHighShelf(d.c, A, beta);
    EXPECT_NEAR(magnitudeDb(hi, 0.0, d.fs), 0.0, 1e-6);
    EXPECT_NEAR(magnitudeDb(hi, d.f, d.fs), g / 2, 1e-6);
    EXPECT_NEAR(magnitudeDb(hi, nyq, d.fs), g, 1e-6);

    Biquad peakInv = fresh();
    peakInv.designPeak(d.c, d.s / (2 * q), 1 / A);
    Biquad loInv = fresh();
    loInv.designLowShelf(d.c, 1 / A, betaInv);
    Biquad hiInv = fresh();
    hiInv.designHighShelf(d.c, 1 / A, betaInv);
    const double probe = response::uniform(rng, 0.0, nyq);
    EXPECT_NEAR(std::abs(analytic(peak, probe, d.fs) * analytic(peakInv, probe, d.fs)), 1.0, 1e-9);
    EXPECT_NEAR(std::abs(analytic(lo, probe, d.fs) * analytic(loInv, probe, d.fs)), 1.0, 1e-9);
    EXPECT_NEAR(std::abs(analytic(hi, probe, d.fs) * analytic(hiInv, probe, d.fs)), 1.0, 1e-9);
  }
}

// With A = 1 the three amplitude designs collapse to a pass-through section.
TEST(Biquad, UnitAmplitudeDesignsPassTheSignal) {
  std::mt19937 rng(response::sweepSeed("Biquad.UnitAmplitudeDesignsPassTheSignal"));
  for (int i = 0; i < 100; ++i) {
    const Design d = randomDesign(rng, 20.0, 0.95);
    const double q = response::uniform(rng, 0.3, 5.0);
    SCOPED_TRACE(describe(d, q));
    Biquad sections[3] = {fresh(), fresh(), fresh()};
    sections[0].designPeak(d.c, d.s / (2 * q), 1.0);
    sections[1].designLowShelf(d.c, 1.0, d.s * 1.4142135623730951);
    sections[2].designHighShelf(d.c, 1.0, d.s * 1.4142135623730951);
    for (Biquad& b : sections) {
      EXPECT_TRUE(response::isIdentityDesign(b));
      double worst = 0.0;
      for (int n = 0; n < 2000; ++n) {
        const double x = static_cast<double>(static_cast<float>(response::uniform(rng, -1, 1)));
        worst = std::max(worst, std::fabs(b.process(x) - x));
      }
      EXPECT_LT(worst, 1e-12);
    }
  }
}

// The recursion realises the transfer function its coefficients describe:
// the DFT of the impulse response (double throughout) and the steady-state
// sine gain (rounded to float on the way out) both match the analytic H.
TEST(Biquad, MeasuredResponseMatchesAnalytic) {
  std::mt19937 rng(response::sweepSeed("Biquad.MeasuredResponseMatchesAnalytic"));
  for (int i = 0; i < 40; ++i) {
    const Design d = randomDesign(rng, 200.0, 0.9);
    const double q = response::uniform(rng, 0.5, 4.0);
    const double g = response::uniform(rng, -12.0, 12.0);
    const double A = std::pow(10.0, g / 40);
    const double beta = d.s * (std::pow(10.0, g / 80) * 1.4142135623730951);
    Biquad designs[5] = {fresh(), fresh(), fresh(), fresh(), fresh()};
    designs[0].designNotch(d.c, d.s / (2 * q));
    designs[1].designLowpass(d.c, d.s / (2 * q));
    designs[2].designPeak(d.c, d.s / (2 * q), A);
    designs[3].designLowShelf(d.c, A, beta);
    designs[4].designHighShelf(d.c, A, beta);
    for (int k = 0; k < 5; ++k) {
      const double probe = response::uniform(rng, 0.0, 0.98 * d.fs / 2);
      SCOPED_TRACE(describe(d, q) + " g " + std::to_string(g) + " design " + std::to_string(k) +
                   " probe " + std::to_string(probe));
      const std::complex<double> want = analytic(designs[k], probe, d.fs);

      Biquad b = designs[k];
      const std::complex<double> step = std::polar(1.0, -2 * kPi * probe / d.fs);
      std::complex<double> phasor = 1.0;
      std::complex<double> dft = 0.0;
      for (int n = 0; n < 40000; ++n) {
        dft += b.process(n == 0 ? 1.0 : 0.0) * phasor;
        phasor *= step;
      }
      EXPECT_LT(std::abs(dft - want), 1e-9 * std::max(1.0, std::abs(want)));

      Biquad s = designs[k];
      const double measured =
          response::measureGain(response::sectionStep(s), probe, d.fs, 20000, 20000);
      EXPECT_NEAR(measured, std::abs(want), 1e-5 * std::max(1.0, std::abs(want)));
    }
  }
}

// A redesign between two samples rewrites the coefficients only: the state
// words stay, and the next sample runs the new coefficients over them.
TEST(Biquad, RedesignCarriesStateOver) {
  double s = 0;
  double c = 0;
  sincosOf(2 * kPi * 500.0 / 48000.0, s, c);
  Biquad b = fresh();
  b.designPeak(c, s / 2.0, std::pow(10.0, 6.0 / 40));
  for (int n = 0; n < 37; ++n) {
    b.process(std::sin(0.3 * n));
  }
  const double z1 = b.z1;
  const double z2 = b.z2;
  ASSERT_NE(z1, 0.0);
  ASSERT_NE(z2, 0.0);

  sincosOf(2 * kPi * 3000.0 / 48000.0, s, c);
  b.designLowpass(c, s / 1.4);
  EXPECT_EQ(b.z1, z1);
  EXPECT_EQ(b.z2, z2);

  Biquad reference = fresh();
  reference.designLowpass(c, s / 1.4);
  reference.z1 = z1;
  reference.z2 = z2;
  const double x = 0.25;
  EXPECT_EQ(b.process(x), reference.b0 * x + z1);
  // The rest of the sequence follows the new design from that state.
  reference.process(x);
  for (int n = 0; n < 100; ++n) {
    const double in = std::cos(0.1 * n);
    EXPECT_EQ(b.process(in), reference.process(in));
  }
}

TEST(DbToGain, KnownPoints) {
  EXPECT_EQ(dbToGain(0.0f), 1.0f);
  EXPECT_NEAR(dbToGain(20.0f), 10.0f, 1e-5f);
  EXPECT_NEAR(dbToGain(-6.0206f), 0.5f, 1e-6f);
  for (float d = -60.0f; d <= 24.0f; d += 0.25f) {
    const double want = std::pow(10.0, static_cast<double>(d) / 20);
    EXPECT_NEAR(static_cast<double>(dbToGain(d)) / want, 1.0, 2e-6) << d << " dB";
  }
}

}  // namespace
