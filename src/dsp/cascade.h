// One block's running sections as one cascade, and the kernels that run it.
// Between sections the signal is rounded to float and scaled by a float gain
// (1 for most sections); the section after which a stage gain applies
// carries it. The first section may be the low-pass blend, whose output is
// mixed with its own input.
//
// Per sample, exactly (the reference kernel, the straightforward path):
//   x = in * inputGain
//   for each section j:
//     r = float(section[j].process(x))
//     if j == 0 and lowpassFirst: r = x + (r - x) * lowpassMix
//     x = r * gains[j]
//   out = (x * outputGain) * levelGain
//
// The pipelined kernels run the sections side by side in SIMD lanes, each
// lane a fixed number of samples behind the one before, with the same IEEE
// operations in the same order: their output is bit-identical.
#pragma once

#include <cstdint>

#include "biquad.h"

struct HumTracker;

constexpr int kMaxCascade = 16;

struct CascadePlan {
  Biquad* sections[kMaxCascade];
  float gains[kMaxCascade];
  std::int32_t count;
  float inputGain;  // a stage gain with no section before it
  bool lowpassFirst;
  float lowpassMix;
  // A stage gain after the last section's: the boost's flat gain when its
  // peak is left out. 1 otherwise, which leaves every product exact.
  float outputGain;
  float levelGain;  // output level, negative when the polarity is inverted
  // The hum filter's tracking mode, when on: it runs after the first
  // `trackerAt` sections, and `trackerGain` (a stage gain with no section
  // between it and the tracker) scales its output. Null otherwise, and the
  // plan is the plain cascade above.
  HumTracker* tracker;
  std::int32_t trackerAt;
  float trackerGain;
};

enum class CascadeKernel : std::int32_t { Reference = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3, Neon = 4 };

// The fastest kernel this CPU runs.
CascadeKernel bestCascadeKernel();
bool cascadeKernelSupported(CascadeKernel kernel);

// The kernel for one block: below 6 samples or 2 sections the pipeline's
// fill and drain cost more than it saves (with the full chain, block start
// and end included, the measured crossover is 4 samples for AVX-512, 5 for
// AVX2 and 7 for SSE2).
inline CascadeKernel blockKernel(CascadeKernel best, const CascadePlan& plan, std::uint32_t n) {
  return (n >= 6 && plan.count >= 2) ? best : CascadeKernel::Reference;
}

// Runs n samples through a plan with sections; plans the pipelined kernels do
// not cover (an output gain other than 1) run on the reference kernel
// whatever was asked for.
void runSections(CascadeKernel kernel, const CascadePlan& plan, const float* in, float* out,
                 std::uint32_t n);

// A plan with the tracker: the sections before it, the tracker, the rest.
void runTracked(CascadeKernel kernel, const CascadePlan& plan, const float* in, float* out,
                std::uint32_t n);

// Runs n samples through the plan; in and out may be the same buffer. A plan
// without sections is its gains alone, inline: every stage off is the
// commonest block and should cost next to nothing.
inline void runCascade(CascadeKernel kernel, const CascadePlan& plan, const float* in, float* out,
                       std::uint32_t n) {
  if (plan.tracker != nullptr) {
    runTracked(kernel, plan, in, out, n);
    return;
  }
  if (plan.count > 0) {
    runSections(kernel, plan, in, out, n);
    return;
  }
  const float level = plan.levelGain;
  if (plan.inputGain == 1.0f && plan.outputGain == 1.0f) {
    // Products with 1 are exact: the same bits as the general form.
    for (std::uint32_t i = 0; i < n; ++i) {
      out[i] = in[i] * level;
    }
    return;
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    out[i] = ((in[i] * plan.inputGain) * plan.outputGain) * level;
  }
}
