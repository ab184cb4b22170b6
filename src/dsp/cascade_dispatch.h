// Entry points of the per-instruction-set pipelined kernels (internal).
#pragma once

#include <cstdint>

#include "cascade.h"

void runPipelinedSse2(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                      float level);
void runPipelinedAvx2(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                      float level);
void runPipelinedAvx512(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                        float level);
void runPipelinedNeon(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                      float level);
