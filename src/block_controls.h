// How one block reads its controls from the port buffers: the plug-in's
// block driver and the UI (which mirrors the values hosts relay) share it.
// Each control is read once, the voicer's and the boost's only while they
// are on; a switch is on above 0.5; of the optional ports, an unconnected
// low-pass amount reads as 0, an unconnected 50 Hz switch as 60 Hz mains,
// and an unconnected enable as enabled.
#pragma once

#include <cstdint>

#include "dsp/chain.h"
#include "ports.h"

#if defined(CALVORINE_DSP_LAYER)
#error "the DSP library must not depend on the plug-in's shell"
#endif

inline bool switchOn(const float* port) {
  return *port > 0.5f;
}

// A block is a plain copy when `enabled` is connected and off.
inline bool blockIsCopy(const float* const* ports) {
  const float* enabled = ports[kPortEnabled];
  return enabled != nullptr && *enabled <= 0.5f;
}

inline ChainControls readControls(const float* const* ports) {
  ChainControls k{};
  k.levelDb = *ports[kPortLevelDb];
  k.invert = switchOn(ports[kPortInvert]);
  k.humOn = switchOn(ports[kPortHumOn]);
  const float* hum50 = ports[kPortHum50Hz];
  k.mains50 = hum50 != nullptr && *hum50 > 0.5f;
  const float* track = ports[kPortHumTrack];
  k.humTrack = track != nullptr && *track > 0.5f;
  k.pickupOn = switchOn(ports[kPortPickupOn]);
  k.boostOn = switchOn(ports[kPortBoostOn]);
  if (k.pickupOn) {
    k.pickupType = *ports[kPortPickupType];
    k.pickupAmount = *ports[kPortPickupAmount];
  }
  if (k.boostOn) {
    k.boostDb = *ports[kPortBoostDb];
  }
  const float* lowpass = ports[kPortLowpassAmount];
  k.lowpassAmount = lowpass != nullptr ? *lowpass : 0.0f;
  return k;
}
