// The built module driven through its descriptor, as a host drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dsp/bypass.h"
#include "plugin_loader.h"
#include "test_support.h"
#include "utility_plugin.h"

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

// The chain's part of an instance record: every section, design and gain.
std::vector<unsigned char> chainState(const PluginInstance& inst) {
  const auto& p = *static_cast<const UtilPlugin*>(inst.handle());
  std::vector<unsigned char> bytes;
  auto add = [&bytes](const auto& field) {
    const auto* b = reinterpret_cast<const unsigned char*>(&field);
    bytes.insert(bytes.end(), b, b + sizeof field);
  };
  add(p.hum);
  add(p.voicer.sections);
  add(p.voicer.count);
  add(p.voicer.gain);
  add(p.voicer.lastRate);
  add(p.voicer.lastType);
  add(p.voicer.lastAmount);
  add(p.lowpassAmount);
  add(p.lowpassMix);
  add(p.lowpass);
  add(p.boost);
  add(p.boostGain);
  add(p.boostRate);
  add(p.boostDb);
  add(p.humHz);
  add(p.levelDb);
  add(p.levelInverted);
  add(p.levelGain);
  add(p.humCount);
  add(p.lowpassInBand);
  add(p.boostPeakOn);
  return bytes;
}

// Switching off fades out on a copy of the chain: the instance's chain is
// left exactly as it was at the switch, and once the fade is over each block
// is a plain copy (nothing written past it, an in-place buffer left alone).
// Controls changed while off, even mid-fade, take effect at the next
// processed block; after its fade in, the stream is that of an instance that
// never saw the disabled stretch.
TEST_F(PluginTest, SwitchingOffLeavesTheChainAsItWas) {
  const double rate = 48000.0;
  const std::size_t fade = bypassFadeLength(rate);
  ASSERT_EQ(fade, 960u);
  const std::vector<float> in = testSignal(6000, rate, 3);
  const std::vector<float> part1(in.begin(), in.begin() + 1500);
  const std::vector<float> part2(in.begin() + 1500, in.end());

  PluginInstance ref(module, rate);
  allStagesOn(ref);
  const std::vector<float> ref1 = ref.process(part1, 128);
  ref.control(kPortHum50Hz) = 0.0f;
  ref.control(kPortBoostDb) = 3.0f;
  ref.control(kPortLowpassAmount) = 0.2f;
  ref.control(kPortPickupType) = 2.0f;
  const std::vector<float> ref2 = ref.process(part2, 128);

  // `still` goes through the same, but for the controls changed mid-fade.
  PluginInstance inst(module, rate);
  PluginInstance still(module, rate);
  allStagesOn(inst);
  allStagesOn(still);
  EXPECT_TRUE(sameBits(inst.process(part1, 128), ref1));
  still.process(part1, 128);
  const std::vector<unsigned char> atSwitch = chainState(inst);

  inst.control(kPortEnabled) = 0.0f;
  still.control(kPortEnabled) = 0.0f;
  const std::vector<float> junk = noise(fade + 301, 99);
  std::vector<float> out(junk.size() + 4, 7.0f);
  std::vector<float> want(junk.size());
  const std::uint32_t head = 400;
  const auto tail = static_cast<std::uint32_t>(junk.size()) - head;
  inst.run(junk.data(), out.data(), head);
  still.run(junk.data(), want.data(), head);
  // Controls changed while disabled, mid-fade: the fade keeps the designs
  // it began with, and neither it nor the copy after it reads them.
  inst.control(kPortHum50Hz) = 0.0f;
  inst.control(kPortBoostDb) = 3.0f;
  inst.control(kPortLowpassAmount) = 0.2f;
  inst.control(kPortPickupType) = 2.0f;
  inst.run(junk.data() + head, out.data() + head, tail);
  still.run(junk.data() + head, want.data() + head, tail);
  EXPECT_TRUE(
      sameBits({out.begin(), out.begin() + static_cast<std::ptrdiff_t>(junk.size())}, want));
  EXPECT_NE(std::memcmp(out.data(), junk.data(), fade * sizeof(float)), 0) << "a fade, not a copy";
  EXPECT_EQ(std::memcmp(out.data() + fade, junk.data() + fade, 301 * sizeof(float)), 0);
  for (std::size_t i = junk.size(); i < out.size(); ++i) {
    EXPECT_EQ(out[i], 7.0f) << "written past the block at " << i;
  }
  EXPECT_TRUE(chainState(inst) == atSwitch) << "the fade out moved the chain";
  // The threshold itself still means off.
  inst.control(kPortEnabled) = 0.5f;
  std::vector<float> buf = junk;
  inst.run(buf.data(), buf.data(), static_cast<std::uint32_t>(buf.size()));
  EXPECT_TRUE(sameBits(buf, junk));
  EXPECT_TRUE(chainState(inst) == atSwitch);

  inst.control(kPortEnabled) = 1.0f;
  const std::vector<float> got = inst.process(part2, 128);
  EXPECT_TRUE(sameBits({got.begin() + static_cast<std::ptrdiff_t>(fade), got.end()},
                       {ref2.begin() + static_cast<std::ptrdiff_t>(fade), ref2.end()}));

  // After a burst too, the chain held back from rising, then rising:
  // it ran on exactly the enabled samples, as an instance that saw only
  // those, and is left so once the copies have faded.
  PluginInstance bursty(module, rate);
  PluginInstance enabledOnly(module, rate);
  allStagesOn(bursty);
  allStagesOn(enabledOnly);
  std::vector<float> scratch(in.size());
  std::size_t pos = 0;
  bool on = true;
  for (std::uint32_t n : {1500u, 60u, 97u, 134u, 171u, 208u, 400u, 1u}) {
    bursty.control(kPortEnabled) = on ? 1.0f : 0.0f;
    bursty.run(in.data() + pos, scratch.data(), n);
    if (on) {
      enabledOnly.run(in.data() + pos, scratch.data(), n);
    }
    pos += n;
    on = !on;
  }
  EXPECT_TRUE(chainState(bursty) == chainState(enabledOnly)) << "after the burst";
  EXPECT_FALSE(sameBits(bursty.process(junk, 64), junk)) << "the copies fade";
  EXPECT_TRUE(sameBits(bursty.process(junk, 64), junk));
  EXPECT_TRUE(chainState(bursty) == chainState(enabledOnly)) << "after their fades";
}

