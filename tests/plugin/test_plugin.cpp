// The built module driven through its descriptor, as a host drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "plugin_loader.h"
#include "test_support.h"

namespace {

std::vector<float> noise(std::size_t n, std::uint64_t seed = 1) {
  return noiseBlock(n, seed);
}

// Every stage on, each well inside its useful range.
void allStagesOn(PluginInstance& inst) {
  inst.control(kPortLevelDb) = -3.0f;
  inst.control(kPortInvert) = 1.0f;
  inst.control(kPortHumOn) = 1.0f;
  inst.control(kPortPickupType) = 1.0f;
  inst.control(kPortPickupAmount) = 0.8f;
  inst.control(kPortPickupOn) = 1.0f;
  inst.control(kPortBoostOn) = 1.0f;
  inst.control(kPortBoostDb) = 7.5f;
  inst.control(kPortLowpassAmount) = 0.6f;
  inst.control(kPortHum50Hz) = 1.0f;
  inst.control(kPortEnabled) = 1.0f;
}

// Noise with a hum-like tone and a click, so that every stage has something to act on.
std::vector<float> testSignal(std::size_t n, double rate, unsigned seed) {
  std::vector<float> v = noise(n, seed);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    v[i] = 0.3f * v[i] + static_cast<float>(0.4 * std::sin(2.0 * 3.141592653589793 * 50.0 * t));
  }
  v[n / 3] = 0.95f;
  return v;
}

// Block sizes to cover n samples: zero-length blocks, single samples and odd sizes.
std::vector<std::uint32_t> randomBlocks(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::uint32_t> kind(0, 5);
  std::uniform_int_distribution<std::uint32_t> half(1, 300);
  std::vector<std::uint32_t> sizes;
  std::size_t covered = 0;
  while (covered < n) {
    const std::uint32_t k = kind(rng);
    const std::uint32_t size = k == 0 ? 0u : k == 1 ? 1u : 2u * half(rng) + 1u;
    sizes.push_back(size);
    covered += size;
  }
  return sizes;
}

// Runs `in` through `inst` in the given block sizes, in place or not.
std::vector<float> processBlocks(PluginInstance& inst, const std::vector<float>& in,
                                 const std::vector<std::uint32_t>& sizes, bool inPlace) {
  std::vector<float> out(in.size());
  if (inPlace) {
    out = in;
  }
  std::size_t pos = 0;
  for (std::uint32_t size : sizes) {
    const std::size_t len = std::min<std::size_t>(size, in.size() - pos);
    const float* src = inPlace ? out.data() + pos : in.data() + pos;
    inst.run(src, out.data() + pos, static_cast<std::uint32_t>(len));
    pos += len;
  }
  EXPECT_EQ(pos, in.size());
  return out;
}

// Amplitude of the f Hz component; exact for a window of whole cycles.
double toneAmplitude(const float* x, std::size_t n, double rate, double f) {
  double s = 0.0;
  double c = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double ph = 2.0 * 3.141592653589793 * f * static_cast<double>(i) / rate;
    s += static_cast<double>(x[i]) * std::sin(ph);
    c += static_cast<double>(x[i]) * std::cos(ph);
  }
  return 2.0 * std::sqrt(s * s + c * c) / static_cast<double>(n);
}

class PluginTest : public ::testing::Test {
 protected:
  PluginModule module;
};

TEST_F(PluginTest, DescriptorIndexZeroOnly) {
  ASSERT_TRUE(module.loaded());
  const LV2_Descriptor* d = module.descriptor(0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d, module.descriptor(0));
  EXPECT_STREQ(d->URI, "https://calvorine.audio/calvorine-suite/utility");
  EXPECT_EQ(module.descriptor(1), nullptr);
  EXPECT_EQ(module.descriptor(2), nullptr);
  EXPECT_EQ(module.descriptor(0xffffffffu), nullptr);
  EXPECT_NE(d->instantiate, nullptr);
  EXPECT_NE(d->connect_port, nullptr);
  EXPECT_NE(d->run, nullptr);
  EXPECT_NE(d->cleanup, nullptr);
  EXPECT_EQ(d->activate, nullptr);
  EXPECT_EQ(d->deactivate, nullptr);
  EXPECT_EQ(d->extension_data, nullptr);
  d->cleanup(nullptr);  // accepted and ignored
}

