// The tracker's per-sample work: the FIRs and the decimated steps. Included
// once for the generic build and once compiled for AVX2 (x86-64), each in a
// namespace of its own (TRACKER_ISA_NS). The loops are element-wise and their
// sums run in fixed lanes, so every build gives the same bits.
#include <cstdint>

#include "hum_tracker.h"

namespace TRACKER_ISA_NS {

// One decimated step: x is the decimated input. Returns the hum predicted
// one FIR delay ahead.
inline __attribute__((always_inline)) float step(HumTracker& t, float x) {
  // Powers of the phasor, h = 1..40: eight in a row, then blocks of eight
  // from the eighth, sixteenth, ... power, so that the chain stays short.
  float pRe[kTrackHarmonics];
  float pIm[kTrackHarmonics];
  pRe[0] = static_cast<float>(t.zRe);
  pIm[0] = static_cast<float>(t.zIm);
  for (int h = 1; h < kTrackLanes; ++h) {
    pRe[h] = pRe[h - 1] * pRe[0] - pIm[h - 1] * pIm[0];
    pIm[h] = pRe[h - 1] * pIm[0] + pIm[h - 1] * pRe[0];
  }
  for (int b = kTrackLanes; b < kTrackHarmonics; b += kTrackLanes) {
    const float baseRe = pRe[b - 1];
    const float baseIm = pIm[b - 1];
    for (int j = 0; j < kTrackLanes; ++j) {
      pRe[b + j] = baseRe * pRe[j] - baseIm * pIm[j];
      pIm[b + j] = baseRe * pIm[j] + baseIm * pRe[j];
    }
  }
  const float x2 = 2.0f * x;
  // Every harmonic at once, as plain element-wise loops the compiler runs in
  // SIMD lanes; the sum over harmonics follows in a fixed order after.
  float synTerm[kTrackHarmonics];
  float* __restrict aRe = t.accRe;
  float* __restrict aIm = t.accIm;
  for (int h = 0; h < kTrackHarmonics; ++h) {
    // The input demodulated at h times the phase.
    aRe[h] += x2 * pRe[h];
    aIm[h] -= x2 * pIm[h];
    synTerm[h] = t.synRe[h] * pRe[h] - t.synIm[h] * pIm[h];
  }
  float syn[kTrackLanes] = {};
  for (int b = 0; b < kTrackHarmonics; b += kTrackLanes) {
    for (int j = 0; j < kTrackLanes; ++j) {
      syn[j] += synTerm[b + j];
    }
  }
  const float synSum =
      ((syn[0] + syn[1]) + (syn[2] + syn[3])) + ((syn[4] + syn[5]) + (syn[6] + syn[7]));
  // On by one step.
  t.theta += t.omega / t.rateD;
  const double nextRe = t.zRe * t.rotRe - t.zIm * t.rotIm;
  t.zIm = t.zRe * t.rotIm + t.zIm * t.rotRe;
  t.zRe = nextRe;
  ++t.steps;
  if (++t.framePos == t.frame) {
    t.framePos = 0;
    humTrackerEndFrame(t);
  }
  return synSum;
}

inline void run(HumTracker& t, const float* in, float* out, std::uint32_t n) {
  if (t.decim == 1) {
    for (std::uint32_t i = 0; i < n; ++i) {
      const float x = in[i];
      t.synth[0] = step(t, x);
      out[i] = x - t.synth[0];
    }
    return;
  }
  const std::int32_t taps = t.taps;
  const std::int32_t branch = t.branch;
  for (std::uint32_t i = 0; i < n; ++i) {
    const float x = in[i];
    t.history[t.historyPos] = x;
    t.history[t.historyPos + taps] = x;
    const float* window = t.history + t.historyPos + 1;
    if (++t.historyPos == taps) {
      t.historyPos = 0;
    }
    if (++t.sub == t.decim) {
      t.sub = 0;
      // Decimated input: the FIR over the last `taps` samples (symmetric,
      // so the window's order does not matter).
      float acc[8] = {};
      for (std::int32_t j = 0; j < taps; j += 8) {
        for (int l = 0; l < 8; ++l) {
          acc[l] += t.fir[j + l] * window[j + l];
        }
      }
      const float xd =
          ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
      const float v = step(t, xd);
      // The synthesised samples, newest first, twice over: a step writes one
      // place in each half instead of moving them all.
      t.synthPos = t.synthPos == 0 ? branch - 1 : t.synthPos - 1;
      t.synth[t.synthPos] = v;
      t.synth[t.synthPos + branch] = v;
    }
    // Interpolated hum: branch `sub` of the FIR over the synthesised samples.
    const float* branchTaps = t.poly + t.sub * branch;
    const float* recent = t.synth + t.synthPos;
    float acc[8] = {};
    for (std::int32_t j = 0; j < branch; j += 8) {
      for (int l = 0; l < 8; ++l) {
        acc[l] += branchTaps[j + l] * recent[j + l];
      }
    }
    const float hum =
        ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    out[i] = x - hum;
  }
}

}  // namespace TRACKER_ISA_NS