// An 8th-order Butterworth high-pass at 3 kHz (four cookbook sections), in
// double: what it lets through of a 110 Hz tone and its filtered copies is
// the click of a switch.
class ClickMeter {
 public:
  explicit ClickMeter(double rate) {
    const double q[4] = {0.5097955791041592, 0.6013448869350453, 0.8999762231364156,
                         2.5629154477415055};
    const double w0 = 2.0 * 3.141592653589793 * 3000.0 / rate;
    for (int k = 0; k < 4; ++k) {
      const double alpha = std::sin(w0) / (2.0 * q[k]);
      const double c = std::cos(w0);
      const double a0 = 1.0 + alpha;
      s_[k] = {(1.0 + c) / 2.0 / a0,
               -(1.0 + c) / a0,
               (1.0 + c) / 2.0 / a0,
               -2.0 * c / a0,
               (1.0 - alpha) / a0,
               0.0,
               0.0};
    }
  }
  std::vector<double> filter(const std::vector<float>& x) {
    std::vector<double> y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      double v = static_cast<double>(x[i]);
      for (Biquad& s : s_) {
        v = s.process(v);
      }
      y[i] = v;
    }
    return y;
  }
  // Peak in dBFS over [from, from + n).
  static double peakDb(const std::vector<double>& y, std::size_t from, std::size_t n) {
    double m = 1e-30;
    for (std::size_t i = from; i < std::min(y.size(), from + n); ++i) {
      m = std::max(m, std::fabs(y[i]));
    }
    return 20.0 * std::log10(m);
  }

 private:
  Biquad s_[4];
};

