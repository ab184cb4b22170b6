#include "pickup_voicer.h"

#include <cmath>

namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr double kLn10 = 2.302585092994046;
constexpr double kSqrt2 = 1.4142135623730951;
}  // namespace

const Recipe& PickupVoicer::recipe(std::int32_t index) {
  using K = StageKind;
  static const Recipe kR[kRecipeCount] = {
      {{{K::Peak, 2000.0, 2.5, 0.9},
        {K::Peak, 4500.0, -5.0, 1.8},
        {K::HighShelf, 4000.0, -13.0, 0.0},
        {K::None, 0.0, 0.0, 0.0},
        {K::None, 0.0, 0.0, 0.0}},
       4.0},
      {{{K::LowShelf, 90.0, -2.5, 0.0},
        {K::Peak, 340.0, 2.0, 0.8},
        {K::Peak, 2000.0, 2.5, 1.0},
        {K::Peak, 4500.0, -5.0, 1.8},
        {K::HighShelf, 3800.0, -15.0, 0.0}},
       7.0},
      {{{K::LowShelf, 95.0, -2.0, 0.0},
        {K::Peak, 450.0, -3.0, 1.0},
        {K::Peak, 4800.0, -8.0, 1.1},
        {K::HighShelf, 7000.0, 1.0, 0.0},
        {K::None, 0.0, 0.0, 0.0}},
       5.5},
      {{{K::Peak, 2000.0, 2.5, 0.9},
        {K::Peak, 4500.0, -5.0, 1.8},
        {K::HighShelf, 4000.0, -13.0, 0.0},
        {K::None, 0.0, 0.0, 0.0},
        {K::None, 0.0, 0.0, 0.0}},
       6.0},
      {{{K::LowShelf, 85.0, -0.8, 0.0},
        {K::Peak, 2100.0, 0.9, 2.0},
        {K::Peak, 3000.0, 2.1, 1.4},
        {K::Peak, 5000.0, -2.4, 0.7},
        {K::HighShelf, 6800.0, -3.3, 0.0}},
       -4.0},
  };
  if (index < 0 || index >= kRecipeCount) {
    return kR[0];
  }
  return kR[index];
}

void PickupVoicer::reset() {
  for (Biquad& s : sections) {
    s.clearState();
  }
  count = 0;
  gain = 1.0f;
  lastRate = 0.0;
  lastType = -1;
  lastAmount = -1.0f;
}

bool PickupVoicer::designFinite() const {
  for (std::int32_t i = 0; i < count; ++i) {
    if (!sections[i].coefficientsFinite()) {
      return false;
    }
  }
  return std::isfinite(gain);
}

void PickupVoicer::prepare(double sampleRate, std::int32_t type, float amount) {
  if (current(sampleRate, type, amount)) {
    return;
  }
  lastType = type;
  lastRate = sampleRate;
  lastAmount = amount;

  const Recipe& r = recipe(type);
  count = 0;
  for (const Stage& s : r.stages) {
    // An empty slot, or a band at or above Nyquist (nothing to act on, and
    // its design would be unstable), uses no section.
    if (s.kind == StageKind::None || s.freq >= 0.5 * sampleRate) {
      continue;
    }
    const double g = s.gainDb * static_cast<double>(amount);
    const double w0 = (kTwoPi / sampleRate) * s.freq;
    double sn = 0.0;
    double cs = 0.0;
    ::sincos(w0, &sn, &cs);
    Biquad& b = sections[count];
    const double A = std::exp((g * 0.025) * kLn10);
    if (s.kind == StageKind::Peak) {
      const double alpha = (0.5 * sn) / s.q;
      b.designPeak(cs, alpha, A);
    } else {
      // sqrt(A) as its own exponential, not std::sqrt(A): the bits differ.
      const double sqrtA = std::exp(((g * 0.025) * 0.5) * kLn10);
      const double beta = sn * (sqrtA * kSqrt2);
      if (s.kind == StageKind::LowShelf) {
        b.designLowShelf(cs, A, beta);
      } else {
        b.designHighShelf(cs, A, beta);
      }
    }
    ++count;
  }
  const float p = static_cast<float>(static_cast<double>(amount) * r.levelDb);
  gain = dbToGain(p);
}
