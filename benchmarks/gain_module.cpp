// The plainest LV2 plug-in there is, out = in * gain, built only for the
// benchmarks: the floor that a block with every stage off is compared with.
#include <lv2/core/lv2.h>

#include <cstdint>
#include <new>

namespace {

struct Gain {
  const float* gain = nullptr;
  const float* in = nullptr;
  float* out = nullptr;
};

LV2_Handle gain_instantiate(const LV2_Descriptor* /*descriptor*/, double /*rate*/,
                            const char* /*bundle_path*/, const LV2_Feature* const* /*features*/) {
  return new (std::nothrow) Gain();
}

void gain_connect_port(LV2_Handle instance, std::uint32_t port, void* data) {
  auto* g = static_cast<Gain*>(instance);
  switch (port) {
    case 0:
      g->gain = static_cast<const float*>(data);
      break;
    case 1:
      g->in = static_cast<const float*>(data);
      break;
    case 2:
      g->out = static_cast<float*>(data);
      break;
    default:
      break;
  }
}

void gain_run(LV2_Handle instance, std::uint32_t sample_count) {
  const auto* g = static_cast<const Gain*>(instance);
  const float k = *g->gain;
  const float* in = g->in;
  float* out = g->out;
  for (std::uint32_t i = 0; i < sample_count; ++i) {
    out[i] = in[i] * k;
  }
}

void gain_cleanup(LV2_Handle instance) {
  delete static_cast<Gain*>(instance);
}

const LV2_Descriptor s_descriptor = {
    "https://calvorine.audio/calvorine-suite/bench-gain",
    gain_instantiate,
    gain_connect_port,
    nullptr,
    gain_run,
    nullptr,
    gain_cleanup,
    nullptr,
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
  return index == 0 ? &s_descriptor : nullptr;
}
