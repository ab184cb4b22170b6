// The tracker's per-sample work: the FIRs and the decimated steps. Included
// once for the generic build and once compiled for AVX2 (x86-64), each in a
// namespace of its own (TRACKER_ISA_NS). The loops are element-wise and their
// sums run in fixed lanes, so every build gives the same bits.
#include <cstdint>

#include "biquad.h"
#include "hum_tracker.h"
#include "hum_tracker_frame.h"

namespace TRACKER_ISA_NS {

// One decimated step: x is the decimated input. Returns the hum predicted
// one FIR delay ahead.
inline __attribute__((always_inline)) float step(HumTracker& t, float x) {
  t.frameEnergy += x * x;
  float* __restrict pRe = t.phRe;
  float* __restrict pIm = t.phIm;
  const float x2 = 2.0f * x;
  // Every harmonic at once, in blocks of eight lanes the compiler runs in
  // SIMD; the synthesised terms summed in those lanes, each in the order of
  // h, then the lanes pairwise (sumOverHarmonics' order, kept here in
  // registers rather than through an array).
  float* __restrict aRe = t.accRe;
  float* __restrict aIm = t.accIm;
  const float* __restrict rRe = t.stepRe;
  const float* __restrict rIm = t.stepIm;
  const float* __restrict sRe = t.synRe;
  const float* __restrict sIm = t.synIm;
  float syn[kTrackLanes];
  for (int j = 0; j < kTrackLanes; ++j) {
    syn[j] = 0.0f;
  }
  for (int b = 0; b < kTrackHarmonics; b += kTrackLanes) {
    for (int j = 0; j < kTrackLanes; ++j) {
      // The input demodulated at h times the phase, the hum synthesised, and
      // the phasor turned by its own step for the next (each element-wise,
      // so no chain of products); the frame's end sets them afresh from the
      // phase.
      const int h = b + j;
      const float cRe = pRe[h];
      const float cIm = pIm[h];
      aRe[h] += x2 * cRe;
      aIm[h] -= x2 * cIm;
      syn[j] += sRe[h] * cRe - sIm[h] * cIm;
      pRe[h] = cRe * rRe[h] - cIm * rIm[h];
      pIm[h] = cRe * rIm[h] + cIm * rRe[h];
    }
  }
  const float synSum =
      ((syn[0] + syn[1]) + (syn[2] + syn[3])) + ((syn[4] + syn[5]) + (syn[6] + syn[7]));
  t.theta += t.stepTurn;
  ++t.steps;
  if (++t.framePos == kTrackFrameSteps) {
    t.framePos = 0;
    endFrame(t);
  }
  return synSum;
}

// The lead's section, worked on a local copy (written through `out`, its
// state would be stored and reloaded at every sample).
struct Lead {
  Biquad section;
  float inputGain;
  float mix;
  float gain;
  float operator()(float v) { return section.blend(v * inputGain, mix) * gain; }
};

// Without a lead: the input as it is.
struct NoLead {
  float operator()(float v) const { return v; }
};

// While the follower waits for the first sound: the leading samples whose
// input (after the lead) is an exact zero pass as they are, as the canceller
// would pass them with nothing synthesised yet; the lead moves on only
// through those. Returns how many passed.
template <typename L>
inline std::uint32_t passSilence(HumTracker& t, const float* in, float* out, std::uint32_t n,
                                 L& lead) {
  std::uint32_t i = 0;
  for (; i < n; ++i) {
    L next = lead;
    const float x = next(in[i]);
    if (x != 0.0f) {
      break;
    }
    lead = next;
    out[i] = x;
  }
  t.waiting = i == n;
  return i;
}

template <typename L>
inline __attribute__((always_inline)) void run(HumTracker& t, const float* in, float* out,
                                               std::uint32_t n, L& lead) {
  const std::uint32_t first = t.waiting ? passSilence(t, in, out, n, lead) : 0;
  if (t.decim == 1) {
    for (std::uint32_t i = first; i < n; ++i) {
      const float x = lead(in[i]);
      t.synth[0] = step(t, x);
      out[i] = x - t.synth[0];
    }
    return;
  }
  const std::int32_t taps = t.taps;
  const std::int32_t branch = t.branch;
  const std::int32_t decim = t.decim;
  // The counters in locals: the output buffer could alias the record as far
  // as the compiler knows, which would reload them at every sample.
  std::int32_t historyPos = t.historyPos;
  std::int32_t sub = t.sub;
  for (std::uint32_t i = first; i < n; ++i) {
    const float x = lead(in[i]);
    t.history[historyPos] = x;
    t.history[historyPos + taps] = x;
    const float* window = t.history + historyPos + 1;
    if (++historyPos == taps) {
      historyPos = 0;
    }
    if (++sub == decim) {
      sub = 0;
      // Decimated input: the FIR over the last `taps` samples (symmetric,
      // so the window's order does not matter).
      // Four chains of eight lanes, so that the sums do not wait on each
      // other; the tail (taps beyond a multiple of 32) joins the first.
      float a0[8] = {};
      float a1[8] = {};
      float a2[8] = {};
      float a3[8] = {};
      std::int32_t j = 0;
      for (; j + 32 <= taps; j += 32) {
        for (int l = 0; l < 8; ++l) {
          a0[l] += t.fir[j + l] * window[j + l];
          a1[l] += t.fir[j + 8 + l] * window[j + 8 + l];
          a2[l] += t.fir[j + 16 + l] * window[j + 16 + l];
          a3[l] += t.fir[j + 24 + l] * window[j + 24 + l];
        }
      }
      for (; j < taps; j += 8) {
        for (int l = 0; l < 8; ++l) {
          a0[l] += t.fir[j + l] * window[j + l];
        }
      }
      float acc[8];
      for (int l = 0; l < 8; ++l) {
        acc[l] = (a0[l] + a1[l]) + (a2[l] + a3[l]);
      }
      const float xd =
          ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
      const float v = step(t, xd);
      // The synthesised samples, newest first, twice over: a step writes one
      // place in each half instead of moving them all.
      t.synthPos = t.synthPos == 0 ? branch - 1 : t.synthPos - 1;
      t.synth[t.synthPos] = v;
      t.synth[t.synthPos + branch] = v;
      // Interpolated hum for the `decim` outputs until the next step: each
      // synthesised sample times its taps for all of them at once, two
      // chains of sums (even and odd k) in eight lanes each.
      const float* recent = t.synth + t.synthPos;
      const std::int32_t lanes = t.lanes;
      for (std::int32_t p = 0; p < lanes; p += 8) {
        float even[8] = {};
        float odd[8] = {};
        std::int32_t k = 0;
        for (; k + 1 < branch; k += 2) {
          const float* e = t.poly + k * lanes + p;
          const float* o = e + lanes;
          for (int l = 0; l < 8; ++l) {
            even[l] += e[l] * recent[k];
            odd[l] += o[l] * recent[k + 1];
          }
        }
        for (; k < branch; ++k) {
          const float* e = t.poly + k * lanes + p;
          for (int l = 0; l < 8; ++l) {
            even[l] += e[l] * recent[k];
          }
        }
        for (int l = 0; l < 8; ++l) {
          t.group[p + l] = even[l] + odd[l];
        }
      }
    }
    out[i] = x - t.group[sub];
  }
  t.historyPos = historyPos;
  t.sub = sub;
}

inline void runLed(HumTracker& t, const float* in, float* out, std::uint32_t n,
                   const TrackerLead* lead) {
  if (lead == nullptr) {
    NoLead none;
    run(t, in, out, n, none);
    return;
  }
  Lead local{*lead->section, lead->inputGain, lead->mix, lead->gain};
  run(t, in, out, n, local);
  lead->section->z1 = local.section.z1;
  lead->section->z2 = local.section.z2;
}

}  // namespace TRACKER_ISA_NS