// Toggling `enabled` crosses over a smooth fade instead of a step: what the
// switches put above 3 kHz stays 90 dB under the peak of the steady output,
// at every rate, from the hum filter alone to every gain at its top. Single
// switches off and on at block boundaries, and turned around 5 ms into a
// fade, of a 110 Hz tone, from each switch to 70 ms after it; then bursts of
// 2 to 5 switches 1 to 15 ms apart, and a switch in every block for 50 ms,
// at block sizes of 1 to 1024 and open-string tones (82 to 330 Hz), from the
// first switch to 120 ms after it. The same meter sees a hard switch.
TEST_F(PluginTest, SwitchingEnabledDoesNotClick) {
  constexpr double kPi = 3.141592653589793;
  enum { kHumOnly, kVoiced, kTop, kSettings };
  const char* const names[] = {"hum only", "voiced", "top"};
  auto setUp = [](PluginInstance& inst, int setting) {
    inst.control(kPortHumOn) = 1.0f;
    if (setting != kHumOnly) {
      inst.control(kPortPickupOn) = 1.0f;
      inst.control(kPortPickupType) = 1.0f;
      inst.control(kPortPickupAmount) = setting == kTop ? 2.0f : 1.0f;
      inst.control(kPortBoostOn) = 1.0f;
      inst.control(kPortBoostDb) = setting == kTop ? 24.0f : 6.0f;
    }
    if (setting == kTop) {
      inst.control(kPortLevelDb) = 24.0f;
      inst.control(kPortLowpassAmount) = 1.0f;
    }
  };
  // -12 dBFS after a 50 ms onset.
  auto toneOf = [](double f, double rate, std::size_t n) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(i) / rate;
      const double onset = t < 0.05 ? 0.5 - 0.5 * std::cos(kPi * t / 0.05) : 1.0;
      v[i] = static_cast<float>(0.2511886 * onset * std::sin(2.0 * kPi * f * t));
    }
    return v;
  };
  // Off, on, off and back on, off, on and back off; each at the first block
  // boundary from then on.
  const double switches[] = {0.5, 1.0, 1.5, 1.505, 2.0, 2.1, 2.105};
  constexpr std::size_t kSwitches = std::size(switches);
  const double tones[] = {82.41, 110.0, 146.83, 196.0, 246.94, 329.63};
  Xorshift rng(testSeed("enable bursts", 0x243f6a8885a308d3ull));
  std::size_t stream = 0;
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    auto ms = [rate](double t) { return static_cast<std::size_t>(t * rate / 1000.0); };
    const auto total = static_cast<std::size_t>(2.6 * rate);
    const std::vector<float> tone = toneOf(110.0, rate, total);
    for (int setting = 0; setting < kSettings; ++setting) {
      // The peak of the steady output while on, or of the dry tone.
      auto steadyDb = [&](const std::vector<float>& out, std::size_t at) {
        const float peak = peakAbs(out.data() + at - ms(70.0), ms(70.0));
        return 20.0 * std::log10(static_cast<double>(std::max(0.2511886f, peak)));
      };
      for (std::uint32_t block : {32u, 128u, 1024u}) {
        std::vector<std::size_t> at;
        PluginInstance inst(module, rate);
        setUp(inst, setting);
        std::vector<float> out(total);
        for (std::size_t pos = 0; pos < total; pos += block) {
          if (at.size() < kSwitches && static_cast<double>(pos) >= switches[at.size()] * rate) {
            at.push_back(pos);
          }
          inst.control(kPortEnabled) = at.size() % 2 == 0 ? 1.0f : 0.0f;
          const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(block, total - pos));
          inst.run(tone.data() + pos, out.data() + pos, n);
        }
        ASSERT_EQ(at.size(), kSwitches);
        const std::vector<double> y = ClickMeter(rate).filter(out);
        const double steady = steadyDb(out, at[0]);
        const double quiet = ClickMeter::peakDb(y, at[0] - ms(70.0), ms(70.0));
        double worst[2] = {-400.0, -400.0};  // switching off, on
        for (std::size_t k = 0; k < kSwitches; ++k) {
          worst[k % 2] = std::max(worst[k % 2], ClickMeter::peakDb(y, at[k], ms(70.0)) - steady);
        }
        std::printf(
            "[ click    ] %6.0f Hz, block %4u, %-8s peak %5.1f dBFS, steady %7.1f dBFS, off %6.1f, "
            "on %6.1f dB under the peak\n",
            rate, block, names[setting], steady, quiet, worst[0], worst[1]);
        EXPECT_LE(std::max(worst[0], worst[1]), -90.0)
            << rate << " Hz, block " << block << ", " << names[setting];

        if (block == 128) {
          // A hard switch from the chain's output to the dry tone.
          PluginInstance always(module, rate);
          setUp(always, setting);
          std::vector<float> hard = always.process(tone, block);
          std::copy(tone.begin() + static_cast<std::ptrdiff_t>(at[0]), tone.end(),
                    hard.begin() + static_cast<std::ptrdiff_t>(at[0]));
          EXPECT_GT(ClickMeter::peakDb(ClickMeter(rate).filter(hard), at[0], ms(70.0)) - steady,
                    -50.0);
        }
      }

      // Bursts 0.25 s apart from 0.5 s on: the first is off, on 5.3 ms later
      // and off 11.8 ms after the first; the last a switch in every block.
      const double f = tones[++stream % std::size(tones)];
      const std::vector<float> input = toneOf(f, rate, ms(2000.0));
      std::vector<std::size_t> at = {ms(500.0), ms(505.3), ms(511.8)};
      for (double t = 750.0; t < 1750.0; t += 250.0) {
        for (std::uint32_t k = 2 + rng.below(4), next = 0; k > 0; --k) {
          at.push_back(ms(t) + next);
          next += static_cast<std::uint32_t>(ms(1.0)) +
                  rng.below(static_cast<std::uint32_t>(ms(14.0)) + 1);
        }
      }
      at.push_back(ms(1750.0));
      at.push_back(input.size());
      PluginInstance inst(module, rate);
      setUp(inst, setting);
      std::vector<float> out(input.size());
      bool on = true;
      for (std::size_t pos = 0, next = 0; pos < input.size();) {
        const bool everyBlock = pos > ms(1750.0) && pos < ms(1800.0);
        const std::uint32_t most = everyBlock || rng.below(4) == 0 ? 16 : 1024;
        for (; at[next] == pos; ++next) {
          on = !on;
        }
        if (everyBlock) {
          on = !on;
        }
        const std::size_t n = std::min<std::size_t>(1 + rng.below(most), at[next] - pos);
        inst.control(kPortEnabled) = on ? 1.0f : 0.0f;
        inst.run(input.data() + pos, out.data() + pos, static_cast<std::uint32_t>(n));
        pos += n;
      }
      const std::vector<double> y = ClickMeter(rate).filter(out);
      const double steady = steadyDb(out, ms(500.0));
      double worst[2] = {-400.0, -400.0};  // the first burst, any
      for (std::size_t b = 0; b < 6; ++b) {
        const double from = 500.0 + 250.0 * static_cast<double>(b);
        const double db = ClickMeter::peakDb(y, ms(from), ms(120.0)) - steady;
        worst[b != 0] = std::max(worst[b != 0], db);
      }
      std::printf(
          "[ burst    ] %6.0f Hz, %-8s %6.2f Hz: first %6.1f, worst %6.1f dB under the peak\n",
          rate, names[setting], f, worst[0], std::max(worst[0], worst[1]));
      EXPECT_LE(std::max(worst[0], worst[1]), -90.0)
          << rate << " Hz, " << names[setting] << ", " << f;
    }
  }
}