TEST_F(PluginTest, FreshInstanceIsIdentityAtEveryRate) {
  for (double rate : {22050.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
    PluginInstance inst(module, rate);
    ASSERT_TRUE(inst.ok());
    inst.disconnect(kPortLowpassAmount);
    inst.disconnect(kPortHum50Hz);
    inst.disconnect(kPortEnabled);
    const std::vector<float> in = noise(1001);
    EXPECT_TRUE(sameBits(inst.process(in, 64), in)) << rate;
  }
}

TEST_F(PluginTest, LevelAndPolarity) {
  PluginInstance inst(module, 48000.0);
  const std::vector<float> in = noise(300);
  inst.control(kPortInvert) = 1.0f;
  std::vector<float> out = inst.process(in, 300);
  for (std::size_t i = 0; i < in.size(); ++i) {
    ASSERT_EQ(out[i], -in[i]);
  }
  inst.control(kPortInvert) = 0.0f;
  inst.control(kPortLevelDb) = 6.0f;
  out = inst.process(in, 300);
  const float g = std::exp((6.0f * 0.05f) * 2.3025851f);
  EXPECT_NEAR(g, 1.9953f, 1e-4);
  for (std::size_t i = 0; i < in.size(); ++i) {
    ASSERT_EQ(out[i], in[i] * g);
  }

  // A sweep of levels, each with the polarity switch just below, at and above
  // its threshold: every sample is the input times one float gain.
  for (float db : {-40.0f, -12.5f, -3.0f, 0.0f, 0.1f, 24.0f}) {
    const float gain = std::exp((db * 0.05f) * 2.3025851f);
    EXPECT_NEAR(gain, std::pow(10.0, static_cast<double>(db) / 20.0),
                1e-6 * static_cast<double>(gain))
        << db;
    for (float inv : {0.0f, 0.5f, 0.50001f, 1.0f}) {
      inst.control(kPortLevelDb) = db;
      inst.control(kPortInvert) = inv;
      out = inst.process(in, 97);
      const float signedGain = inv > 0.5f ? -gain : gain;
      for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(out[i], in[i] * signedGain) << "level " << db << " invert " << inv << " at " << i;
      }
    }
  }
}

TEST_F(PluginTest, DisabledBlockIsCopyInAndOutOfPlace) {
  PluginInstance inst(module, 48000.0);
  inst.control(kPortLevelDb) = -12.0f;
  inst.control(kPortHumOn) = 1.0f;
  inst.control(kPortEnabled) = 0.0f;
  const std::vector<float> in = noise(257);
  EXPECT_TRUE(sameBits(inst.process(in, 257), in));
  std::vector<float> buf = in;
  inst.run(buf.data(), buf.data(), static_cast<std::uint32_t>(buf.size()));
  EXPECT_TRUE(sameBits(buf, in));
}

TEST_F(PluginTest, ZeroLengthBlockWritesNothing) {
  PluginInstance inst(module, 48000.0);
  float in[1] = {0.5f};
  float out[1] = {123.0f};
  inst.run(in, out, 0);
  EXPECT_EQ(out[0], 123.0f);
}

