// Pickup voicer: recipe cascades scaled by an amount. Each designed section's
// gain at its centre (peaks) or its far side (shelves) is checked against the
// recipe's dB times the amount, analytically and by measurement; the change
// detection is checked on the whole object's bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dsp/pickup_voicer.h"
#include "response.h"

namespace {

constexpr double kFs = 48000.0;

PickupVoicer makeVoicer() {
  PickupVoicer v;
  std::memset(static_cast<void*>(&v), 0, sizeof v);  // zero the padding for byte compares
  v.reset();
  return v;
}

bool sameBytes(const PickupVoicer& a, const PickupVoicer& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameBytes(const Biquad& a, const Biquad& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

double gainRatio(double db) {
  return std::pow(10.0, db / 20);
}

struct Expected {
  StageKind kind;
  double freq;
  double db;
  double q;  // peaks only
};

// Where a stage reaches its full gain: a peak at its centre, a low shelf at
// DC, a high shelf at Nyquist.
double gainPoint(const Expected& e, double fs) {
  switch (e.kind) {
    case StageKind::LowShelf:
      return 0.0;
    case StageKind::HighShelf:
      return fs / 2;
    default:
      return e.freq;
  }
}

// Each section is measured on its own with a steady sine (or a held value,
// or the alternating Nyquist sequence) through a fresh copy.
void expectStageGains(const PickupVoicer& v, const std::vector<Expected>& want, double fs) {
  ASSERT_EQ(v.count, static_cast<int>(want.size()));
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("section " + std::to_string(i));
    const double at = gainPoint(want[i], fs);
    EXPECT_NEAR(response::magnitudeDb(v.sections[i], at, fs), want[i].db, 1e-6);
    Biquad b = v.sections[i];
    b.clearState();
    const double measured = response::measureGain(response::sectionStep(b), at, fs, 30000, 20000);
    EXPECT_NEAR(response::toDb(measured), want[i].db, 1e-4);
    // The whole curve, not just the end points: width (Q) and shelf slope too.
    const Biquad ref = want[i].kind == StageKind::Peak
                           ? response::textbookPeak(want[i].freq, want[i].q, want[i].db, fs)
                           : response::textbookShelf(want[i].kind == StageKind::HighShelf,
                                                     want[i].freq, want[i].db, fs);
    EXPECT_LT(response::maxDifferenceDb(v.sections[i], ref, fs), 1e-6);
  }
}

double cascadeAnalytic(const PickupVoicer& v, double f, double fs) {
  double m = static_cast<double>(v.gain);
  for (int i = 0; i < v.count; ++i) {
    m *= response::magnitude(v.sections[i], f, fs);
  }
  return m;
}

TEST(PickupVoicer, AmountZeroIsFlatForEveryRecipe) {
  const int stages[] = {3, 5, 4, 3, 5};
  for (int r = 0; r < PickupVoicer::kRecipeCount; ++r) {
    SCOPED_TRACE("recipe " + std::to_string(r));
    PickupVoicer v = makeVoicer();
    v.prepare(kFs, r, 0.0f);
    EXPECT_EQ(v.count, stages[r]);
    EXPECT_EQ(v.gain, 1.0f);
    for (int i = 0; i < v.count; ++i) {
      EXPECT_TRUE(response::isIdentityDesign(v.sections[i])) << "section " << i;
    }
    for (double f : {50.0, 1000.0, 7000.0}) {
      PickupVoicer run = v;
      EXPECT_NEAR(
          response::measureGain([&run](float x) { return run.process(x); }, f, kFs, 4000, 8000),
          1.0, 1e-6)
          << f << " Hz";
    }
  }
}

TEST(PickupVoicer, Recipes1And2AtFullAmount) {
  PickupVoicer v = makeVoicer();
  v.prepare(kFs, 1, 1.0f);
  EXPECT_EQ(v.count, 5);
  EXPECT_NEAR(v.gain, 2.2387f, 1e-4f);
  EXPECT_NEAR(static_cast<double>(v.gain) / gainRatio(7.0), 1.0, 2e-6);
  expectStageGains(v,
                   {{StageKind::LowShelf, 90.0, -2.5, 0.0},
                    {StageKind::Peak, 340.0, 2.0, 0.8},
                    {StageKind::Peak, 2000.0, 2.5, 1.0},
                    {StageKind::Peak, 4500.0, -5.0, 1.8},
                    {StageKind::HighShelf, 3800.0, -15.0, 0.0}},
                   kFs);

  v.prepare(kFs, 2, 1.0f);
  EXPECT_NEAR(static_cast<double>(v.gain) / gainRatio(5.5), 1.0, 2e-6);
  expectStageGains(v,
                   {{StageKind::LowShelf, 95.0, -2.0, 0.0},
                    {StageKind::Peak, 450.0, -3.0, 1.0},
                    {StageKind::Peak, 4800.0, -8.0, 1.1},
                    {StageKind::HighShelf, 7000.0, 1.0, 0.0}},
                   kFs);
}

// A band at or above Nyquist gets no section; the rest keep their order.
TEST(PickupVoicer, BandsAtOrAboveNyquistAreLeftOut) {
  PickupVoicer v = makeVoicer();
  v.prepare(8000.0, 1, 1.0f);
  expectStageGains(v,
                   {{StageKind::LowShelf, 90.0, -2.5, 0.0},
                    {StageKind::Peak, 340.0, 2.0, 0.8},
                    {StageKind::Peak, 2000.0, 2.5, 1.0},
                    {StageKind::HighShelf, 3800.0, -15.0, 0.0}},
                   8000.0);
  v.prepare(7600.0, 1, 1.0f);  // the 3800 Hz shelf sits exactly at Nyquist
  EXPECT_EQ(v.count, 3);
  EXPECT_NEAR(static_cast<double>(v.gain) / gainRatio(7.0), 1.0, 2e-6);
}

TEST(PickupVoicer, Recipe4AtHalfAmountHalvesEveryGain) {
  PickupVoicer v = makeVoicer();
  v.prepare(kFs, 4, 0.5f);
  EXPECT_NEAR(v.gain, 0.7943f, 1e-4f);
  EXPECT_NEAR(static_cast<double>(v.gain) / gainRatio(-2.0), 1.0, 2e-6);
  expectStageGains(v,
                   {{StageKind::LowShelf, 85.0, -0.4, 0.0},
                    {StageKind::Peak, 2100.0, 0.45, 2.0},
                    {StageKind::Peak, 3000.0, 1.05, 1.4},
                    {StageKind::Peak, 5000.0, -1.2, 0.7},
                    {StageKind::HighShelf, 6800.0, -1.65, 0.0}},
                   kFs);
}

// A negative amount mirrors every stage and the level: the -1 cascade undoes
// the +1 cascade at every frequency.
TEST(PickupVoicer, NegativeAmountInvertsTheRecipe) {
  PickupVoicer down = makeVoicer();
  down.prepare(kFs, 0, -1.0f);
  EXPECT_NEAR(static_cast<double>(down.gain) / gainRatio(-4.0), 1.0, 2e-6);
  expectStageGains(down,
                   {{StageKind::Peak, 2000.0, -2.5, 0.9},
                    {StageKind::Peak, 4500.0, 5.0, 1.8},
                    {StageKind::HighShelf, 4000.0, 13.0, 0.0}},
                   kFs);

  std::mt19937 rng(response::sweepSeed("PickupVoicer.NegativeAmountInvertsTheRecipe"));
  for (int r = 0; r < PickupVoicer::kRecipeCount; ++r) {
    const float amount = static_cast<float>(response::uniform(rng, 0.05, 1.0));
    PickupVoicer up = makeVoicer();
    up.prepare(kFs, r, amount);
    down.prepare(kFs, r, -amount);
    for (int i = 0; i < 8; ++i) {
      const double f = response::uniform(rng, 0.0, kFs / 2);
      SCOPED_TRACE("recipe " + std::to_string(r) + " amount " + std::to_string(amount) + " at " +
                   std::to_string(f) + " Hz");
      EXPECT_NEAR(cascadeAnalytic(up, f, kFs) * cascadeAnalytic(down, f, kFs), 1.0, 1e-6);
    }
  }
}

TEST(PickupVoicer, OutOfRangeIndexDesignsRecipe0) {
  PickupVoicer zero = makeVoicer();
  zero.prepare(kFs, 0, 1.0f);
  EXPECT_NEAR(static_cast<double>(zero.gain) / gainRatio(4.0), 1.0, 2e-6);
  for (std::int32_t index : {7, -1}) {
    SCOPED_TRACE("index " + std::to_string(index));
    PickupVoicer v = makeVoicer();
    v.prepare(kFs, index, 1.0f);
    EXPECT_EQ(v.lastType, index);
    EXPECT_EQ(v.count, zero.count);
    EXPECT_EQ(v.gain, zero.gain);
    for (int i = 0; i < v.count; ++i) {
      EXPECT_TRUE(sameBytes(v.sections[i], zero.sections[i])) << "section " << i;
    }
    // The request is remembered as made, so repeating it is a no-change call.
    v.sections[0].b0 = 12345.0;
    v.gain = 99.0f;
    const PickupVoicer marked = v;
    v.prepare(kFs, index, 1.0f);
    EXPECT_TRUE(sameBytes(v, marked));
  }
}

// A shorter recipe leaves the tail sections alone (coefficients and state) and
// does not run them; a longer one later picks them up with that state.
TEST(PickupVoicer, ShorterRecipeLeavesTailSectionsIdle) {
  PickupVoicer v = makeVoicer();
  v.prepare(kFs, 1, 1.0f);
  for (int n = 0; n < 500; ++n) {
    v.process(static_cast<float>(std::sin(0.05 * n)));
  }
  const PickupVoicer before = v;
  ASSERT_NE(before.sections[4].z1, 0.0);

  v.prepare(kFs, 0, 1.0f);
  EXPECT_EQ(v.count, 3);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(v.sections[i].z1, before.sections[i].z1) << "section " << i;
    EXPECT_EQ(v.sections[i].z2, before.sections[i].z2) << "section " << i;
  }
  EXPECT_TRUE(sameBytes(v.sections[3], before.sections[3]));
  EXPECT_TRUE(sameBytes(v.sections[4], before.sections[4]));

  Biquad head[3] = {v.sections[0], v.sections[1], v.sections[2]};
  for (int n = 0; n < 300; ++n) {
    float x = static_cast<float>(0.3 * std::cos(0.2 * n));
    const float got = v.process(x);
    for (Biquad& b : head) {
      x = static_cast<float>(b.process(static_cast<double>(x)));
    }
    ASSERT_EQ(got, x * v.gain) << "sample " << n;
  }
  EXPECT_TRUE(sameBytes(v.sections[3], before.sections[3]));
  EXPECT_TRUE(sameBytes(v.sections[4], before.sections[4]));

  v.prepare(kFs, 1, 1.0f);
  EXPECT_EQ(v.count, 5);
  EXPECT_EQ(v.sections[4].z1, before.sections[4].z1);
  EXPECT_EQ(v.sections[4].b0, before.sections[4].b0);
}

TEST(PickupVoicer, IdenticalPrepareChangesNothingAndAnyChangeRedesigns) {
  PickupVoicer v = makeVoicer();
  v.prepare(kFs, 2, 0.7f);
  for (int n = 0; n < 200; ++n) {
    v.process(static_cast<float>(std::sin(0.07 * n)));
  }
  const PickupVoicer designed = v;
  v.prepare(kFs, 2, 0.7f);
  EXPECT_TRUE(sameBytes(v, designed));

  v.prepare(kFs, 2, 0.6f);
  EXPECT_NE(v.gain, designed.gain);
  EXPECT_NE(v.sections[0].b0, designed.sections[0].b0);
  EXPECT_EQ(v.sections[0].z1, designed.sections[0].z1);

  v = designed;
  v.prepare(44100.0, 2, 0.7f);
  EXPECT_EQ(v.lastRate, 44100.0);
  EXPECT_EQ(v.gain, designed.gain);
  EXPECT_NE(v.sections[0].a1, designed.sections[0].a1);

  v = designed;
  v.prepare(kFs, 3, 0.7f);
  EXPECT_EQ(v.count, 3);
  EXPECT_NE(v.gain, designed.gain);
}

TEST(PickupVoicer, RecipeTable) {
  const Recipe& r0 = PickupVoicer::recipe(0);
  const Recipe& r3 = PickupVoicer::recipe(3);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(r0.stages[i].kind, r3.stages[i].kind);
    EXPECT_EQ(r0.stages[i].freq, r3.stages[i].freq);
    EXPECT_EQ(r0.stages[i].gainDb, r3.stages[i].gainDb);
    EXPECT_EQ(r0.stages[i].q, r3.stages[i].q);
  }
  EXPECT_EQ(r0.levelDb, 4.0);
  EXPECT_EQ(r3.levelDb, 6.0);
  EXPECT_EQ(&PickupVoicer::recipe(5), &r0);
  EXPECT_EQ(&PickupVoicer::recipe(-7), &r0);

