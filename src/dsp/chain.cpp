#include "chain.h"

#include <algorithm>
#include <cmath>

namespace {

// A control that is not a number never reaches a design or the output: the
// stage keeps what it last applied (its neutral value before any design).
float finiteOr(float value, float applied) {
  return std::isfinite(value) ? value : applied;
}

}  // namespace

void initChain(const ChainFields& c, double sampleRate) {
  for (Biquad& s : c.hum.sections) {
    s.clearState();
  }
  c.voicer.reset();
  c.lowpass.section.clearState();
  c.boost.peak.clearState();
  c.lowpass.amount = 0.0f;
  c.lowpass.mix = 0.0f;
  c.lowpass.inBand = false;
  c.boost.gain = 1.0f;
  c.boost.rate = 0.0;
  c.boost.db = -1.0f;
  c.boost.peakInBand = false;
  c.levelDb = 0.0f;
  c.hum.hz = 60.0f;
  c.hum.designInitial(sampleRate);
}

std::int32_t pickupSelector(float type) {
  const float s = type + 0.5f;
  std::int32_t sel = 0;
  if (s >= -2147483648.0f && s < 2147483648.0f) {
    sel = static_cast<std::int32_t>(s);
  }
  return sel == 3 ? 4 : sel;
}

void prepareBlock(const ChainFields& c, const ChainControls& k, CascadePlan& plan) {
  c.levelDb = finiteOr(k.levelDb, c.levelDb);
  float levelGain = dbToGain(c.levelDb);
  if (k.invert) {
    levelGain = -levelGain;
  }
  c.hum.refresh(k.mains50 ? 50.0f : 60.0f, c.sampleRateF);
  if (k.pickupOn) {
    c.voicer.prepare(static_cast<double>(c.sampleRateF), pickupSelector(k.pickupType),
                     finiteOr(k.pickupAmount, c.voicer.appliedAmount()));
  }
  if (k.boostOn) {
    c.boost.refresh(c.sampleRateF, finiteOr(k.boostDb, c.boost.appliedDb()));
  }
  const float t = finiteOr(k.lowpassAmount, c.lowpass.amount);
  c.lowpass.refresh(std::min(std::max(0.0f, t), 1.0f));

  std::int32_t n = 0;
  auto add = [&](Biquad& s) {
    plan.sections[n] = &s;
    plan.gains[n] = 1.0f;
    ++n;
  };
  plan.inputGain = 1.0f;
  plan.outputGain = 1.0f;
  plan.levelGain = levelGain;
  plan.lowpassFirst = c.lowpass.running();
  plan.lowpassMix = c.lowpass.mix;
  if (plan.lowpassFirst) {
    add(c.lowpass.section);
  }
  if (k.humOn) {
    for (std::int32_t j = 0; j < c.hum.count; ++j) {
      add(c.hum.sections[j]);
    }
  }
  if (k.pickupOn) {
    for (std::int32_t j = 0; j < c.voicer.count; ++j) {
      add(c.voicer.sections[j]);
    }
    // The voicer's gain follows its last section, or whatever came before it.
    (n > 0 ? plan.gains[n - 1] : plan.inputGain) = c.voicer.gain;
  }
  if (k.boostOn) {
    if (c.boost.peakInBand) {
      add(c.boost.peak);
      plan.gains[n - 1] = c.boost.gain;
    } else {
      plan.outputGain = c.boost.gain;
    }
  }
  plan.count = n;
}

void finishBlock(const CascadePlan& plan) {
  for (std::int32_t j = 0; j < plan.count; ++j) {
    plan.sections[j]->clearIfNotFinite();
  }
}

Chain::Chain(double rate)
    : hum{},
      humHz(0.0f),
      humCount(0),
      sampleRate(rate),
      sampleRateF(static_cast<float>(rate)),
      lowpass{},
      lowpassAmount(0.0f),
      lowpassMix(0.0f),
      lowpassInBand(false),
      boost{},
      boostGain(1.0f),
      boostRate(0.0),
      boostDb(-1.0f),
      boostPeakInBand(false),
      levelDb(0.0f) {
  initChain(fields(), rate);
}

ChainFields Chain::fields() {
  return {{hum, humHz, humCount},
          voicer,
          {lowpass, lowpassAmount, lowpassMix, lowpassInBand, sampleRate},
          {boost, boostGain, boostRate, boostDb, boostPeakInBand},
          levelDb,
          sampleRateF};
}

CascadePlan Chain::prepare(const ChainControls& k) {
  CascadePlan plan;
  prepareBlock(fields(), k, plan);
  return plan;
}

void Chain::run(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                CascadeKernel kernel) {
  runCascade(kernel, plan, in, out, n);
  finishBlock(plan);
}
