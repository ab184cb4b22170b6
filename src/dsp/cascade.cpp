#include "cascade.h"

#include <initializer_list>

#include "hum_tracker.h"

#if defined(__x86_64__)
#define CASCADE_ISA_NS cascade_sse2
#include "cascade_dispatch.h"
#include "cascade_isa_x86.h"
#include "cascade_kernel.h"

void runPipelinedSse2(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                      float level) {
  cascade_sse2::runPipelined<IsaSse2>(plan, in, out, n, level);
}
#endif

#if defined(__aarch64__)
#define CASCADE_ISA_NS cascade_neon
#include "cascade_dispatch.h"
#include "cascade_isa_neon.h"
#include "cascade_kernel.h"

void runPipelinedNeon(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                      float level) {
  cascade_neon::runPipelined<IsaNeon>(plan, in, out, n, level);
}
#endif

namespace {

void runReference(const CascadePlan& plan, const float* in, float* out, std::uint32_t n) {
  const std::int32_t count = plan.count;
  const float inputGain = plan.inputGain;
  const float outputGain = plan.outputGain;
  const float level = plan.levelGain;
  const float mix = plan.lowpassMix;
  const std::int32_t first = plan.lowpassFirst ? 1 : 0;
  if (n <= 2) {
    // For a sample or two, copies of the sections cost more than they save.
    for (std::uint32_t i = 0; i < n; ++i) {
      float x = in[i] * inputGain;
      if (first == 1) {
        x = plan.sections[0]->blend(x, mix) * plan.gains[0];
      }
      for (std::int32_t j = first; j < count; ++j) {
        x = static_cast<float>(plan.sections[j]->process(static_cast<double>(x))) * plan.gains[j];
      }
      out[i] = (x * outputGain) * level;
    }
    return;
  }
  // Longer blocks run the sections on local copies: written through `out`,
  // which may alias anything as far as the compiler knows, their state would
  // otherwise be stored and reloaded on every sample.
  Biquad local[kMaxCascade];
  Biquad* s[kMaxCascade];
  float g[kMaxCascade];
  for (std::int32_t j = 0; j < count; ++j) {
    local[j] = *plan.sections[j];
    s[j] = &local[j];
    g[j] = plan.gains[j];
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    float x = in[i] * inputGain;
    if (first == 1) {
      x = s[0]->blend(x, mix) * g[0];
    }
    for (std::int32_t j = first; j < count; ++j) {
      x = static_cast<float>(s[j]->process(static_cast<double>(x))) * g[j];
    }
    out[i] = (x * outputGain) * level;
  }
  for (std::int32_t j = 0; j < count; ++j) {
    plan.sections[j]->z1 = local[j].z1;
    plan.sections[j]->z2 = local[j].z2;
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

void runSections(CascadeKernel kernel, const CascadePlan& plan, const float* in, float* out,
                 std::uint32_t n) {
  if (plan.count <= 0 || plan.count > kMaxCascade || plan.outputGain != 1.0f) {
    kernel = CascadeKernel::Reference;
  }
  const float levelGain = plan.levelGain;
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
      runReference(plan, in, out, n);
      return;
  }
}

void runTracked(CascadeKernel kernel, const CascadePlan& plan, const float* in, float* out,
                std::uint32_t n) {
  // The two parts as plans of their own: every product with the gains of 1
  // they gain is exact, so each sample takes the same operations as in one
  // cascade with the tracker between its sections.
  CascadePlan after = plan;
  after.tracker = nullptr;
  after.count = plan.count - plan.trackerAt;
  for (std::int32_t j = 0; j < after.count; ++j) {
    after.sections[j] = plan.sections[plan.trackerAt + j];
    after.gains[j] = plan.gains[plan.trackerAt + j];
  }
  after.inputGain = plan.trackerGain;
  after.lowpassFirst = false;
  // Chunk by chunk: the sections ahead in a pass of their own if there is
  // one, the tracker (with the lead inside its loop, if given), the rest.
  auto chunks = [&](const TrackerLead* lead, const CascadePlan* ahead) {
    constexpr std::uint32_t kChunk = 256;
    float buffer[kChunk];
    for (std::uint32_t pos = 0; pos < n; pos += kChunk) {
      const std::uint32_t c = n - pos < kChunk ? n - pos : kChunk;
      const float* x = in + pos;
      if (ahead != nullptr) {
        runCascade(blockKernel(kernel, *ahead, c), *ahead, x, buffer, c);
        x = buffer;
      }
      humTrackerRun(*plan.tracker, x, buffer, c, lead);
      runCascade(blockKernel(kernel, after, c), after, buffer, out + pos, c);
    }
  };
  // What the chain puts ahead of the tracker: nothing, or the low-pass blend
  // alone, which runs inside the tracker's loop (in a pass of its own its
  // recursion would wait on itself at every sample).
  if (plan.trackerAt == 0 && plan.inputGain == 1.0f) {
    chunks(nullptr, nullptr);
    return;
  }
  if (plan.trackerAt == 1 && plan.lowpassFirst) {
    const TrackerLead lead{plan.sections[0], plan.inputGain, plan.lowpassMix, plan.gains[0]};
    chunks(&lead, nullptr);
    return;
  }
  CascadePlan before = plan;
  before.tracker = nullptr;
  before.count = plan.trackerAt;
  before.outputGain = 1.0f;
  before.levelGain = 1.0f;
  chunks(nullptr, &before);
}
