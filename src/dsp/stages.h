// Hum notch bank, boost and resonant low-pass blend. Each stage is a set of
// free functions over the fields the plug-in record keeps for it, so the
// record's layout stays a plain struct and these stay free of host types.
//
// A section whose centre or corner frequency is at or above Nyquist has no
// band to act on (and the cookbook formulas would put its poles outside the
// unit circle), so it is left out of the chain rather than designed.
#pragma once

#include <cstdint>

#include "dsp/biquad.h"

constexpr int kHumSections = 6;

// ---- Hum notch bank: notches at f, 2f, ... 6f, Q 18.
// Both return, in `count`, how many sections (lowest first) are below Nyquist.
void humDesignInitial(Biquad (&hum)[kHumSections], std::int32_t& count, double sampleRate);
// Redesigns for f (50 or 60) when it differs from humHz; keeps the state.
void humRefresh(Biquad (&hum)[kHumSections], float& humHz, std::int32_t& count, float f,
                float sampleRateF);

inline float humProcess(Biquad (&hum)[kHumSections], std::int32_t count, float x) {
  double v = static_cast<double>(x);
  for (std::int32_t k = 0; k < count; ++k) {
    v = static_cast<double>(static_cast<float>(hum[k].process(v)));
  }
  return static_cast<float>(v);
}

// ---- Boost: flat gain of d dB plus a d/4 dB peak at 250 Hz, Q 0.7.
// peakOn is false when 250 Hz is at or above Nyquist.
void boostRefresh(Biquad& boost, float& boostGain, double& boostRate, float& boostDb, bool& peakOn,
                  float sampleRateF, float d);

// ---- Resonant low-pass blend, driven by one amount t in 0..1.
// t must already be clamped to 0..1; redesigns only when it changed. inBand
// is false when the corner is at or above Nyquist.
void lowpassRefresh(Biquad& lowpass, float& lowpassAmount, float& lowpassMix, bool& inBand,
                    double sampleRate, float t);

inline float lowpassProcess(Biquad& lowpass, float mix, float x) {
  const float y = static_cast<float>(lowpass.process(static_cast<double>(x)));
  return x + (y - x) * mix;
}
