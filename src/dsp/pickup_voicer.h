// Pickup voicer: a cascade of up to five EQ sections designed from one of
// five built-in recipes, all gains (and the recipe level) scaled by an amount.
#pragma once

#include <cstdint>

#include "biquad.h"

enum class StageKind : std::int32_t { None = 0, Peak = 1, LowShelf = 2, HighShelf = 3 };

struct Stage {
  StageKind kind;
  double freq;    // Hz
  double gainDb;  // at amount 1
  double q;       // peaks only
};

struct Recipe {
  Stage stages[5];
  double levelDb;  // at amount 1
};

class PickupVoicer {
 public:
  static constexpr int kRecipeCount = 5;
  static constexpr int kMaxSections = 5;

  // Out-of-range indices (negative ones too) fall back to recipe 0.
  static const Recipe& recipe(std::int32_t index);

  // Redesigns only when one of the three inputs differs from the last call.
  void prepare(double sampleRate, std::int32_t type, float amount);

  float process(float x) {
    for (std::int32_t i = 0; i < count; ++i) {
      x = static_cast<float>(sections[i].process(static_cast<double>(x)));
    }
    return x * gain;
  }

  void reset();

  bool designed() const { return lastRate != 0.0; }
  // The amount last applied, or 0 (flat) before the first design.
  float appliedAmount() const { return designed() ? lastAmount : 0.0f; }
  // Whether prepare() with these inputs would return at once.
  bool current(double sampleRate, std::int32_t type, float amount) const {
    return sampleRate == lastRate && type == lastType && amount == lastAmount;
  }
  // Whether the sections in use and the gain are all finite numbers.
  bool designFinite() const;

  // Initial values make the first prepare() with a non-zero rate design.
  Biquad sections[kMaxSections];
  std::int32_t count = 0;
  float gain = 1.0f;
  double lastRate = 0.0;
  std::int32_t lastType = -1;
  float lastAmount = -1.0f;
};