// Runs `in` through `inst` in blocks of `nextBlock()` samples, cut at each
// switch of `enabled` (off at the first, back on at the second, ...), in
// place or not.
template <typename NextBlock>
std::vector<float> runSwitching(PluginInstance& inst, const std::vector<float>& in,
                                const std::vector<std::size_t>& switches, bool inPlace,
                                NextBlock nextBlock) {
  std::vector<float> out = in;
  std::size_t next = 0;
  for (std::size_t pos = 0; pos < in.size();) {
    while (next < switches.size() && switches[next] <= pos) {
      ++next;
    }
    inst.control(kPortEnabled) = next % 2 == 0 ? 1.0f : 0.0f;
    std::size_t n = std::min<std::size_t>(nextBlock(), in.size() - pos);
    if (next < switches.size()) {
      n = std::min(n, switches[next] - pos);
    }
    inst.run(inPlace ? out.data() + pos : in.data() + pos, out.data() + pos,
             static_cast<std::uint32_t>(n));
    pos += n;
  }
  return out;
}

// A fade runs the same however the host cuts it into blocks, down to single
// samples, and in place or not; with `enabled` unconnected, or off from the
// first block, there is no fade at all.
TEST_F(PluginTest, FadesDoNotDependOnBlocking) {
  const double rate = 44100.0;
  const std::vector<float> in = testSignal(9000, rate, 21);
  // The switch at these samples; one turns a fade around, and the last of
  // a burst waits for a copy to fade, until sample 7882.
  const std::vector<std::size_t> switches = {1000, 3000, 3100, 5500, 5600,
                                             5650, 7000, 7100, 7200, 7300};
  auto runWith = [&](std::uint32_t block, bool inPlace) {
    PluginInstance inst(module, rate);
    allStagesOn(inst);
    return runSwitching(inst, in, switches, inPlace, [block] { return block; });
  };
  const std::vector<float> whole = runWith(9000, false);
  EXPECT_TRUE(allFinite(whole.data(), whole.size()));
  EXPECT_TRUE(sameBits(runWith(1, false), whole));
  EXPECT_TRUE(sameBits(runWith(37, true), whole));
  EXPECT_TRUE(sameBits(runWith(4096, true), whole));
  PluginInstance off(module, rate);
  allStagesOn(off);
  off.control(kPortEnabled) = 0.0f;
  EXPECT_TRUE(sameBits(off.process(in, 512), in)) << "off from the first block";
  PluginInstance unconnected(module, rate);
  PluginInstance ref(module, rate);
  allStagesOn(unconnected);
  allStagesOn(ref);
  unconnected.disconnect(kPortEnabled);
  EXPECT_TRUE(sameBits(unconnected.process(in, 512), ref.process(in, 512)));
}

