#include "dsp/stages.h"

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

void humDesignInitial(Biquad (&hum)[kHumSections], std::int32_t& count, double sampleRate) {
  // 2*pi*60*k, k = 1..6, as exact double constants.
  static const double kTwoPi60k[kHumSections] = {376.99111843077515, 753.9822368615503,
                                                 1130.9733552923253, 1507.9644737231006,
                                                 1884.9555921538758, 2261.9467105846506};
  const double r = 1.0 / sampleRate;
  count = 0;
  for (int k = 0; k < kHumSections && 60.0 * (k + 1) < 0.5 * sampleRate; ++k) {
    designHumSection(hum[k], r * kTwoPi60k[k]);
    ++count;
  }
}

void humRefresh(Biquad (&hum)[kHumSections], float& humHz, std::int32_t& count, float f,
                float sampleRateF) {
  if (f == humHz) {
    return;
  }
  humHz = f;
  const double fs = static_cast<double>(sampleRateF);
  const double r = 1.0 / fs;
  const double e = (f == 50.0f) ? 314.1592653589793 : 376.99111843077515;
  count = 0;
  for (int k = 0; k < kHumSections && static_cast<double>(f) * (k + 1) < 0.5 * fs; ++k) {
    // (r*k)*e, in that order; for k = 1 it is r*e.
    designHumSection(hum[k], (r * static_cast<double>(k + 1)) * e);
    ++count;
  }
}

void boostRefresh(Biquad& boost, float& boostGain, double& boostRate, float& boostDb, bool& peakOn,
                  float sampleRateF, float d) {
  const double fs = static_cast<double>(sampleRateF);
  if (fs == boostRate && d == boostDb) {
    return;
  }
  boostRate = fs;
  boostDb = d;
  boostGain = dbToGain(d);
  peakOn = 250.0 < 0.5 * fs;
  if (!peakOn) {
    return;
  }
  const double w0 = 1570.7963267948965 / fs;  // 2*pi*250 / fs
  double sn = 0.0;
  double cs = 0.0;
  ::sincos(w0, &sn, &cs);
  const double A = std::exp((static_cast<double>(d) * 0.00625) * kLn10);
  const double alpha = 0.7142857142857143 * sn;  // sin w0 / (2*0.7)
  boost.designPeak(cs, alpha, A);
}

void lowpassRefresh(Biquad& lowpass, float& lowpassAmount, float& lowpassMix, bool& inBand,
                    double sampleRate, float t) {
  if (t == lowpassAmount) {
    return;
  }
  lowpassAmount = t;
  const double td = static_cast<double>(t);
  const double fc = 3300.0 - 1100.0 * td;
  const double wc = fc * kTwoPi;
  const double q = 2.2 - 1.6 * td;
  lowpassMix = (t > 0.25f) ? 1.0f : 4.0f * t;
  inBand = fc < 0.5 * sampleRate;
  if (!inBand) {
    return;
  }
  const double w0 = wc / sampleRate;
  double sn = 0.0;
  double cs = 0.0;
  ::sincos(w0, &sn, &cs);
  lowpass.designLowpass(cs, (sn * 0.5) / q);
}
