// Hum notch bank, boost and resonant low-pass blend. Each stage is a set of
// free functions over the fields the plug-in record keeps for it, so the
// record's layout stays a plain struct and these stay free of host types.
#pragma once

#include "dsp/biquad.h"

constexpr int kHumSections = 6;

// ---- Hum notch bank: notches at f, 2f, ... 6f, Q 18.
void humDesignInitial(Biquad (&hum)[kHumSections], double sampleRate);
// Redesigns for f (50 or 60) when it differs from humHz; keeps the state.
void humRefresh(Biquad (&hum)[kHumSections], float& humHz, float f, float sampleRateF);

inline float humProcess(Biquad (&hum)[kHumSections], float x) {
  double v = static_cast<double>(x);
  for (Biquad& s : hum) {
    v = static_cast<double>(static_cast<float>(s.process(v)));
  }
  return static_cast<float>(v);
}

// ---- Boost: flat gain of d dB plus a d/4 dB peak at 250 Hz, Q 0.7.
void boostRefresh(Biquad& boost, float& boostGain, double& boostRate, float& boostDb,
                  float sampleRateF, float d);

// ---- Resonant low-pass blend, driven by one amount t in 0..1.
// t must already be clamped to 0..1; redesigns only when it changed.
void lowpassRefresh(Biquad& lowpass, float& lowpassAmount, float& lowpassMix,
                    double sampleRate, float t);

inline float lowpassProcess(Biquad& lowpass, float mix, float x) {
  const float y = static_cast<float>(lowpass.process(static_cast<double>(x)));
  return x + (y - x) * mix;
}
