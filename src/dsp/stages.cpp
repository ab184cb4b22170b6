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

void HumBank::redesign(HumBank h, float f, float sampleRateF) {
  h.hz = f;
  const double fs = static_cast<double>(sampleRateF);
  const double r = 1.0 / fs;
  const double e = (f == 50.0f) ? 314.1592653589793 : 376.99111843077515;
  h.count = 0;
  for (int k = 0; k < kHumSections && static_cast<double>(f) * (k + 1) < 0.5 * fs; ++k) {
    // (r*k)*e, in that order; for k = 1 it is r*e.
    designHumSection(h.sections[k], (r * static_cast<double>(k + 1)) * e);
    ++h.count;
  }
}

bool BoostStage::redesign(BoostStage b, float sampleRateF, float d) {
  const double fs = static_cast<double>(sampleRateF);
  const float g = dbToGain(d);
  const bool inBand = 250.0 < 0.5 * fs;
  Biquad p = b.peak;
  if (inBand) {
    const double w0 = 1570.7963267948965 / fs;  // 2*pi*250 / fs
    double sn = 0.0;
    double cs = 0.0;
    ::sincos(w0, &sn, &cs);
    const double A = std::exp((static_cast<double>(d) * 0.00625) * kLn10);
    const double alpha = 0.7142857142857143 * sn;  // sin w0 / (2*0.7)
    p.designPeak(cs, alpha, A);
  }
  if (!std::isfinite(g) || !p.coefficientsFinite()) {
    return false;
  }
  b.rate = fs;
  b.db = d;
  b.gain = g;
  b.peakInBand = inBand;
  b.peak = p;  // coefficients; the state words are the section's own
  return true;
}

void OutputLevel::change(OutputLevel l, float d, bool invert) {
  float g = dbToGain(d);
  if (std::isfinite(d) && std::isfinite(g)) {
    l.db = d;
  } else if (invert == l.inverted) {
    return;
  } else {
    g = l.inverted ? -l.gain : l.gain;
  }
  l.inverted = invert;
  l.gain = invert ? -g : g;
}

void LowpassBlend::redesign(LowpassBlend l, float t) {
  l.amount = t;
  const double td = static_cast<double>(t);
  const double fc = 3300.0 - 1100.0 * td;
  const double wc = fc * kTwoPi;
  const double q = 2.2 - 1.6 * td;
  l.mix = (t > 0.25f) ? 1.0f : 4.0f * t;
  l.inBand = fc < 0.5 * l.sampleRate;
  if (!l.inBand) {
    return;
  }
  const double w0 = wc / l.sampleRate;
  double sn = 0.0;
  double cs = 0.0;
  ::sincos(w0, &sn, &cs);
  l.section.designLowpass(cs, (sn * 0.5) / q);
}
