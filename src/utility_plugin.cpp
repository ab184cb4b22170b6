// LV2 host boundary: descriptor, lifecycle callbacks and the block driver.
#include "utility_plugin.h"

#include <lv2/core/lv2.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>

namespace {

bool isOn(const float* port) { return *port > 0.5f; }

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

// Instantiation context.
LV2_Handle util_instantiate(const LV2_Descriptor* /*descriptor*/, double sample_rate,
                            const char* /*bundle_path*/,
                            const LV2_Feature* const* /*features*/) {
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
  p->sampleRateF = static_cast<float>(sample_rate);
  p->humHz = 60.0f;

  humDesignInitial(p->hum, sample_rate);
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

// Audio class: the only loop. Controls are read once, designs refreshed at
// block start, then each sample runs low-pass, hum, voicer, boost, level.
void util_run(LV2_Handle instance, std::uint32_t sample_count) {
  auto* p = static_cast<UtilPlugin*>(instance);
  float* const* ports = p->ports;
  const float* in = ports[kPortIn];
  float* out = ports[kPortOut];

  const float* enabled = ports[kPortEnabled];
  if (enabled != nullptr && *enabled <= 0.5f) {
    if (in != out) {
      std::memcpy(out, in, sample_count * sizeof(float));
    }
    return;
  }

  float levelGain = dbToGain(*ports[kPortLevelDb]);
  if (isOn(ports[kPortInvert])) {
    levelGain = -levelGain;
  }

  const bool humOn = isOn(ports[kPortHumOn]);

  const float* hum50 = ports[kPortHum50Hz];
  const float mainsHz = (hum50 != nullptr && *hum50 > 0.5f) ? 50.0f : 60.0f;
  humRefresh(p->hum, p->humHz, mainsHz, p->sampleRateF);

  const bool pickupOn = isOn(ports[kPortPickupOn]);
  const bool boostOn = isOn(ports[kPortBoostOn]);
  if (pickupOn) {
    p->voicer.prepare(static_cast<double>(p->sampleRateF),
                      pickupSelector(*ports[kPortPickupType]), *ports[kPortPickupAmount]);
  }
  if (boostOn) {
    boostRefresh(p->boost, p->boostGain, p->boostRate, p->boostDb, p->sampleRateF,
                 *ports[kPortBoostDb]);
  }

  const float* lpPort = ports[kPortLowpassAmount];
  const float t = (lpPort != nullptr) ? std::min(std::max(0.0f, *lpPort), 1.0f) : 0.0f;
  lowpassRefresh(p->lowpass, p->lowpassAmount, p->lowpassMix, p->sampleRate, t);

  const bool lowpassOn = p->lowpassAmount > 0.0f;
  const float mix = p->lowpassMix;
  const float boostGain = p->boostGain;
  for (std::uint32_t i = 0; i < sample_count; ++i) {
    float x = in[i];
    if (lowpassOn) {
      x = lowpassProcess(p->lowpass, mix, x);
    }
    if (humOn) {
      x = humProcess(p->hum, x);
    }
    if (pickupOn) {
      x = p->voicer.process(x);
    }
    if (boostOn) {
      const float y = static_cast<float>(p->boost.process(static_cast<double>(x)));
      out[i] = (y * boostGain) * levelGain;
    } else {
      out[i] = x * levelGain;
    }
  }
}

// Instantiation context.
void util_cleanup(LV2_Handle instance) { delete static_cast<UtilPlugin*>(instance); }

const LV2_Descriptor s_lv2_descriptor = {
    CALVORINE_UTILITY_URI, util_instantiate, util_connect_port, nullptr, util_run,
    nullptr,               util_cleanup,     nullptr,
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
  return index == 0 ? &s_lv2_descriptor : nullptr;
}