// Hum tracking follows the mains on a fixed sample count, so that blocks of
// 1, 64 and 4096 samples, mixed sizes and in-place buffers give one output,
// the fades of `enabled` included (a fade out runs a copy of the tracker),
// and from the first sound on, so that silence ahead changes nothing;
// and it does follow: mains hum at 60.04 Hz with harmonics is found and
// removed, and the reported frequency is the hum's.
TEST_F(PluginTest, HumTrackingIsTheSameHoweverTheHostCutsBlocks) {
  constexpr double kRate = 48000.0;
  constexpr double kPi = 3.141592653589793;
  std::vector<float> in(6 * 48000);
  std::vector<float> hum(in.size());
  const std::vector<float> noise = noiseBlock(in.size(), 31, 0.003f);
  for (std::size_t i = 0; i < in.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    double v = 0.0;
    for (int h = 1; h <= 12; ++h) {
      v += (h % 2 == 1 ? 0.02 : 0.01) / h * std::sin(2.0 * kPi * 60.04 * h * t + h);
    }
    hum[i] = static_cast<float>(v);
    in[i] = hum[i] + noise[i];
  }
  // `enabled` off, back on 5 ms later (a fade turned around), and off again
  // a little later for half a second, on at 2.5 s.
  const std::vector<std::size_t> switches = {100000, 100240, 101000, 120000};
  std::uint64_t seed = testSeed("hum tracking blocks", 41);
  auto runWith = [&](std::uint32_t block, bool inPlace, bool mixed, float* lastMains) {
    PluginInstance inst(module, kRate);
    inst.control(kPortHumOn) = 1.0f;
    inst.control(kPortHumTrack) = 1.0f;
    std::vector<float> out = runSwitching(inst, in, switches, inPlace, [&] {
      if (!mixed) {
        return std::size_t{block};
      }
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      return static_cast<std::size_t>(1 + (seed >> 33) % 700);
    });
    if (lastMains != nullptr) {
      *lastMains = inst.control(kPortHumFreq);
    }
    return out;
  };
  float mains = 0.0f;
  const std::vector<float> whole = runWith(4096, false, false, &mains);
  EXPECT_TRUE(sameBits(runWith(1, false, false, nullptr), whole));
  EXPECT_TRUE(sameBits(runWith(64, true, false, nullptr), whole));
  EXPECT_TRUE(sameBits(runWith(0, false, true, nullptr), whole));
  EXPECT_NEAR(mains, 60.04f, 0.01f);
  // Behind silence (a host running the plug-in before the signal arrives),
  // the same bits, however long the silence; with the low-pass blend too,
  // which runs inside the tracker's loop.
  for (const float lowpass : {0.0f, 0.4f}) {
    auto behind = [&](std::size_t quiet) {
      PluginInstance inst(module, kRate);
      inst.control(kPortHumOn) = 1.0f;
      inst.control(kPortHumTrack) = 1.0f;
      inst.control(kPortLowpassAmount) = lowpass;
      std::vector<float> padded(quiet, 0.0f);
      padded.insert(padded.end(), in.begin(), in.begin() + 3 * 48000);
      const std::vector<float> out = inst.process(padded, 700);
      return std::vector<float>(out.begin() + static_cast<std::ptrdiff_t>(quiet), out.end());
    };
    const std::vector<float> plain = behind(0);
    EXPECT_TRUE(sameBits(behind(1), plain)) << "low-pass " << lowpass;
    EXPECT_TRUE(sameBits(behind(54321), plain)) << "low-pass " << lowpass;
  }
  // Over the last second, what is left of the hum.
  double humPower = 0.0;
  double leftPower = 0.0;
  for (std::size_t i = in.size() - 48000; i < in.size(); ++i) {
    const double left = static_cast<double>(whole[i]) - static_cast<double>(noise[i]);
    humPower += static_cast<double>(hum[i]) * static_cast<double>(hum[i]);
    leftPower += left * left;
  }
  const double removedDb = 10.0 * std::log10(humPower / leftPower);
  std::printf("[ tracking ] %.1f dB of the hum removed over the last second\n", removedDb);
  EXPECT_GT(removedDb, 20.0);
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
    // Past the fade that each change of state starts.
    const auto fade = static_cast<std::ptrdiff_t>(bypassFadeLength(rate));
    auto afterFade = [fade](const std::vector<float>& v) {
      return std::vector<float>(v.begin() + fade, v.end());
    };
    inst.disconnect(kPortEnabled);
    EXPECT_TRUE(sameBits(inst.process(in, 256), negated)) << "enabled unconnected";
    inst.control(kPortEnabled) = 0.0f;
    inst.reconnectControl(kPortEnabled);
    EXPECT_TRUE(sameBits(afterFade(inst.process(in, 256)), afterFade(in)))
        << "enabled connected at 0";
    inst.disconnect(kPortEnabled);
    EXPECT_TRUE(sameBits(afterFade(inst.process(in, 256)), afterFade(negated)))
        << "enabled disconnected after 0";
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
  for (std::uint32_t port :
       {std::uint32_t{kPortCount}, kPortCount + 1u, 64u, 0x7fffffffu, 0xffffffffu}) {
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
