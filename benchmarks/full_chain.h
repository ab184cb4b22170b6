// The full chain at 48 kHz with every stage on, as the benchmarks time it:
// low-pass blend at 0.5, six 60 Hz notches, voicing 1 at amount 1 and the
// boost at 6 dB, thirteen sections in all.
#pragma once

#include "chain_rig.h"

struct FullChain : ChainRig {
  FullChain() : ChainRig(48000.0) {
    controls.lowpassAmount = 0.5f;
    controls.humOn = true;
    controls.pickupOn = true;
    controls.pickupType = 1.0f;
    controls.pickupAmount = 1.0f;
    controls.boostOn = true;
    controls.boostDb = 6.0f;
    prepare();
  }
};
