// Runs a fixed, deterministic set of scenarios through the plug-in module and
// prints one digest of all output bits. Builds for different compilers,
// architectures and kernels must print the same line.
//
//   digest_run PLUGIN.so
//
// The scenarios cover every stage alone and together, several rates, block
// sizes from 1 to 4096 (both sides of the pipelined path's threshold), in-place
// runs and control changes between blocks. The input and the control sequence
// come from a fixed linear congruential generator (no libm, no library
// distributions), so they are the same everywhere. The digest is 64-bit FNV-1a
// over the raw float32 output: a checksum for equality, not a cryptographic hash.
#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ports.h"

namespace {

struct Lcg {
  std::uint64_t s;
  std::uint32_t next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(s >> 33);
  }
  // Uniform in [-1, 1), exact in float.
  float bipolar() {
    return static_cast<float>(static_cast<std::int32_t>(next() >> 7) - (1 << 23)) / 8388608.0f;
  }
  float unit() { return static_cast<float>(next() >> 8) / 16777216.0f; }
};

struct Digest {
  std::uint64_t h = 1469598103934665603ull;
  std::uint64_t samples = 0;
  void add(const float* p, std::size_t n) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n * sizeof(float); ++i) {
      h = (h ^ b[i]) * 1099511628211ull;
    }
    samples += n;
  }
};

void scenario(const LV2_Descriptor* d, double rate, std::uint64_t seed, int mode, Digest& dg) {
  Lcg rng{seed};
  const LV2_Feature* features[] = {nullptr};
  LV2_Handle h = d->instantiate(d, rate, "", features);
  if (h == nullptr) {
    std::fprintf(stderr, "digest_run: instantiate failed at %g Hz\n", rate);
    return;
  }
  float c[kPortCount] = {0, 0, 0, 0, 0, 0, 1, 0, 0, 6, 0, 0, 1};
  for (std::uint32_t p = 2; p < kPortCount; ++p) {
    d->connect_port(h, p, &c[p]);
  }
  // mode 0..3: one stage alone; 4: everything on; 5: controls change at random.
  c[kPortLowpassAmount] = (mode == 0 || mode == 4) ? 0.4f : 0.0f;
  c[kPortHumOn] = (mode == 1 || mode == 4) ? 1.0f : 0.0f;
  c[kPortPickupOn] = (mode == 2 || mode == 4) ? 1.0f : 0.0f;
  c[kPortPickupType] = 1.0f;
  c[kPortBoostOn] = (mode == 3 || mode == 4) ? 1.0f : 0.0f;
  static const std::uint32_t kBlocks[] = {1, 7, 11, 12, 13, 64, 100, 256, 1000, 4096};
  std::vector<float> in(4096);
  std::vector<float> out(4096);
  for (int block = 0; block < 40; ++block) {
    const std::uint32_t n = kBlocks[rng.next() % 10];
    for (std::uint32_t i = 0; i < n; ++i) {
      in[i] = rng.bipolar() * 0.5f;
    }
    if (mode == 5) {
      c[kPortLevelDb] = rng.unit() * 30.0f - 20.0f;
      c[kPortInvert] = static_cast<float>(rng.next() % 2);
      c[kPortHumOn] = static_cast<float>(rng.next() % 2);
      c[kPortHum50Hz] = static_cast<float>(rng.next() % 2);
      c[kPortPickupOn] = static_cast<float>(rng.next() % 2);
      c[kPortPickupType] = static_cast<float>(rng.next() % 5);
      c[kPortPickupAmount] = rng.unit() * 2.0f;
      c[kPortBoostOn] = static_cast<float>(rng.next() % 2);
      c[kPortBoostDb] = rng.unit() * 48.0f - 24.0f;
      c[kPortLowpassAmount] = (rng.next() % 3 == 0) ? 0.0f : rng.unit();
      c[kPortEnabled] = (rng.next() % 8 == 0) ? 0.0f : 1.0f;
    }
    const bool inPlace = rng.next() % 2 == 0;
    d->connect_port(h, kPortIn, in.data());
    d->connect_port(h, kPortOut, inPlace ? in.data() : out.data());
    d->run(h, n);
    dg.add(inPlace ? in.data() : out.data(), n);
  }
  d->cleanup(h);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: digest_run PLUGIN.so\n");
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "digest_run: %s\n", dlerror());
    return 1;
  }
  auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor"));
  const LV2_Descriptor* d = entry != nullptr ? entry(0) : nullptr;
  if (d == nullptr) {
    std::fprintf(stderr, "digest_run: no descriptor\n");
    return 1;
  }
  Digest dg;
  std::uint64_t seed = 1;
  for (double rate : {22050.0, 44100.0, 48000.0, 96000.0}) {
    for (int mode = 0; mode < 6; ++mode) {
      scenario(d, rate, seed++, mode, dg);
    }
  }
  std::printf("digest %016" PRIx64 " samples %" PRIu64 "\n", dg.h, dg.samples);
  dlclose(lib);
  return 0;
}
