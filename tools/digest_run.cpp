// Runs a fixed, deterministic set of scenarios through the plug-in module and
// prints one digest of all output bits. Builds for different compilers,
// architectures and kernels must print the same line.
//
//   digest_run PLUGIN.so [-v]      (-v: one line per scenario, to find a difference)
//
// The scenarios cover every stage alone and together, several rates (from one
// where the upper bands lie above Nyquist, through a host's measured clock, to
// 192 kHz), block sizes from 1 to 4096 (both sides of the pipelined path's
// threshold), in-place runs, control changes between blocks, and input with
// NaN and infinity bursts. The input and the control sequence come from a fixed
// linear congruential generator (no libm, no library distributions), so they
// are the same everywhere. The digest is 64-bit FNV-1a over the float32 output
// bits, little-endian: a checksum for equality, not a cryptographic hash. Every
// NaN counts as one value: the sign and payload of a NaN are not part of the
// output (x86-64 and AArch64 make different default NaNs).
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "plugin_loader.h"
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
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t u = 0x7fc00000u;
      if (!std::isnan(p[i])) {
        std::memcpy(&u, &p[i], sizeof u);
      }
      for (int k = 0; k < 4; ++k) {
        h = (h ^ ((u >> (8 * k)) & 0xffu)) * 1099511628211ull;
      }
    }
    samples += n;
  }
};

constexpr int kModes = 8;

