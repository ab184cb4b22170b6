#include "stages.h"

#include <cmath>

namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr double kLn10 = 2.302585092994046;

// The double nearest 1/36, i.e. 1/(2Q) for Q = 18, applied as a product.
constexpr double kHumAlphaScale = 0.027777777777777776;

void designHumSection(Biquad& s, double w0) {
  double sn = 0.0;
  double cs = 0.0;
  ::sincos(w0, &sn, &cs);
  s.designNotch(cs, kHumAlphaScale * sn);
}
}  // namespace

void HumBank::designInitial(double sampleRate) const {
  // 2*pi*60*k, k = 1..6, as exact double constants.
  static const double kTwoPi60k[kHumSections] = {376.99111843077515, 753.9822368615503,
                                                 1130.9733552923253, 1507.9644737231006,
                                                 1884.9555921538758, 2261.9467105846506};
  const double r = 1.0 / sampleRate;
  count = 0;
  for (int k = 0; k < kHumSections && 60.0 * (k + 1) < 0.5 * sampleRate; ++k) {
    designHumSection(sections[k], r * kTwoPi60k[k]);
    ++count;
  }
}

void HumBank::refresh(float f, float sampleRateF) const {
  if (f == hz) {
    return;
  }
  hz = f;
  const double fs = static_cast<double>(sampleRateF);
  const double r = 1.0 / fs;
  const double e = (f == 50.0f) ? 314.1592653589793 : 376.99111843077515;
  count = 0;
  for (int k = 0; k < kHumSections && static_cast<double>(f) * (k + 1) < 0.5 * fs; ++k) {
    // (r*k)*e, in that order; for k = 1 it is r*e.
    designHumSection(sections[k], (r * static_cast<double>(k + 1)) * e);
    ++count;
  }
}

void BoostStage::refresh(float sampleRateF, float d) const {
  const double fs = static_cast<double>(sampleRateF);
  if (fs == rate && d == db) {
    return;
  }
  rate = fs;
  db = d;
  gain = dbToGain(d);
  peakInBand = 250.0 < 0.5 * fs;
  if (!peakInBand) {
    return;
  }
  const double w0 = 1570.7963267948965 / fs;  // 2*pi*250 / fs
  double sn = 0.0;
  double cs = 0.0;
  ::sincos(w0, &sn, &cs);
  const double A = std::exp((static_cast<double>(d) * 0.00625) * kLn10);
  const double alpha = 0.7142857142857143 * sn;  // sin w0 / (2*0.7)
  peak.designPeak(cs, alpha, A);
}

void LowpassBlend::refresh(float t) const {
  if (t == amount) {
    return;
  }
  amount = t;
  const double td = static_cast<double>(t);
  const double fc = 3300.0 - 1100.0 * td;
  const double wc = fc * kTwoPi;
  const double q = 2.2 - 1.6 * td;
  mix = (t > 0.25f) ? 1.0f : 4.0f * t;
  inBand = fc < 0.5 * sampleRate;
  if (!inBand) {
    return;
  }
  const double w0 = wc / sampleRate;
  double sn = 0.0;
  double cs = 0.0;
  ::sincos(w0, &sn, &cs);
  section.designLowpass(cs, (sn * 0.5) / q);
}
