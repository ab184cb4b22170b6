// The whole chain at block start and block end: how one block's control
// values refresh every stage, and which sections then run, with the gains
// that follow them. The plug-in's block driver and everything that runs or
// draws the chain outside it (the UI, tests, benchmarks, the fuzzer) share
// this one definition.
#pragma once

#include <cstdint>

#include "cascade.h"
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
};

// Every stage's fields, wherever the record that holds them keeps them.
struct ChainFields {
  HumBank hum;
  PickupVoicer& voicer;
  LowpassBlend lowpass;
  BoostStage boost;
  float& levelDb;  // the level last applied
  float sampleRateF;
};

// Instantiation: all state zero, nothing designed but the hum bank (60 Hz).
void initChain(const ChainFields& c, double sampleRate);

// Block start: each stage refreshes its design from the block's controls, in
// chain order of the refreshes (level, mains, voicer, boost, low-pass), and
// `plan` lists the sections that run. A control that is not a number leaves
// its stage with what it last applied.
void prepareBlock(const ChainFields& c, const ChainControls& k, CascadePlan& plan);

// Block end: state that a non-finite sample left in a section that ran is
// dropped, so that one bad sample spoils at most the rest of its block.
void finishBlock(const CascadePlan& plan);

// The voicing selector: (type + 0.5) truncated toward zero; a sum that is not
// a number or out of int32 range selects 0. Selector 3 plays recipe 4: recipe
// 3 stays in the table but is not offered.
std::int32_t pickupSelector(float type);

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
};
