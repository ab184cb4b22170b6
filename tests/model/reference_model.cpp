#include "reference_model.h"

#include <cmath>
#include <cstring>

namespace refmodel {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kLn10 = 2.302585092994046;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr float kLn10F = 2.3025851f;

// Raw (unnormalised) cookbook terms of one section.
struct Raw {
  double b0, b1, b2, a0, a1, a2;
};

// a2 goes through its own reciprocal while the others are plain quotients;
// the two routes can differ in the last place, and the module's do.
std::array<double, 5> normalise(const Raw& r) {
  const double inv = 1.0 / r.a0;
  return {r.b0 / r.a0, r.b1 / r.a0, r.b2 / r.a0, r.a1 / r.a0, r.a2 * inv};
}

struct Angle {
  double s;
  double c;
};

Angle angle(double w0) {
  Angle a{};
  ::sincos(w0, &a.s, &a.c);
  return a;
}

Raw notch(double c, double alpha) {
  return {1.0, -2.0 * c, 1.0, 1.0 + alpha, -2.0 * c, 1.0 - alpha};
}

Raw lowpass(double c, double alpha) {
  const double oneMinusC = 1.0 - c;
  return {oneMinusC / 2.0, oneMinusC, oneMinusC / 2.0, 1.0 + alpha, -2.0 * c, 1.0 - alpha};
}

Raw peak(double c, double alpha, double a) {
  return {1.0 + alpha * a, -2.0 * c, 1.0 - alpha * a, 1.0 + alpha / a, -2.0 * c, 1.0 - alpha / a};
}

Raw lowShelf(double c, double a, double beta) {
  const double ap = a + 1.0;
  const double am = a - 1.0;
  return {a * ((ap - am * c) + beta), 2.0 * a * (am - ap * c), a * ((ap - am * c) - beta),
          (ap + am * c) + beta,       -2.0 * (am + ap * c),    (ap + am * c) - beta};
}

Raw highShelf(double c, double a, double beta) {
  const double ap = a + 1.0;
  const double am = a - 1.0;
  return {a * ((ap + am * c) + beta), -2.0 * a * (am + ap * c), a * ((ap + am * c) - beta),
          (ap - am * c) + beta,       2.0 * (am - ap * c),      (ap - am * c) - beta};
}

// Decibels to linear gain, all in float.
float dbGain(float db) {
  return std::exp((db * 0.05f) * kLn10F);
}

bool isOn(float v) {
  return v > 0.5f;
}

enum class Band { Empty, Peak, LowShelf, HighShelf };

struct Band5 {
  Band kind;
  double hz;
  double db;
  double q;
};

struct Voicing {
  Band5 bands[5];
  double levelDb;
};

constexpr Band5 kNone{Band::Empty, 0.0, 0.0, 0.0};

constexpr Voicing kVoicings[5] = {
    {{{Band::Peak, 2000.0, 2.5, 0.9},
      {Band::Peak, 4500.0, -5.0, 1.8},
      {Band::HighShelf, 4000.0, -13.0, 0.0},
      kNone,
      kNone},
     4.0},
    {{{Band::LowShelf, 90.0, -2.5, 0.0},
      {Band::Peak, 340.0, 2.0, 0.8},
      {Band::Peak, 2000.0, 2.5, 1.0},
      {Band::Peak, 4500.0, -5.0, 1.8},
      {Band::HighShelf, 3800.0, -15.0, 0.0}},
     7.0},
    {{{Band::LowShelf, 95.0, -2.0, 0.0},
      {Band::Peak, 450.0, -3.0, 1.0},
      {Band::Peak, 4800.0, -8.0, 1.1},
      {Band::HighShelf, 7000.0, 1.0, 0.0},
      kNone},
     5.5},
    {{{Band::Peak, 2000.0, 2.5, 0.9},
      {Band::Peak, 4500.0, -5.0, 1.8},
      {Band::HighShelf, 4000.0, -13.0, 0.0},
      kNone,
      kNone},
     6.0},
    {{{Band::LowShelf, 85.0, -0.8, 0.0},
      {Band::Peak, 2100.0, 0.9, 2.0},
      {Band::Peak, 3000.0, 2.1, 1.4},
      {Band::Peak, 5000.0, -2.4, 0.7},
      {Band::HighShelf, 6800.0, -3.3, 0.0}},
     -4.0},
};

// 2*pi*60*k for the notches designed at instantiation, as literal constants.
constexpr double kHum60[6] = {376.99111843077515, 753.9822368615503,  1130.9733552923253,
                              1507.9644737231006, 1884.9555921538758, 2261.9467105846506};
constexpr double kHumQTerm = 0.027777777777777776;  // 1/(2*18)

}  // namespace