  // Same cascade, level 2 dB apart.
  PickupVoicer a = makeVoicer();
  PickupVoicer b = makeVoicer();
  a.prepare(kFs, 0, 1.0f);
  b.prepare(kFs, 3, 1.0f);
  ASSERT_EQ(a.count, b.count);
  for (int i = 0; i < a.count; ++i) {
    EXPECT_TRUE(sameBytes(a.sections[i], b.sections[i]));
  }
  EXPECT_NEAR(response::toDb(static_cast<double>(b.gain) / static_cast<double>(a.gain)), 2.0, 1e-5);
}

// The whole voicer, float rounding between sections included, measured
// against its analytic cascade at random rates, recipes, amounts and
// frequencies.
TEST(PickupVoicer, MeasuredMatchesAnalytic) {
  std::mt19937 rng(response::sweepSeed("PickupVoicer.MeasuredMatchesAnalytic"));
  const double rates[] = {44100.0, 48000.0, 96000.0};
  for (int i = 0; i < 24; ++i) {
    const double fs = rates[std::uniform_int_distribution<int>(0, 2)(rng)];
    const int r = std::uniform_int_distribution<int>(0, 4)(rng);
    const float amount = static_cast<float>(response::uniform(rng, -1.0, 1.0));
    const double f = response::uniform(rng, 20.0, 0.45 * fs);
    SCOPED_TRACE("fs " + std::to_string(fs) + " recipe " + std::to_string(r) + " amount " +
                 std::to_string(amount) + " f " + std::to_string(f));
    PickupVoicer v = makeVoicer();
    v.prepare(fs, r, amount);
    const double want = response::toDb(cascadeAnalytic(v, f, fs));
    const double got = response::toDb(
        response::measureGain([&v](float x) { return v.process(x); }, f, fs, 20000, 20000));
    EXPECT_NEAR(got, want, 1e-4);
  }
}

}  // namespace
