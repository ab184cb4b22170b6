// Runs a fixed number of blocks of one configuration for callgrind, which
// counts instructions only inside calvorine_bench_run_blocks (see
// callgrind.sh): set-up, designs and the first blocks stay outside.
//
//   callgrind_driver MODULE.so CONFIG [BLOCK [BLOCKS]]
//
// CONFIG is a stage configuration (off, lowpass, hum, voicer, boost, full) of
// our module, or "gain" for a module with ports gain, in, out (the plain gain
// module, LV2's example amplifier).
#include <lv2/core/lv2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"

// Not inlined and not mangled, so that callgrind's --toggle-collect finds it.
extern "C" __attribute__((noinline)) void calvorine_bench_run_blocks(
    const LV2_Descriptor* d, LV2_Handle h, std::uint32_t inPort, std::uint32_t outPort,
    const float* ring, float* out, std::uint32_t block, std::uint32_t blocks) {
  std::uint32_t pos = 0;
  for (std::uint32_t b = 0; b < blocks; ++b) {
    d->connect_port(h, inPort, const_cast<float*>(ring + pos));
    d->connect_port(h, outPort, out);
    d->run(h, block);
    pos += block;
    if (pos + block > bench::kNoiseLength) {
      pos = 0;
    }
  }
}

namespace {

std::uint32_t parseCount(const char* s, const char* what) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(s, &end, 10);
  if (end == s || *end != '\0' || v == 0 || v > 4096 * 4096) {
    std::fprintf(stderr, "callgrind_driver: bad %s '%s'\n", what, s);
    std::exit(2);
  }
  return static_cast<std::uint32_t>(v);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MODULE.so CONFIG [BLOCK [BLOCKS]]\n", argv[0]);
    return 2;
  }
  const std::string config = argv[2];
  const std::uint32_t block = argc > 3 ? parseCount(argv[3], "block size") : 256;
  const std::uint32_t blocks = argc > 4 ? parseCount(argv[4], "block count") : 200;
  if (block > bench::kNoiseLength) {
    std::fprintf(stderr, "callgrind_driver: block size above %u\n", bench::kNoiseLength);
    return 2;
  }
  PluginModule module(argv[1]);
  if (!module.loaded()) {
    std::fprintf(stderr, "callgrind_driver: cannot load %s\n", argv[1]);
    return 1;
  }
  const std::vector<float> ring = bench::noise();
  std::vector<float> out(block);

  if (config == "gain") {
    bench::GainInstance gain(module, -3.0f);
    if (!gain.ok()) {
      std::fprintf(stderr, "callgrind_driver: instantiate failed\n");
      return 1;
    }
    gain.run(ring.data(), out.data(), block);
    calvorine_bench_run_blocks(gain.descriptor(), gain.handle(), 1, 2, ring.data(), out.data(),
                               block, blocks);
  } else {
    const bench::StageConfig* c = bench::findStageConfig(config);
    if (c == nullptr) {
      std::fprintf(stderr, "callgrind_driver: unknown configuration '%s'\n", config.c_str());
      return 2;
    }
    PluginInstance plugin(module, bench::kRate);
    if (!plugin.ok()) {
      std::fprintf(stderr, "callgrind_driver: instantiate failed\n");
      return 1;
    }
    bench::applyStageConfig(plugin, *c);
    // Designs happen on the first block after a control change: keep it out.
    plugin.run(ring.data(), out.data(), block);
    calvorine_bench_run_blocks(plugin.descriptor(), plugin.handle(), kPortIn, kPortOut, ring.data(),
                               out.data(), block, blocks);
  }
  std::printf("samples %llu\n", static_cast<unsigned long long>(block) * blocks);
  return 0;
}
