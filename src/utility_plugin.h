// The instance record: every stage's state by value, the host's port
// pointers and the sample rate. Plain data; one allocation per instance.
#pragma once

#include "dsp/biquad.h"
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
};
