#include "dsp/cascade.h"

#include <initializer_list>

#if defined(__x86_64__)
#define CASCADE_ISA_NS cascade_sse2
#include "dsp/cascade_dispatch.h"
#include "dsp/cascade_isa_x86.h"
#include "dsp/cascade_kernel.h"

void runPipelinedSse2(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                      float level) {
  cascade_sse2::runPipelined<IsaSse2>(plan, in, out, n, level);
}
#endif

#if defined(__aarch64__)
#define CASCADE_ISA_NS cascade_neon
#include "dsp/cascade_dispatch.h"
#include "dsp/cascade_isa_neon.h"
#include "dsp/cascade_kernel.h"

void runPipelinedNeon(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                      float level) {
  cascade_neon::runPipelined<IsaNeon>(plan, in, out, n, level);
}
#endif

namespace {

void runReference(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                  float level) {
  for (std::uint32_t i = 0; i < n; ++i) {
    float x = in[i] * plan.inputGain;
    for (std::int32_t j = 0; j < plan.count; ++j) {
      float r = static_cast<float>(plan.sections[j]->process(static_cast<double>(x)));
      if (j == 0 && plan.lowpassFirst) {
        r = x + (r - x) * plan.lowpassMix;
      }
      x = r * plan.gains[j];
    }
    out[i] = x * level;
  }
}

}  // namespace

bool cascadeKernelSupported(CascadeKernel kernel) {
  switch (kernel) {
    case CascadeKernel::Reference:
      return true;
#if defined(__x86_64__)
    case CascadeKernel::Sse2:
      return true;
    case CascadeKernel::Avx2:
      return __builtin_cpu_supports("avx2") != 0;
    case CascadeKernel::Avx512:
      return __builtin_cpu_supports("avx512f") != 0;
#endif
#if defined(__aarch64__)
    case CascadeKernel::Neon:
      return true;
#endif
    default:
      return false;
  }
}

CascadeKernel bestCascadeKernel() {
  for (CascadeKernel k :
       {CascadeKernel::Avx512, CascadeKernel::Avx2, CascadeKernel::Sse2, CascadeKernel::Neon}) {
    if (cascadeKernelSupported(k)) {
      return k;
    }
  }
  return CascadeKernel::Reference;
}

void runCascade(CascadeKernel kernel, const CascadePlan& plan, const float* in, float* out,
                std::uint32_t n, float levelGain) {
  if (plan.count <= 0 || plan.count > kMaxCascade) {
    kernel = CascadeKernel::Reference;
  }
  switch (kernel) {
#if defined(__x86_64__)
    case CascadeKernel::Sse2:
      runPipelinedSse2(plan, in, out, n, levelGain);
      return;
    case CascadeKernel::Avx2:
      runPipelinedAvx2(plan, in, out, n, levelGain);
      return;
    case CascadeKernel::Avx512:
      runPipelinedAvx512(plan, in, out, n, levelGain);
      return;
#endif
#if defined(__aarch64__)
    case CascadeKernel::Neon:
      runPipelinedNeon(plan, in, out, n, levelGain);
      return;
#endif
    default:
      runReference(plan, in, out, n, levelGain);
      return;
  }
}
