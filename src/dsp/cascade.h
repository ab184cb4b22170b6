// The active sections of the chain as one cascade, and the kernels that run
// it. Between sections the signal is rounded to float and scaled by a float
// gain (1 for most sections); the section after which a stage gain applies
// carries it. The first section may be the low-pass blend, whose output is
// mixed with its own input.
//
// Per sample, exactly (the reference kernel):
//   x = in * inputGain
//   for each section j:
//     r = float(section[j].process(x))
//     if j == 0 and lowpassFirst: r = x + (r - x) * lowpassMix
//     x = r * gains[j]
//   out = x * levelGain
//
// The pipelined kernels run the sections side by side in SIMD lanes, each
// lane a fixed number of samples behind the one before, with the same IEEE
// operations in the same order: their output is bit-identical.
#pragma once

#include <cstdint>

#include "dsp/biquad.h"

constexpr int kMaxCascade = 16;

struct CascadePlan {
  Biquad* sections[kMaxCascade];
  float gains[kMaxCascade];
  std::int32_t count;
  float inputGain;
  bool lowpassFirst;
  float lowpassMix;
};

enum class CascadeKernel : std::int32_t { Reference = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3, Neon = 4 };

// The fastest kernel this CPU runs.
CascadeKernel bestCascadeKernel();
bool cascadeKernelSupported(CascadeKernel kernel);

// Runs n samples through the plan; in and out may be the same buffer.
void runCascade(CascadeKernel kernel, const CascadePlan& plan, const float* in, float* out,
                std::uint32_t n, float levelGain);