// The whole chain at rates from telephone to high-resolution audio: how the
// host cuts the stream into blocks (empty, single-sample, odd) and whether it
// runs in place must not change a single bit of the output.
TEST_F(PluginTest, AnyBlockingInOrOutOfPlaceMatchesOneBlockAtEveryRate) {
  const auto seed = static_cast<unsigned>(testSeed("random block splits", 20240611u));
  for (double rate : {8000.0, 11025.0, 16000.0, 22050.0, 44100.0, 48000.0, 88200.0, 96000.0,
                      176400.0, 192000.0, 352800.0, 384000.0}) {
    SCOPED_TRACE("rate " + std::to_string(rate));
    const std::vector<float> in = testSignal(3001, rate, seed);

    PluginInstance whole(module, rate);
    ASSERT_TRUE(whole.ok());
    allStagesOn(whole);
    const std::vector<float> ref = whole.process(in, static_cast<std::uint32_t>(in.size()));
    EXPECT_FALSE(sameBits(ref, in));
    EXPECT_TRUE(std::all_of(ref.begin(), ref.end(), [](float y) { return std::isfinite(y); }));

    PluginInstance split(module, rate);
    allStagesOn(split);
    // An empty block writes nothing, even with every stage on.
    float in0[2] = {0.25f, -0.25f};
    float sentinel[2] = {7.0f, 7.0f};
    split.run(in0, sentinel, 0);
    EXPECT_EQ(sentinel[0], 7.0f);
    EXPECT_EQ(sentinel[1], 7.0f);
    EXPECT_TRUE(sameBits(processBlocks(split, in, randomBlocks(in.size(), seed), false), ref));

    PluginInstance inPlace(module, rate);
    allStagesOn(inPlace);
    EXPECT_TRUE(sameBits(processBlocks(inPlace, in, randomBlocks(in.size(), seed + 1), true), ref));

    PluginInstance single(module, rate);
    allStagesOn(single);
    EXPECT_TRUE(sameBits(single.process(in, 1), ref));
  }
}

// The first sample of a fresh instance, in a block of its own, already goes
// through every stage: turning any one of them off changes it.
TEST_F(PluginTest, OneSampleBlockRunsTheWholeChain) {
  auto firstSample = [this](PortIndex off, float offValue) {
    PluginInstance inst(module, 48000.0);
    allStagesOn(inst);
    if (off != kPortCount) {
      inst.control(off) = offValue;
    }
    float x = 0.25f;
    float y = 0.0f;
    inst.run(&x, &y, 1);
    return y;
  };
  const float all = firstSample(kPortCount, 0.0f);
  EXPECT_NE(all, 0.25f);
  const std::pair<PortIndex, float> stages[] = {{kPortLowpassAmount, 0.0f}, {kPortHumOn, 0.0f},
                                                {kPortPickupOn, 0.0f},      {kPortBoostOn, 0.0f},
                                                {kPortLevelDb, 0.0f},       {kPortInvert, 0.0f}};
  for (const auto& [port, value] : stages) {
    EXPECT_NE(firstSample(port, value), all) << kPorts[port].symbol;
  }
}

// A disabled block copies exactly sample_count samples (or leaves an in-place
// buffer alone) and leaves every filter untouched: the stream after it is the
// stream of an instance that never saw it, including control changes made
// while disabled, which take effect at the first processed block.
TEST_F(PluginTest, CopyBlockLeavesAllStateUntouched) {
  const std::vector<float> in = testSignal(4000, 48000.0, 3);
  const std::vector<float> part1(in.begin(), in.begin() + 1500);
  const std::vector<float> part2(in.begin() + 1500, in.end());

  PluginInstance ref(module, 48000.0);
  allStagesOn(ref);
  const std::vector<float> ref1 = ref.process(part1, 128);
  ref.control(kPortHum50Hz) = 0.0f;
  ref.control(kPortBoostDb) = 3.0f;
  ref.control(kPortLowpassAmount) = 0.2f;
  ref.control(kPortPickupType) = 2.0f;
  const std::vector<float> ref2 = ref.process(part2, 128);

  PluginInstance inst(module, 48000.0);
  allStagesOn(inst);
  EXPECT_TRUE(sameBits(inst.process(part1, 128), ref1));

  inst.control(kPortEnabled) = 0.0f;
  const std::vector<float> junk = noise(301, 99);
  std::vector<float> out(junk.size() + 4, 7.0f);
  inst.run(junk.data(), out.data(), static_cast<std::uint32_t>(junk.size()));
  EXPECT_EQ(std::memcmp(out.data(), junk.data(), junk.size() * sizeof(float)), 0);
  for (std::size_t i = junk.size(); i < out.size(); ++i) {
    EXPECT_EQ(out[i], 7.0f) << "written past the block at " << i;
  }
  // Controls changed while disabled; the threshold itself still means off.
  inst.control(kPortHum50Hz) = 0.0f;
  inst.control(kPortBoostDb) = 3.0f;
  inst.control(kPortLowpassAmount) = 0.2f;
  inst.control(kPortPickupType) = 2.0f;
  inst.control(kPortEnabled) = 0.5f;
  std::vector<float> buf = junk;
  inst.run(buf.data(), buf.data(), static_cast<std::uint32_t>(buf.size()));
  EXPECT_TRUE(sameBits(buf, junk));

  inst.control(kPortEnabled) = 1.0f;
  EXPECT_TRUE(sameBits(inst.process(part2, 128), ref2));
}

