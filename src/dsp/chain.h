// The whole chain at block start and block end: how one block's control
// values refresh every stage, and which sections then run, with the gains
// that follow them. The plug-in's block driver and everything that runs or
// draws the chain outside it (the UI, tests, benchmarks, the fuzzer) share
// this one definition.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "cascade.h"
#include "hum_tracker.h"
#include "pickup_voicer.h"
#include "stages.h"

// One block's control values, as the plug-in reads them from its ports.
struct ChainControls {
  float levelDb;
  bool invert;
  bool humOn;
  bool mains50;  // else 60 Hz
  bool pickupOn;
  float pickupType;    // read only while pickupOn
  float pickupAmount;  // read only while pickupOn
  bool boostOn;
  float boostDb;        // read only while boostOn
  float lowpassAmount;  // unclamped; 0 when the port is unconnected
  bool humTrack;        // the hum filter follows the mains (with humOn)
};

// Every stage's fields, wherever the record that holds them keeps them.
struct ChainFields {
  HumBank hum;
  PickupVoicer& voicer;
  LowpassBlend lowpass;
  BoostStage boost;
  OutputLevel level;
  float sampleRateF;
  HumTracker& tracker;
  bool& trackerIn;  // whether the last block's plan ran the tracker
};

// Instantiation: all state zero, nothing designed but the hum bank (60 Hz).
void initChain(const ChainFields& c, double sampleRate);

// The voicing selector: (type + 0.5) truncated toward zero; a sum that is not
// a number or out of int32 range selects 0. Selector 3 plays recipe 4: recipe
// 3 stays in the table but is not offered.
inline std::int32_t pickupSelector(float type) {
  const float s = type + 0.5f;
  std::int32_t sel = 0;
  if (s >= -2147483648.0f && s < 2147483648.0f) {
    sel = static_cast<std::int32_t>(s);
  }
  return sel == 3 ? 4 : sel;
}

// A control that is not a number never reaches a design or the output: the
// stage keeps what it last applied (its neutral value before any design).
inline float finiteOr(float value, float applied) {
  return std::isfinite(value) ? value : applied;
}

// Redesigns the voicer, in a copy that is kept only when its design is
// finite: an amount whose design is not (a finite but absurd one) counts as
// one that is not a number, and if even the amount last applied fails with a
// new recipe, the voicer keeps its whole last design.
void prepareVoicer(PickupVoicer& v, double rate, std::int32_t type, float amount);

// Block start: each stage refreshes its design from the block's controls, in
// chain order of the refreshes (level, mains, voicer, boost, low-pass), and
// `plan` lists the sections that run. A control that is not a number, or
// whose design would not be finite, leaves its stage with what it last
// applied (its neutral value before that). Inline, like the stages' change
// tests, so that a block that changes nothing costs next to nothing.
inline void prepareBlock(const ChainFields& c, const ChainControls& k, CascadePlan& plan) {
  c.level.refresh(k.levelDb, k.invert);
  const float mains = k.mains50 ? 50.0f : 60.0f;
  c.hum.refresh(mains, c.sampleRateF);
  if (k.pickupOn) {
    const double rate = static_cast<double>(c.sampleRateF);
    const std::int32_t type = pickupSelector(k.pickupType);
    const float amount = finiteOr(k.pickupAmount, c.voicer.appliedAmount());
    if (!c.voicer.current(rate, type, amount)) {
      prepareVoicer(c.voicer, rate, type, amount);
    }
  }
  if (k.boostOn && !c.boost.refresh(c.sampleRateF, finiteOr(k.boostDb, c.boost.appliedDb()))) {
    c.boost.refresh(c.sampleRateF, c.boost.appliedDb());
  }
  const float t = finiteOr(k.lowpassAmount, c.lowpass.amount);
  c.lowpass.refresh(std::min(std::max(0.0f, t), 1.0f));
  // The tracker follows the mains switch like the notches; switched in again
  // after a stretch out of the chain (or a bypass), the mains' phase has
  // moved on, so it starts afresh rather than subtract a stale prediction.
  const bool track = k.humOn && k.humTrack && c.tracker.harmonics > 0;
  if (track && (!c.trackerIn || static_cast<double>(mains) != c.tracker.nominal)) {
    humTrackerRestart(c.tracker, mains);
    c.tracker.fundamental = c.hum.sections[0];
    c.tracker.fundamental.clearState();
  }
  c.trackerIn = track;

  std::int32_t n = 0;
  auto add = [&](Biquad& s) {
    plan.sections[n] = &s;
    plan.gains[n] = 1.0f;
    ++n;
  };
  // The gain after whatever the plan runs last so far: its last section's,
  // the tracker's when nothing follows it yet, or the input's.
  auto lastGain = [&]() -> float& {
    if (plan.tracker != nullptr && plan.trackerAt == n) {
      return plan.trackerGain;
    }
    return n > 0 ? plan.gains[n - 1] : plan.inputGain;
  };
  plan.inputGain = 1.0f;
  plan.outputGain = 1.0f;
  plan.levelGain = c.level.gain;
  plan.lowpassFirst = c.lowpass.running();
  plan.lowpassMix = c.lowpass.mix;
  plan.tracker = nullptr;
  plan.trackerAt = 0;
  plan.trackerGain = 1.0f;
  if (plan.lowpassFirst) {
    add(c.lowpass.section);
  }
  if (track) {
    plan.tracker = &c.tracker;
    plan.trackerAt = n;
    // With the fundamental's notch after it: below a guitar's range, where
    // the commonest hum is, and the one that swells and fades with the
    // playing faster than the canceller's estimates follow.
    if (c.hum.count > 0) {
      add(c.tracker.fundamental);
    }
  } else if (k.humOn) {
    for (std::int32_t j = 0; j < c.hum.count; ++j) {
      add(c.hum.sections[j]);
    }
  }
  if (k.pickupOn) {
    for (std::int32_t j = 0; j < c.voicer.count; ++j) {
      add(c.voicer.sections[j]);
    }
    lastGain() = c.voicer.gain;  // the voicer's, or whatever came before it
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

// Block end, for every section that ran: state that a non-finite sample left
// is dropped, so that one bad sample spoils at most the rest of its block,
// and state decayed below Biquad::kStateFloor becomes zero.
inline void finishBlock(const CascadePlan& plan) {
  for (std::int32_t j = 0; j < plan.count; ++j) {
    plan.sections[j]->settleState();
  }
  if (plan.tracker != nullptr) {
    humTrackerSettle(*plan.tracker);
  }
}

// The chain on its own, outside a plug-in instance, holding the same fields.
struct Chain {
  explicit Chain(double rate);

  ChainFields fields();
  CascadePlan prepare(const ChainControls& k);
  // Runs one block of the plan and finishes it, as the plug-in would.
  void run(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
           CascadeKernel kernel = CascadeKernel::Reference);

  Biquad hum[kHumSections];
  float humHz;
  std::int32_t humCount;
  PickupVoicer voicer;
  double sampleRate;
  float sampleRateF;
  Biquad lowpass;
  float lowpassAmount;
  float lowpassMix;
  bool lowpassInBand;
  Biquad boost;
  float boostGain;
  double boostRate;
  float boostDb;
  bool boostPeakInBand;
  float levelDb;
  bool levelInverted;
  float levelGain;
  HumTracker tracker;
  bool trackerIn;
};
