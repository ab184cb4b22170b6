// LV2 host boundary: descriptor, lifecycle callbacks and the block driver.
#include "utility_plugin.h"

#include <lv2/core/lv2.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>

#include "dsp/cascade.h"

namespace {

bool isOn(const float* port) {
  return *port > 0.5f;
}

// (type + 0.5) truncated toward zero; NaN or out-of-int32 sums select 0.
// Selector 3 plays recipe 4: recipe 3 is kept in the table but not offered.
std::int32_t pickupSelector(float type) {
  const float s = type + 0.5f;
  std::int32_t sel = 0;
  if (s >= -2147483648.0f && s < 2147483648.0f) {
    sel = static_cast<std::int32_t>(s);
  }
  return sel == 3 ? 4 : sel;
}

// What a block runs, fixed at block start.
struct Block {
  bool lowpassOn;
  bool humOn;
  bool pickupOn;
  bool boostOn;
  bool boostPeak;  // boost on and its 250 Hz peak below Nyquist
  float levelGain;
};

// Below this block size the pipeline's fill and drain cost more than it saves.
constexpr std::uint32_t kPipelineMinBlock = 12;

// The chain, one sample at a time: the readable definition of the output.
// The pipelined cascade must match it bit for bit.
void processStraight(UtilPlugin& p, const Block& b, const float* in, float* out, std::uint32_t n) {
  if (!b.lowpassOn && !b.humOn && !b.pickupOn && !b.boostOn) {
    for (std::uint32_t i = 0; i < n; ++i) {
      out[i] = in[i] * b.levelGain;
    }
    return;
  }
  // The single sections run on local copies: written through `out`, which
  // may alias anything as far as the compiler knows, their state would
  // otherwise be stored and reloaded on every sample. (Longer blocks with
  // more sections take the pipelined cascade instead.)
  Biquad lowpass = p.lowpass;
  Biquad boost = p.boost;
  Biquad(&hum)[kHumSections] = p.hum;
  PickupVoicer& voicer = p.voicer;
  const std::int32_t humCount = p.humCount;
  const float mix = p.lowpassMix;
  const float boostGain = p.boostGain;
  const float levelGain = b.levelGain;
  for (std::uint32_t i = 0; i < n; ++i) {
    float x = in[i];
    if (b.lowpassOn) {
      x = lowpassProcess(lowpass, mix, x);
    }
    if (b.humOn) {
      x = humProcess(hum, humCount, x);
    }
    if (b.pickupOn) {
      x = voicer.process(x);
    }
    if (b.boostOn) {
      const float y = b.boostPeak ? static_cast<float>(boost.process(static_cast<double>(x))) : x;
      out[i] = (y * boostGain) * levelGain;
    } else {
      out[i] = x * levelGain;
    }
  }
  p.lowpass = lowpass;
  p.boost = boost;
}

// The block's running sections as one cascade, with each stage's gain on the
// section it follows. False when the straightforward path is the better fit:
// fewer than two sections, or a boost whose peak is out of band (its flat
// gain would need a second product after the previous stage's gain).
bool buildPlan(UtilPlugin& p, const Block& b, CascadePlan& plan) {
  if (b.boostOn && !b.boostPeak) {
    return false;
  }
  std::int32_t n = 0;
  auto add = [&](Biquad& s) {
    plan.sections[n] = &s;
    plan.gains[n] = 1.0f;
    ++n;
  };
  plan.inputGain = 1.0f;
  plan.lowpassFirst = b.lowpassOn;
  plan.lowpassMix = p.lowpassMix;
  if (b.lowpassOn) {
    add(p.lowpass);
  }
  if (b.humOn) {
    for (std::int32_t k = 0; k < p.humCount; ++k) {
      add(p.hum[k]);
    }
  }
  if (b.pickupOn) {
    for (std::int32_t k = 0; k < p.voicer.count; ++k) {
      add(p.voicer.sections[k]);
    }
    // The voicer's gain follows its last section, or whatever came before it.
    if (n > 0) {
      plan.gains[n - 1] = p.voicer.gain;
    } else {
      plan.inputGain = p.voicer.gain;
    }
  }
  if (b.boostPeak) {
    add(p.boost);
    plan.gains[n - 1] = p.boostGain;
  }
  plan.count = n;
  return n >= 2;
}

// Drop state a non-finite sample left behind, so the next block is clean.
void clearNonFiniteState(UtilPlugin& p, const Block& b) {
  if (b.lowpassOn) {
    p.lowpass.clearIfNotFinite();
  }
  if (b.humOn) {
    for (std::int32_t k = 0; k < p.humCount; ++k) {
      p.hum[k].clearIfNotFinite();
    }
  }
  if (b.pickupOn) {
    for (std::int32_t k = 0; k < p.voicer.count; ++k) {
      p.voicer.sections[k].clearIfNotFinite();
    }
  }
  if (b.boostPeak) {
    p.boost.clearIfNotFinite();
  }
}

// Instantiation context. A rate that is not a positive finite number (in
// double and in its float copy) would only yield NaN designs: refuse it.
LV2_Handle util_instantiate(const LV2_Descriptor* /*descriptor*/, double sample_rate,
                            const char* /*bundle_path*/, const LV2_Feature* const* /*features*/) {
  const float rateF = static_cast<float>(sample_rate);
  if (!(sample_rate > 0.0) || !std::isfinite(sample_rate) || !(rateF > 0.0f) ||
      !std::isfinite(rateF)) {
    return nullptr;
  }
  auto* p = new (std::nothrow) UtilPlugin();
  if (p == nullptr) {
    return nullptr;
  }
  for (Biquad& s : p->hum) {
    s.clearState();
  }
  p->voicer.reset();
  p->lowpass.clearState();
  p->boost.clearState();

  p->lowpassAmount = 0.0f;
  p->lowpassMix = 0.0f;
  p->boostGain = 1.0f;
  p->boostRate = 0.0;
  p->boostDb = -1.0f;
  std::fill(std::begin(p->ports), std::end(p->ports), nullptr);
  p->sampleRateF = rateF;
  p->humHz = 60.0f;
  p->levelDb = 0.0f;
  p->lowpassInBand = false;
  p->boostPeakOn = false;

#if CALVORINE_PIPELINE
  p->kernel = bestCascadeKernel();
#else
  p->kernel = CascadeKernel::Reference;
#endif
  humDesignInitial(p->hum, p->humCount, sample_rate);
  p->sampleRate = sample_rate;
  return p;
}

// Audio class: a single store.
void util_connect_port(LV2_Handle instance, std::uint32_t port, void* data_location) {
  auto* p = static_cast<UtilPlugin*>(instance);
  if (port < kPortCount) {
    p->ports[port] = static_cast<float*>(data_location);
  }
}

// A non-finite control never reaches a design or the output: the stage keeps
// what it last applied (its neutral value before any finite one).
float finiteOr(float value, float fallback) {
  return std::isfinite(value) ? value : fallback;
}

// Audio class: the only loop. Controls are read once, designs refreshed at
// block start, then each sample runs low-pass, hum, voicer, boost, level.
void util_run(LV2_Handle instance, std::uint32_t sample_count) {
  auto* p = static_cast<UtilPlugin*>(instance);
  float* const* ports = p->ports;
  const float* in = ports[kPortIn];
  float* out = ports[kPortOut];

  const float* enabled = ports[kPortEnabled];
  if (enabled != nullptr && *enabled <= 0.5f) {
    if (in != out && sample_count > 0) {
      std::memcpy(out, in, sample_count * sizeof(float));
    }
    return;
  }

  p->levelDb = finiteOr(*ports[kPortLevelDb], p->levelDb);
  float levelGain = dbToGain(p->levelDb);
  if (isOn(ports[kPortInvert])) {
    levelGain = -levelGain;
  }

  const bool humOn = isOn(ports[kPortHumOn]);

  const float* hum50 = ports[kPortHum50Hz];
  const float mainsHz = (hum50 != nullptr && *hum50 > 0.5f) ? 50.0f : 60.0f;
  humRefresh(p->hum, p->humHz, p->humCount, mainsHz, p->sampleRateF);

  const bool pickupOn = isOn(ports[kPortPickupOn]);
  const bool boostOn = isOn(ports[kPortBoostOn]);
  PickupVoicer& voicer = p->voicer;
  if (pickupOn) {
    const bool designed = voicer.lastRate != 0.0;
    const float amount = finiteOr(*ports[kPortPickupAmount], designed ? voicer.lastAmount : 0.0f);
    voicer.prepare(static_cast<double>(p->sampleRateF), pickupSelector(*ports[kPortPickupType]),
                   amount);
  }
  if (boostOn) {
    const bool designed = p->boostRate != 0.0;
    const float d = finiteOr(*ports[kPortBoostDb], designed ? p->boostDb : 0.0f);
    boostRefresh(p->boost, p->boostGain, p->boostRate, p->boostDb, p->boostPeakOn, p->sampleRateF,
                 d);
  }

  const float* lpPort = ports[kPortLowpassAmount];
  float t = 0.0f;
  if (lpPort != nullptr) {
    const float v = *lpPort;  // each control is read once per block
    t = std::isfinite(v) ? std::min(std::max(0.0f, v), 1.0f) : p->lowpassAmount;
  }
  lowpassRefresh(p->lowpass, p->lowpassAmount, p->lowpassMix, p->lowpassInBand, p->sampleRate, t);

  Block b;
  b.lowpassOn = p->lowpassAmount > 0.0f && p->lowpassInBand;
  b.humOn = humOn;
  b.pickupOn = pickupOn;
  b.boostOn = boostOn;
  b.boostPeak = boostOn && p->boostPeakOn;
  b.levelGain = levelGain;

  CascadePlan plan;
  if (sample_count >= kPipelineMinBlock && p->kernel != CascadeKernel::Reference &&
      buildPlan(*p, b, plan)) {
    runCascade(p->kernel, plan, in, out, sample_count, levelGain);
  } else {
    processStraight(*p, b, in, out, sample_count);
  }
  clearNonFiniteState(*p, b);
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