// hum_50hz picks 50 Hz mains only while connected and on; 60 Hz otherwise,
// including after it is disconnected. Seen in the output: a 50 Hz and a
// 60 Hz tone, and which of them the notch bank removes.
TEST_F(PluginTest, MainsSelectionFollowsTheOptionalPort) {
  const double rate = 48000.0;
  const std::size_t phase = 72000;   // 1.5 s: the notches settle well within it
  const std::size_t window = 14400;  // last 0.3 s: 15 and 18 whole cycles
  std::vector<float> in(phase);
  for (std::size_t i = 0; i < phase; ++i) {
    const double t = static_cast<double>(i) / rate;
    in[i] = static_cast<float>(0.5 * std::sin(2.0 * 3.141592653589793 * 50.0 * t) +
                               0.5 * std::sin(2.0 * 3.141592653589793 * 60.0 * t + 1.0));
  }
  PluginInstance inst(module, rate);
  inst.control(kPortHumOn) = 1.0f;
  inst.disconnect(kPortHum50Hz);

  auto expectNotched = [&](const char* what, double notchedHz, double keptHz) {
    const std::vector<float> out = inst.process(in, 512);
    const float* tail = out.data() + (phase - window);
    EXPECT_LT(toneAmplitude(tail, window, rate, notchedHz), 1e-3) << what;
    EXPECT_GT(toneAmplitude(tail, window, rate, keptHz), 0.45) << what;
  };
  expectNotched("unconnected", 60.0, 50.0);
  inst.control(kPortHum50Hz) = 1.0f;
  inst.reconnectControl(kPortHum50Hz);
  expectNotched("connected at 1", 50.0, 60.0);
  inst.disconnect(kPortHum50Hz);
  expectNotched("disconnected after 1", 60.0, 50.0);
  inst.control(kPortHum50Hz) = 0.0f;
  inst.reconnectControl(kPortHum50Hz);
  expectNotched("connected at 0", 60.0, 50.0);
}

// lowpass_amount reads as 0 while unconnected, is clamped to 0..1 while
// connected, and disconnecting it takes the low-pass out at the next block.
// enabled processes while unconnected and copies only while connected and off.
// Everything else is off, so "out of the chain" means output == input.
TEST_F(PluginTest, LowpassAndEnableFollowTheirOptionalPorts) {
  const double rate = 48000.0;
  std::vector<float> in(4800);
  for (std::size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<float>(
        0.5 * std::sin(2.0 * 3.141592653589793 * 12000.0 * static_cast<double>(i) / rate));
  }
  {
    PluginInstance inst(module, rate);
    inst.disconnect(kPortLowpassAmount);
    EXPECT_TRUE(sameBits(inst.process(in, 256), in)) << "unconnected";
    inst.control(kPortLowpassAmount) = 0.6f;
    inst.reconnectControl(kPortLowpassAmount);
    const std::vector<float> low = inst.process(in, 256);
    // Corner at 2.64 kHz: 12 kHz falls by more than 20 dB.
    EXPECT_LT(toneAmplitude(low.data() + 2400, 2400, rate, 12000.0), 0.05) << "connected at 0.6";
    inst.disconnect(kPortLowpassAmount);
    EXPECT_TRUE(sameBits(inst.process(in, 256), in)) << "disconnected after 0.6";
    inst.control(kPortLowpassAmount) = -0.3f;
    inst.reconnectControl(kPortLowpassAmount);
    EXPECT_TRUE(sameBits(inst.process(in, 256), in)) << "connected below 0";
  }
  {
    PluginInstance atOne(module, rate);
    PluginInstance above(module, rate);
    atOne.control(kPortLowpassAmount) = 1.0f;
    above.control(kPortLowpassAmount) = 1.7f;
    EXPECT_TRUE(sameBits(above.process(in, 256), atOne.process(in, 256))) << "clamped to 1";
  }
  {
    PluginInstance inst(module, rate);
    inst.control(kPortInvert) = 1.0f;
    std::vector<float> negated(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
      negated[i] = -in[i];
    }
    inst.disconnect(kPortEnabled);
    EXPECT_TRUE(sameBits(inst.process(in, 256), negated)) << "enabled unconnected";
    inst.control(kPortEnabled) = 0.0f;
    inst.reconnectControl(kPortEnabled);
    EXPECT_TRUE(sameBits(inst.process(in, 256), in)) << "enabled connected at 0";
    inst.disconnect(kPortEnabled);
    EXPECT_TRUE(sameBits(inst.process(in, 256), negated)) << "enabled disconnected after 0";
  }
}