// Adds the output to both digests: the whole run's and this scenario's own.
bool scenario(const LV2_Descriptor* d, double rate, std::uint64_t seed, int mode, Digest& all,
              Digest& own) {
  Lcg rng{seed};
  const LV2_Feature* features[] = {nullptr};
  LV2_Handle h = d->instantiate(d, rate, "", features);
  if (h == nullptr) {
    std::fprintf(stderr, "digest_run: instantiate failed at %.9g Hz\n", rate);
    return false;
  }
  float c[kPortCount];
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    c[p] = kPorts[p].deflt;
  }
  for (std::uint32_t p = 2; p < kPortCount; ++p) {
    d->connect_port(h, p, &c[p]);
  }
  // mode 0..3: one stage alone; 4: everything on; 5: controls change at
  // random; 6: as 5, with bursts of NaN and infinity in the input; 7: hum
  // tracking, on hum long enough to be found and removed, under noise that
  // is twenty times louder for half a second (the follower coasts through
  // its start and its end), whose mains then jumps, so that the follower
  // takes the jump, and which, once the estimates no longer follow freely
  // after it, changes its shape at once (pickups switched), so that the
  // canceller's guard acts and the estimates let go of the old shape.
  c[kPortLowpassAmount] = (mode == 0 || mode == 4) ? 0.4f : 0.0f;
  c[kPortHumOn] = (mode == 1 || mode == 4) ? 1.0f : 0.0f;
  c[kPortPickupOn] = (mode == 2 || mode == 4) ? 1.0f : 0.0f;
  c[kPortPickupType] = 1.0f;
  c[kPortBoostOn] = (mode == 3 || mode == 4) ? 1.0f : 0.0f;
  static const std::uint32_t kBlocks[] = {1, 7, 11, 12, 13, 64, 100, 256, 1000, 4096};
  std::vector<float> in(4096);
  std::vector<float> out(4096);
  // Mode 7's hum, 60.03 Hz and harmonics, from a rotation in double with
  // only products and sums, so that the input is the same on every machine;
  // after 5 s, 60.43 Hz.
  double zRe = 1.0;
  double zIm = 0.0;
  auto rotation = [rate](double hz, double& re, double& im) {
    const double step = 6.283185307179586 * hz / rate;
    re = 1.0 - step * step / 2.0 + step * step * step * step / 24.0;
    im = step - step * step * step / 6.0 + step * step * step * step * step / 120.0;
  };
  double rRe = 0.0;
  double rIm = 0.0;
  rotation(60.03, rRe, rIm);
  const std::uint64_t jumpAt = static_cast<std::uint64_t>(5.0 * rate);
  std::uint64_t played = 0;
  if (mode == 7) {
    c[kPortHumOn] = 1.0f;
    c[kPortHumTrack] = 1.0f;
  }
  const int blocks = mode == 7 ? static_cast<int>(10.6 * rate / 1200.0) : 40;
  for (int block = 0; block < blocks; ++block) {
    const std::uint32_t n = mode == 7 ? 1 + rng.next() % 2400 : kBlocks[rng.next() % 10];
    for (std::uint32_t i = 0; i < n; ++i) {
      in[i] = rng.bipolar() * 0.5f;
      if (mode == 7) {
        // Harmonics 1-15 of the phasor, odd ones stronger, over a little
        // noise; from 9.6 s the odd ones weaker and turned a quarter, the even
        // ones inverted.
        const bool switched = played >= static_cast<std::uint64_t>(9.6 * rate);
        double hRe = zRe;
        double hIm = zIm;
        double v = 0.0;
        for (int k = 1; k <= 15; ++k) {
          v += k % 2 == 1 ? (switched ? 0.008 * hRe : 0.02 * hIm)
                          : (switched ? -0.008 : 0.008) * hIm;
          const double t = hRe * zRe - hIm * zIm;
          hIm = hRe * zIm + hIm * zRe;
          hRe = t;
        }
        const bool loud = played >= 3 * static_cast<std::uint64_t>(rate) &&
                          played < 7 * static_cast<std::uint64_t>(rate) / 2;
        in[i] = static_cast<float>(v) + in[i] * (loud ? 0.2f : 0.01f);
        const double t = zRe * rRe - zIm * rIm;
        zIm = zRe * rIm + zIm * rRe;
        zRe = t;
        if (++played == jumpAt) {
          rotation(60.43, rRe, rIm);
        }
      }
    }
    if (mode == 6 && rng.next() % 4 == 0) {
      static const float kBad[] = {NAN, INFINITY, -INFINITY, 3e38f};
      for (std::uint32_t k = rng.next() % 3; k > 0 && n > 0; --k) {
        in[rng.next() % n] = kBad[rng.next() % 4];
      }
    }
    if (mode == 5 || mode == 6) {
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
      c[kPortHumTrack] = static_cast<float>(rng.next() % 2);
    }
    const bool inPlace = rng.next() % 2 == 0;
    d->connect_port(h, kPortIn, in.data());
    d->connect_port(h, kPortOut, inPlace ? in.data() : out.data());
    d->run(h, n);
    all.add(inPlace ? in.data() : out.data(), n);
    own.add(inPlace ? in.data() : out.data(), n);
  }
  d->cleanup(h);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool verbose = argc == 3 && std::strcmp(argv[2], "-v") == 0;
  if (argc != 2 && !verbose) {
    std::fprintf(stderr, "usage: digest_run PLUGIN.so [-v]\n");
    return 2;
  }
  const PluginModule module(argv[1]);
  const LV2_Descriptor* d = module.loaded() ? module.descriptor(0) : nullptr;
  if (d == nullptr) {
    std::fprintf(stderr, "digest_run: cannot load %s: %s\n", argv[1], module.error());
    return 1;
  }
  Digest dg;
  bool ok = true;
  std::uint64_t seed = 1;
  for (double rate : {8000.0, 22050.0, 44100.0, 47999.7, 48000.0, 96000.0, 192000.0}) {
    for (int mode = 0; mode < kModes; ++mode) {
      Digest one;
      ok = scenario(d, rate, seed++, mode, dg, one) && ok;
      if (verbose) {
        std::printf("%.9g Hz mode %d: %016" PRIx64 " samples %" PRIu64 "\n", rate, mode, one.h,
                    one.samples);
      }
    }
  }
  std::printf("digest %016" PRIx64 " samples %" PRIu64 "\n", dg.h, dg.samples);
  return ok ? 0 : 1;
}
