// Frequency-response helpers shared by the filter-section tests: the analytic
// response of a section from its coefficients, and the steady-state gain of any
// float-in/float-out step measured by driving it with a sinusoid.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "dsp/biquad.h"
#include "test_support.h"

namespace response {

constexpr double kPi = 3.141592653589793;

// H(e^jw) at f Hz, straight from the five normalised coefficients.
inline std::complex<double> analytic(const Biquad& b, double f, double fs) {
  const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * f / fs);
  const std::complex<double> z2 = z1 * z1;
  return (b.b0 + b.b1 * z1 + b.b2 * z2) / (1.0 + b.a1 * z1 + b.a2 * z2);
}

inline double magnitude(const Biquad& b, double f, double fs) {
  return std::abs(analytic(b, f, fs));
}

inline double toDb(double g) {
  return 20.0 * std::log10(g);
}

inline double magnitudeDb(const Biquad& b, double f, double fs) {
  return toDb(magnitude(b, f, fs));
}

// Textbook designs from a frequency in Hz, a Q and a gain in dB, computed
// here with plain sin/cos and pow as references for the stages' designs.
inline Biquad textbookPeak(double f, double q, double db, double fs) {
  const double w0 = 2.0 * kPi * f / fs;
  Biquad b{};
  b.designPeak(std::cos(w0), std::sin(w0) / (2.0 * q), std::pow(10.0, db / 40.0));
  return b;
}

// Shelf of slope 1: beta = sin w0 * sqrt(2A).
inline Biquad textbookShelf(bool high, double f, double db, double fs) {
  const double w0 = 2.0 * kPi * f / fs;
  const double A = std::pow(10.0, db / 40.0);
  const double beta = std::sin(w0) * std::sqrt(2.0 * A);
  Biquad b{};
  if (high) {
    b.designHighShelf(std::cos(w0), A, beta);
  } else {
    b.designLowShelf(std::cos(w0), A, beta);
  }
  return b;
}

inline Biquad textbookLowpass(double fc, double q, double fs) {
  const double w0 = 2.0 * kPi * fc / fs;
  Biquad b{};
  b.designLowpass(std::cos(w0), std::sin(w0) / (2.0 * q));
  return b;
}

// A peak or shelf designed with A = 1: a pass-through section, up to the one
// ulp the quotient b2/a0 and the product a2*(1/a0) may differ by.
inline bool isIdentityDesign(const Biquad& b) {
  return b.b0 == 1.0 && b.b1 == b.a1 &&
         std::fabs(b.b2 - b.a2) <= std::fabs(std::nextafter(b.a2, 2.0) - b.a2);
}

// Largest difference in dB between two sections over 0..Nyquist.
inline double maxDifferenceDb(const Biquad& a, const Biquad& b, double fs) {
  double worst = 0.0;
  for (int i = 0; i <= 400; ++i) {
    const double f = 0.5 * fs * i / 400.0;
    worst = std::fmax(worst, std::fabs(magnitudeDb(a, f, fs) - magnitudeDb(b, f, fs)));
  }
  return worst;
}

// Steady-state gain of `step` (float -> float, carrying its own state) at f Hz.
// Drives amp*cos(w n), discards `settle` samples of transient, then fits
// p*cos + q*sin to the next `measure` output samples by least squares; the
// fit needs no whole number of periods. At 0 Hz and at Nyquist only the
// cosine term exists, and the fit reduces to one term.
template <class Step>
double measureGain(Step&& step, double f, double fs, int settle, int measure, double amp = 0.5) {
  const double w = 2.0 * kPi * f / fs;
  double scc = 0.0;
  double sss = 0.0;
  double ssc = 0.0;
  double syc = 0.0;
  double sys = 0.0;
  for (int n = 0; n < settle + measure; ++n) {
    const double c = std::cos(w * n);
    const double s = std::sin(w * n);
    const float y = step(static_cast<float>(amp * c));
    if (n < settle) {
      continue;
    }
    const double yd = static_cast<double>(y);
    scc += c * c;
    sss += s * s;
    ssc += s * c;
    syc += yd * c;
    sys += yd * s;
  }
  if (sss < 1e-9 * scc) {
    return std::fabs(syc / scc) / amp;
  }
  const double det = scc * sss - ssc * ssc;
  const double p = (syc * sss - sys * ssc) / det;
  const double q = (sys * scc - syc * ssc) / det;
  return std::hypot(p, q) / amp;
}

// One section as a float step: the signal is rounded to float on the way
// out, exactly as the stages round between sections.
inline auto sectionStep(Biquad& b) {
  return [&b](float x) { return static_cast<float>(b.process(static_cast<double>(x))); };
}

// Seed for the random sweeps.
inline std::uint32_t sweepSeed(const char* what) {
  return static_cast<std::uint32_t>(testSeed(what, 0x5eed2024u));
}

inline double uniform(std::mt19937& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}

}  // namespace response
