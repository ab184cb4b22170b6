// The full chain's thirteen sections at 48 kHz (low-pass at 0.5, six 60 Hz
// notches, recipe 1 at amount 1, boost 6 dB) as one cascade plan.
#pragma once

#include <cstdint>

#include "dsp/cascade.h"
#include "dsp/pickup_voicer.h"
#include "dsp/stages.h"

struct Chain {
  Biquad lowpass{};
  Biquad hum[kHumSections]{};
  PickupVoicer voicer;
  Biquad boost{};
  CascadePlan plan{};

  Chain() {
    float amount = 0.0f;
    float mix = 0.0f;
    bool inBand = false;
    lowpassRefresh(lowpass, amount, mix, inBand, 48000.0, 0.5f);
    std::int32_t humCount = 0;
    humDesignInitial(hum, humCount, 48000.0);
    voicer.reset();
    voicer.prepare(48000.0, 1, 1.0f);
    float boostGain = 1.0f;
    double boostRate = 0.0;
    float boostDb = -1.0f;
    bool peakOn = false;
    boostRefresh(boost, boostGain, boostRate, boostDb, peakOn, 48000.0f, 6.0f);
    std::int32_t n = 0;
    auto add = [&](Biquad& s, float g) {
      plan.sections[n] = &s;
      plan.gains[n] = g;
      ++n;
    };
    add(lowpass, 1.0f);
    for (Biquad& s : hum) {
      add(s, 1.0f);
    }
    for (std::int32_t k = 0; k < voicer.count; ++k) {
      add(voicer.sections[k], k + 1 == voicer.count ? voicer.gain : 1.0f);
    }
    add(boost, boostGain);
    plan.count = n;
    plan.inputGain = 1.0f;
    plan.lowpassFirst = true;
    plan.lowpassMix = mix;
  }
};
