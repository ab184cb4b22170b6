// The built module driven through its descriptor, as a host drives it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "plugin_loader.h"

namespace {

std::vector<float> noise(std::size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) {
    x = dist(rng);
  }
  return v;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
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

}  // namespace
