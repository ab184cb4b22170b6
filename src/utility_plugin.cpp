// LV2 host boundary: descriptor, lifecycle callbacks and the block driver.
#include "utility_plugin.h"

#include <lv2/core/lv2.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "block_controls.h"
#include "dsp/cascade.h"

namespace {

// Instantiation context. A rate that is not a positive finite number (in
// double and in its float copy) would only yield NaN designs: refuse it.
LV2_Handle util_instantiate(const LV2_Descriptor* /*descriptor*/, double sample_rate,
                            const char* /*bundle_path*/, const LV2_Feature* const* /*features*/) {
  const float rateF = static_cast<float>(sample_rate);
  if (!(sample_rate > 0.0) || !std::isfinite(sample_rate) || !(rateF > 0.0f) ||
      !std::isfinite(rateF)) {
    return nullptr;
  }
  auto* p = new (std::nothrow) UtilPlugin(sample_rate);
  if (p == nullptr) {
    return nullptr;
  }
  initChain(p->chain, sample_rate);
  p->bypass.init(sample_rate);
#if CALVORINE_PIPELINE
  p->kernel = bestCascadeKernel();
#else
  p->kernel = CascadeKernel::Reference;
#endif
  return p;
}

// Audio class: a single store.
void util_connect_port(LV2_Handle instance, std::uint32_t port, void* data_location) {
  auto* p = static_cast<UtilPlugin*>(instance);
  if (port < kPortCount) {
    p->ports[port] = static_cast<float*>(data_location);
  }
}

// A steady block, or what follows a fade in one: off, a plain copy (an
// in-place buffer is left as it is); on, the chain as this block's plan has
// it, which the caller prepared and will finish.
inline void copyInput(const float* in, float* out, std::uint32_t n) {
  if (in != out && n > 0) {
    std::memcpy(out, in, n * sizeof(float));
  }
}

inline void runChain(UtilPlugin* p, const float* in, float* out, std::uint32_t n) {
  runCascade(blockKernel(p->kernel, p->plan, n), p->plan, in, out, n);
}

// The mains frequency the hum filter follows, for the host to show: 0 unless
// this block ran the tracker.
inline void reportMains(UtilPlugin* p) {
  float* port = p->ports[kPortHumFreq];
  if (port != nullptr) {
    *port = p->trackerIn ? humTrackerFrequency(p->tracker) : 0.0f;
  }
}

// A block switched off: the tracker is out of the chain, and starts afresh
// when it next comes in.
inline void reportOff(UtilPlugin* p) {
  p->trackerIn = false;
  reportMains(p);
}

// A block in which the enable switch changed, or a fade is under way. Off,
// no port but the audio and the switch is read and no design refreshed.
__attribute__((noinline)) void runSwitchingBlock(UtilPlugin* p, bool on, const float* in,
                                                 float* out, std::uint32_t sample_count) {
  p->bypass.select(on, p->plan);
  if (!on) {
    const std::uint32_t done = p->bypass.fade(nullptr, p->kernel, in, out, sample_count);
    copyInput(in + done, out + done, sample_count - done);
    reportOff(p);
    return;
  }
  const ChainControls k = readControls(p->ports);
  prepareBlock(p->chain, k, p->plan);
  const std::uint32_t done = p->bypass.fade(&p->plan, p->kernel, in, out, sample_count);
  runChain(p, in + done, out + done, sample_count - done);
  finishBlock(p->plan);
  reportMains(p);
}

// Audio class: the only loop. Controls are read once, designs refreshed at
// block start, then each sample runs low-pass, hum, voicer, boost, level.
void util_run(LV2_Handle instance, std::uint32_t sample_count) {
  auto* p = static_cast<UtilPlugin*>(instance);
  float* const* ports = p->ports;
  const float* in = ports[kPortIn];
  float* out = ports[kPortOut];

  const bool on = !blockIsCopy(ports);
  if (!p->bypass.steady(on)) {
    runSwitchingBlock(p, on, in, out, sample_count);
    return;
  }
  if (!on) {
    copyInput(in, out, sample_count);
    reportOff(p);
    return;
  }
  const ChainControls k = readControls(ports);
  prepareBlock(p->chain, k, p->plan);
  runChain(p, in, out, sample_count);
  finishBlock(p->plan);
  reportMains(p);
}

// Instantiation context.
void util_cleanup(LV2_Handle instance) {
  delete static_cast<UtilPlugin*>(instance);
}

const LV2_Descriptor s_lv2_descriptor = {
    CALVORINE_UTILITY_URI, util_instantiate, util_connect_port, nullptr, util_run, nullptr,
    util_cleanup,          nullptr,
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
  return index == 0 ? &s_lv2_descriptor : nullptr;
}