std::int32_t selectorFor(float pickupType) {
  const float sum = pickupType + 0.5f;
  std::int32_t sel = 0;
  // NaN fails both comparisons; the bounds are the float values that still
  // truncate into int32.
  if (sum >= -2147483648.0f && sum < 2147483648.0f) {
    sel = static_cast<std::int32_t>(sum);
  }
  return sel == 3 ? 4 : sel;
}

double ReferenceModel::Section::tick(double x) {
  const double y = k[0] * x + s1;
  s1 = (k[1] * x + s2) - k[3] * y;
  s2 = k[2] * x - k[4] * y;
  return y;
}

void ReferenceModel::Section::settle() {
  if (std::fabs(s1) < 1e-200) {
    s1 = 0.0;
  }
  if (std::fabs(s2) < 1e-200) {
    s2 = 0.0;
  }
}

ReferenceModel::ReferenceModel(double sampleRate, bool settleState)
    : rate_(sampleRate), rateF_(static_cast<float>(sampleRate)), settle_(settleState) {
  // The initial 60 Hz bank comes from the double rate and the literal
  // products; later redesigns use the float rate (see designHum).
  const double inv = 1.0 / sampleRate;
  for (std::size_t i = 0; i < hum_.size(); ++i) {
    const Angle a = angle(inv * kHum60[i]);
    hum_[i].k = normalise(notch(a.c, kHumQTerm * a.s));
  }
}

void ReferenceModel::designHum(float mainsHz) {
  const double inv = 1.0 / static_cast<double>(rateF_);
  const double e = mainsHz == 50.0f ? 314.1592653589793 : 376.99111843077515;
  for (std::size_t i = 0; i < hum_.size(); ++i) {
    const Angle a = angle((inv * static_cast<double>(i + 1)) * e);
    hum_[i].k = normalise(notch(a.c, kHumQTerm * a.s));
  }
}

void ReferenceModel::designVoicer(std::int32_t type, float amount) {
  const Voicing& v = (type >= 0 && type < 5) ? kVoicings[type] : kVoicings[0];
  const double fs = static_cast<double>(rateF_);
  const double amt = static_cast<double>(amount);
  int used = 0;
  for (const Band5& b : v.bands) {
    if (b.kind == Band::Empty) {
      continue;
    }
    const double g = b.db * amt;
    const Angle a = angle((kTwoPi / fs) * b.hz);
    const double amp = std::exp((g * 0.025) * kLn10);
    Raw raw{};
    if (b.kind == Band::Peak) {
      raw = peak(a.c, (0.5 * a.s) / b.q, amp);
    } else {
      // The shelf's sqrt(A) is its own exponential, not sqrt(amp).
      const double rootAmp = std::exp(((g * 0.025) * 0.5) * kLn10);
      const double beta = a.s * (rootAmp * kSqrt2);
      raw = b.kind == Band::LowShelf ? lowShelf(a.c, amp, beta) : highShelf(a.c, amp, beta);
    }
    voicer_[static_cast<std::size_t>(used)].k = normalise(raw);
    ++used;
  }
  voicerCount_ = used;
  voicerGain_ = dbGain(static_cast<float>(amt * v.levelDb));
}

