// The instance record: every stage's state by value, the host's port
// pointers and the sample rate. Plain data; one allocation per instance.
#pragma once

#if defined(CALVORINE_DSP_LAYER)
#error "the DSP library must not depend on the plug-in's shell"
#endif

#include <cstdint>

#include "dsp/biquad.h"
#include "dsp/bypass.h"
#include "dsp/cascade.h"
#include "dsp/chain.h"
#include "dsp/hum_tracker.h"
#include "dsp/pickup_voicer.h"
#include "dsp/stages.h"
#include "ports.h"

struct UtilPlugin {
  Biquad hum[kHumSections];
  PickupVoicer voicer;
  double sampleRate;
  float lowpassAmount;
  float lowpassMix;
  Biquad lowpass;
  Biquad boost;
  float boostGain;
  double boostRate;
  float boostDb;
  float* ports[kPortCount];
  float sampleRateF;
  float humHz;
  // Guards added after the fields above, whose order stays as it was.
  float levelDb;          // level_db last applied
  bool levelInverted;     // polarity last applied
  float levelGain;        // gain of both
  std::int32_t humCount;  // hum sections below Nyquist
  bool lowpassInBand;     // low-pass corner below Nyquist
  bool boostPeakOn;       // 250 Hz peak below Nyquist
  CascadeKernel kernel;   // pipelined kernel picked for this CPU
  // The stages' fields above, as the chain's block start and end work on
  // them; bound once, so that a block need not gather them again.
  ChainFields chain;
  // The last block's plan over the sections above: where a fade-out's copy
  // of the chain comes from.
  CascadePlan plan;
  BypassFade bypass;  // the enable switch's fades
  // The hum filter's tracking mode.
  HumTracker tracker;
  bool trackerIn;

  // Every field zero (or null) but the view; instantiation sets the rest.
  explicit UtilPlugin(double rate)
      : hum{},
        voicer{},
        sampleRate(rate),
        lowpassAmount(0.0f),
        lowpassMix(0.0f),
        lowpass{},
        boost{},
        boostGain(0.0f),
        boostRate(0.0),
        boostDb(0.0f),
        ports{},
        sampleRateF(static_cast<float>(rate)),
        humHz(0.0f),
        levelDb(0.0f),
        levelInverted(false),
        levelGain(0.0f),
        humCount(0),
        lowpassInBand(false),
        boostPeakOn(false),
        kernel(CascadeKernel::Reference),
        chain{{hum, humHz, humCount},
              voicer,
              {lowpass, lowpassAmount, lowpassMix, lowpassInBand, sampleRate},
              {boost, boostGain, boostRate, boostDb, boostPeakOn},
              {levelDb, levelInverted, levelGain},
              sampleRateF,
              tracker,
              trackerIn},
        plan{},
        bypass{},
        tracker{},
        trackerIn(false) {}
};
