// Guards against non-finite values must not touch finite signals. A fixed
// script of finite audio and in-range and out-of-range (but finite) control
// changes is run at every rate where all design frequencies lie below
// Nyquist, and the output bits are hashed. The digests below were produced
// by the build before those guards existed (commit 07ddf29) and are
// reproduced by every later build; they depend on the system math library
// (sincos, exp, expf), so a different libm may legitimately need new ones.
// Samples within a fade of `enabled` are left out of the hash (they were
// copies or chain output before the fades, and are a mix since): these
// digests of the rest come from the last build without fades (436f278),
// whose full-stream digests were the ones of 07ddf29.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "plugin_loader.h"
#include "test_support.h"

namespace {

std::uint64_t fnv1a(std::uint64_t h, const float* p, std::size_t n) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n * sizeof(float); ++i) {
    h = (h ^ bytes[i]) * 1099511628211ull;
  }
  return h;
}

template <std::size_t N>
float pick(Xorshift& rng, const float (&values)[N]) {
  return values[rng.below(N)];
}

std::uint64_t scriptDigest(const PluginModule& module, double rate) {
  PluginInstance inst(module, rate);
  if (!inst.ok()) {
    return 0;
  }
  // The script starts from these values, which the stored digests assume.
  inst.control(kPortBoostDb) = 0.0f;
  Xorshift rng(static_cast<std::uint64_t>(rate) * 2654435761ull);
  const float levels[] = {0.0f, -40.0f, -6.0f, 6.0f, 24.0f};
  const float types[] = {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, -1.0f, 7.0f, 2.5f};
  const float amounts[] = {0.0f, 0.5f, 1.0f, 2.0f, -1.0f, 3.0f, 0.25f};
  const float boosts[] = {-24.0f, -8.0f, 0.0f, 6.0f, 12.0f, 24.0f};
  const float lowpass[] = {0.0f, 0.1f, 0.25f, 0.6f, 1.0f, 1.7f, -0.3f};
  const float toggles[] = {0.0f, 1.0f};
  const float enabled[] = {1.0f, 1.0f, 1.0f, 0.0f};
  const std::uint32_t sizes[] = {0, 1, 3, 64, 127, 256, 512, 1023, 2048};

  std::vector<float> in(2048);
  std::vector<float> out(2048);
  std::uint64_t h = 1469598103934665603ull;
  std::size_t t = 0;
  bool connected[3] = {true, true, true};
  FadeWindows fades(rate);
  for (int block = 0; block < 400; ++block) {
    // Each control changes in about one block out of four.
    if (rng.below(4) == 0) inst.control(kPortLevelDb) = pick(rng, levels);
    if (rng.below(4) == 0) inst.control(kPortInvert) = pick(rng, toggles);
    if (rng.below(4) == 0) inst.control(kPortHumOn) = pick(rng, toggles);
    if (rng.below(4) == 0) inst.control(kPortPickupType) = pick(rng, types);
    if (rng.below(4) == 0) inst.control(kPortPickupAmount) = pick(rng, amounts);
    if (rng.below(4) == 0) inst.control(kPortPickupOn) = pick(rng, toggles);
    if (rng.below(4) == 0) inst.control(kPortBoostOn) = pick(rng, toggles);
    if (rng.below(4) == 0) inst.control(kPortBoostDb) = pick(rng, boosts);
    if (rng.below(4) == 0) inst.control(kPortLowpassAmount) = pick(rng, lowpass);
    if (rng.below(4) == 0) inst.control(kPortHum50Hz) = pick(rng, toggles);
    if (rng.below(4) == 0) inst.control(kPortEnabled) = pick(rng, enabled);
    const PortIndex optional[] = {kPortLowpassAmount, kPortHum50Hz, kPortEnabled};
    for (std::size_t k = 0; k < 3; ++k) {
      if (rng.below(8) == 0) {
        connected[k] = rng.below(2) != 0;
        if (connected[k]) {
          inst.reconnectControl(optional[k]);
        } else {
          inst.disconnect(optional[k]);
        }
      }
    }
    const bool on = !(connected[2] && inst.control(kPortEnabled) <= 0.5f);
    const std::uint32_t n = sizes[rng.below(9)];
    const std::vector<float> hum = sineBlock(n, 50.0, rate, 0.3f, t);
    for (std::uint32_t i = 0; i < n; ++i) {
      in[i] = 0.5f * rng.uniform() + hum[i];
    }
    if (n > 0 && rng.below(3) == 0) {
      in[rng.below(n)] = 1.0f;
    }
    if (block % 5 == 0) {
      std::memcpy(out.data(), in.data(), n * sizeof(float));
      inst.run(out.data(), out.data(), n);
    } else {
      inst.run(in.data(), out.data(), n);
    }
    const std::size_t skip = fades.skip(on, n);
    h = fnv1a(h, out.data() + skip, n - skip);
    t += n;
  }
  return h;
}

class FiniteOutput : public ::testing::Test {
 protected:
  PluginModule module;
};

TEST_F(FiniteOutput, BitIdenticalToTheBuildBeforeTheGuards) {
  struct Case {
    double rate;
    std::uint64_t digest;
  };
  const Case cases[] = {
      {14001.0, 0xae6b57d680af1c1eull},  {16000.0, 0x7caadb9d1b3de096ull},
      {22050.0, 0x45dea91998720e05ull},  {44100.0, 0xdc047013ed2e4bc3ull},
      {48000.0, 0x380c150e67ff91e4ull},  {96000.0, 0x32e5ed3993b3d18eull},
      {192000.0, 0x3b708869396d0414ull}, {384000.0, 0x75f3f41fbd386f51ull},
  };

  ASSERT_TRUE(module.loaded());
  for (const Case& c : cases) {
    EXPECT_EQ(scriptDigest(module, c.rate), c.digest) << "rate " << c.rate;
  }
}

}  // namespace