void ReferenceModel::designBoost(float db) {
  const Angle a = angle(1570.7963267948965 / static_cast<double>(rateF_));
  const double amp = std::exp((static_cast<double>(db) * 0.00625) * kLn10);
  boost_.k = normalise(peak(a.c, 0.7142857142857143 * a.s, amp));
  boostGain_ = dbGain(db);
}

void ReferenceModel::designLowpass(float t) {
  const double td = static_cast<double>(t);
  const double omega = (3300.0 - 1100.0 * td) * kTwoPi;
  const double q = 2.2 - 1.6 * td;
  lowpassMix_ = t > 0.25f ? 1.0f : 4.0f * t;
  const Angle a = angle(omega / rate_);
  lowpass_.k = normalise(lowpass(a.c, (a.s * 0.5) / q));
}

float ReferenceModel::voice(float x) {
  for (int i = 0; i < voicerCount_; ++i) {
    x = static_cast<float>(voicer_[static_cast<std::size_t>(i)].tick(static_cast<double>(x)));
  }
  return x * voicerGain_;
}

void ReferenceModel::run(const Controls& c, const float* in, float* out, std::uint32_t n) {
  if (c.enabled && *c.enabled <= 0.5f) {
    if (in != out) {
      std::memcpy(out, in, n * sizeof(float));
    }
    return;
  }

  float level = dbGain(c.levelDb);
  if (isOn(c.invert)) {
    level = -level;
  }
  const bool humOn = isOn(c.humOn);

  const float mains = (c.hum50Hz && isOn(*c.hum50Hz)) ? 50.0f : 60.0f;
  if (mains != humHz_) {
    humHz_ = mains;
    designHum(mains);
  }

  const bool pickupOn = isOn(c.pickupOn);
  const bool boostOn = isOn(c.boostOn);
  if (pickupOn) {
    const std::int32_t sel = selectorFor(c.pickupType);
    if (!voicerDesigned_ || sel != voicerType_ || c.pickupAmount != voicerAmount_) {
      voicerDesigned_ = true;
      voicerType_ = sel;
      voicerAmount_ = c.pickupAmount;
      designVoicer(sel, c.pickupAmount);
    }
  }
  if (boostOn && (!boostDesigned_ || c.boostDb != boostDb_)) {
    boostDesigned_ = true;
    boostDb_ = c.boostDb;
    designBoost(c.boostDb);
  }

  float t = 0.0f;
  if (c.lowpassAmount) {
    t = std::fmin(std::fmax(0.0f, *c.lowpassAmount), 1.0f);
  }
  if (t != lowpassAmount_) {
    lowpassAmount_ = t;
    designLowpass(t);
  }
  const bool lowpassOn = lowpassAmount_ > 0.0f;

  for (std::uint32_t i = 0; i < n; ++i) {
    float x = in[i];
    if (lowpassOn) {
      const float wet = static_cast<float>(lowpass_.tick(static_cast<double>(x)));
      x = x + (wet - x) * lowpassMix_;
    }
    if (humOn) {
      for (Section& s : hum_) {
        x = static_cast<float>(s.tick(static_cast<double>(x)));
      }
    }
    if (pickupOn) {
      x = voice(x);
    }
    if (boostOn) {
      x = static_cast<float>(boost_.tick(static_cast<double>(x))) * boostGain_;
    }
    out[i] = x * level;
  }
  if (!settle_) {
    return;
  }
  if (lowpassOn) {
    lowpass_.settle();
  }
  for (Section& s : hum_) {
    if (humOn) {
      s.settle();
    }
  }
  for (int j = 0; j < voicerCount_; ++j) {
    if (pickupOn) {
      voicer_[static_cast<std::size_t>(j)].settle();
    }
  }
  if (boostOn) {
    boost_.settle();
  }
}

}  // namespace refmodel
