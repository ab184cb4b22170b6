// The chain's stages besides the pickup voicer: the hum notch bank, the boost,
// the resonant low-pass blend and the output level. The plug-in's instance record keeps each
// stage's fields at fixed places among its own, so a stage is a small view:
// references to the fields it owns, and the functions that refresh them.
// Chain (chain.h) holds the same fields on its own for everything outside
// the plug-in.
//
// The change tests are inline, so that a block that changes nothing costs
// next to nothing; the redesigns are out of line and take the view by value,
// which keeps the caller from building every view in memory up front.
//
// A section whose centre or corner frequency is at or above half the rate
// has no band to act on (and the cookbook formulas would put its poles
// outside the unit circle), so it is left out of the chain, not designed.
#pragma once

#include <cstdint>

#include "biquad.h"

constexpr int kHumSections = 6;

// Notches at f, 2f, ... 6f, Q 18.
struct HumBank {
  Biquad (&sections)[kHumSections];
  float& hz;            // mains frequency the sections are designed for
  std::int32_t& count;  // sections below half the rate, lowest first

  // 60 Hz from the double-precision rate, at instantiation.
  void designInitial(double sampleRate) const;
  // Redesigns for f (50 or 60) when it differs from hz; keeps the state.
  void refresh(float f, float sampleRateF) const {
    if (f != hz) {
      redesign(*this, f, sampleRateF);
    }
  }
  static void redesign(HumBank h, float f, float sampleRateF);
};

// Flat gain of d dB plus a d/4 dB peak at 250 Hz, Q 0.7.
struct BoostStage {
  Biquad& peak;
  float& gain;   // flat gain, linear
  double& rate;  // rate of the last design; 0 before the first
  float& db;     // amount of the last design
  bool& peakInBand;

  bool designed() const { return rate != 0.0; }
  // What the boost last applied, or 0 dB (the neutral amount) before that.
  float appliedDb() const { return designed() ? db : 0.0f; }
  // Redesigns only when the rate or the amount changed. An amount whose
  // design is not finite (the flat gain overflows) changes nothing and
  // returns false.
  bool refresh(float sampleRateF, float d) const {
    return (static_cast<double>(sampleRateF) == rate && d == db) || redesign(*this, sampleRateF, d);
  }
  static bool redesign(BoostStage b, float sampleRateF, float d);
};

// One amount t in 0..1 lowers the corner and the resonance and fades the
// filtered signal in.
struct LowpassBlend {
  Biquad& section;
  float& amount;  // last applied, 0..1; 0 takes the stage out
  float& mix;     // wet share
  bool& inBand;   // corner below half the rate
  double sampleRate;

  bool running() const { return amount > 0.0f && inBand; }
  // t already clamped to 0..1; redesigns only when it changed.
  void refresh(float t) const {
    if (t != amount) {
      redesign(*this, t);
    }
  }
  static void redesign(LowpassBlend l, float t);
};

// The output level in dB, with the polarity switch.
struct OutputLevel {
  float& db;       // level last applied; 0 dB before any
  bool& inverted;  // polarity last applied
  float& gain;     // dbToGain(db), negated when inverted

  // Recomputes the gain only when the level or the polarity changed. A level
  // that is not a finite number, or whose gain is not (beyond float's range),
  // keeps the last one applied.
  void refresh(float d, bool invert) const {
    if (d != db || invert != inverted) {
      change(*this, d, invert);
    }
  }
  static void change(OutputLevel l, float d, bool invert);
};