// connect_port with an index past the last port is ignored (nothing is
// written anywhere: ASan would see it), and moving `out` onto `in` between
// runs switches to in-place processing without changing the stream.
TEST_F(PluginTest, ConnectPortIgnoresUnknownIndicesAndFollowsReconnection) {
  const std::vector<float> in = testSignal(2000, 44100.0, 5);
  PluginInstance ref(module, 44100.0);
  allStagesOn(ref);
  const std::vector<float> expected = ref.process(in, 250);

  PluginInstance inst(module, 44100.0);
  allStagesOn(inst);
  float stray = 123.0f;
  for (std::uint32_t port : {13u, 14u, 64u, 0x7fffffffu, 0xffffffffu}) {
    inst.connect(port, &stray);
  }
  std::vector<float> out(in.size());
  std::vector<float> buf = in;
  for (std::size_t pos = 0; pos < in.size(); pos += 250) {
    if ((pos / 250) % 2 == 0) {
      inst.run(in.data() + pos, out.data() + pos, 250);
    } else {
      inst.run(buf.data() + pos, buf.data() + pos, 250);
      std::memcpy(out.data() + pos, buf.data() + pos, 250 * sizeof(float));
    }
  }
  EXPECT_TRUE(sameBits(out, expected));
  EXPECT_EQ(stray, 123.0f);
}

// Instances share nothing: two instances with different rates and settings,
// run interleaved block by block (and a third created and destroyed in the
// middle), give the streams that each gives alone.
TEST_F(PluginTest, InstancesAreIndependent) {
  const std::vector<float> inA = testSignal(3000, 48000.0, 11);
  const std::vector<float> inB = testSignal(3000, 44100.0, 12);
  auto setupB = [](PluginInstance& inst) {
    inst.control(kPortHumOn) = 1.0f;
    inst.control(kPortPickupOn) = 1.0f;
    inst.control(kPortPickupType) = 2.0f;
    inst.control(kPortPickupAmount) = 1.3f;
    inst.control(kPortLowpassAmount) = 0.1f;
    inst.control(kPortLevelDb) = 4.0f;
  };
  PluginInstance aloneA(module, 48000.0);
  allStagesOn(aloneA);
  const std::vector<float> refA = aloneA.process(inA, 3000);
  PluginInstance aloneB(module, 44100.0);
  setupB(aloneB);
  const std::vector<float> refB = aloneB.process(inB, 3000);

  PluginInstance a(module, 48000.0);
  PluginInstance b(module, 44100.0);
  allStagesOn(a);
  setupB(b);
  std::vector<float> outA(inA.size());
  std::vector<float> outB(inB.size());
  const std::uint32_t sizes[] = {1, 77, 300, 5, 0, 129};
  std::size_t pos = 0;
  for (std::size_t k = 0; pos < inA.size(); ++k) {
    const std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::size_t>(sizes[k % 6], inA.size() - pos));
    a.run(inA.data() + pos, outA.data() + pos, n);
    b.run(inB.data() + pos, outB.data() + pos, n);
    if (k == 7) {
      PluginInstance third(module, 96000.0);
      allStagesOn(third);
      third.process(inA, 64);
    }
    pos += n;
  }
  EXPECT_TRUE(sameBits(outA, refA));
  EXPECT_TRUE(sameBits(outB, refB));
}

}  // namespace
