#include "chain.h"

#include <algorithm>
#include <cmath>

void prepareVoicer(PickupVoicer& v, double rate, std::int32_t type, float amount) {
  PickupVoicer trial = v;
  trial.prepare(rate, type, amount);
  if (!trial.designFinite()) {
    trial = v;
    trial.prepare(rate, type, v.appliedAmount());
    if (!trial.designFinite()) {
      return;
    }
  }
  v = trial;
}

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
  c.level.db = 0.0f;
  c.level.inverted = false;
  c.level.gain = 1.0f;
  c.hum.hz = 60.0f;
  c.hum.designInitial(sampleRate);
  humTrackerInit(c.tracker, sampleRate, 60.0f);
  c.trackerIn = false;
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
      levelDb(0.0f),
      levelInverted(false),
      levelGain(1.0f),
      tracker{},
      trackerIn(false) {
  initChain(fields(), rate);
}

ChainFields Chain::fields() {
  return {{hum, humHz, humCount},
          voicer,
          {lowpass, lowpassAmount, lowpassMix, lowpassInBand, sampleRate},
          {boost, boostGain, boostRate, boostDb, boostPeakInBand},
          {levelDb, levelInverted, levelGain},
          sampleRateF,
          tracker,
          trackerIn};
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
