// The curve is the truth: what the UI draws for a setting equals the
// response of the built module for it, measured from an impulse through the
// real plug-in and an FFT. Every factory preset (read from the built bundle)
// and random settings, at 44.1, 48 and 96 kHz. Then what the model makes of
// the values hosts send, and the plot's dB span.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>

#include "dsp/chain.h"
#include "factory_presets.h"
#include "gtest/gtest.h"
#include "model.h"
#include "plugin_loader.h"
#include "test_support.h"
#include "view.h"

// fontconfig's one unreachable KB per process, as in tests/ui/lsan.supp.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace {

constexpr double kPi = 3.141592653589793;
constexpr std::size_t kLength = std::size_t{1} << 18;  // the slowest notch rings out well within
constexpr double kNotchGuard = 0.05;                   // compared from 5 % off each notch centre on
constexpr double kTrackGuardHz = 3.0;  // and 3 Hz off each harmonic tracking follows

void fft(std::vector<std::complex<double>>& a) {
  const std::size_t n = a.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; (j & bit) != 0; bit >>= 1) {
      j ^= bit;
    }
    j ^= bit;
    if (i < j) {
      std::swap(a[i], a[j]);
    }
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> step = std::polar(1.0, -2.0 * kPi / static_cast<double>(len));
    for (std::size_t i = 0; i < n; i += len) {
      std::complex<double> w = 1.0;
      for (std::size_t k = 0; k < len / 2; ++k, w *= step) {
        const std::complex<double> v = a[i + k + len / 2] * w;
        a[i + k + len / 2] = a[i + k] - v;
        a[i + k] += v;
      }
    }
  }
}

double toDb(std::complex<double> h) {
  return 20.0 * std::log10(std::max(std::abs(h), 1e-15));
}

// One setting at each rate: the module's impulse response against the
// model's curve; returns the largest difference in dB.
double check(const Setting& s) {
  static const PluginModule module;
  double worst = 0.0;
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    SCOPED_TRACE(s.name + " at " + std::to_string(rate) + " Hz");
    PluginInstance plugin(module, rate);
    UiModel model(rate);
    UiModel noHum(rate);
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      plugin.control(static_cast<PortIndex>(p)) = s.values[p];
      model.set(p, s.values[p]);
      noHum.set(p, p == kPortHumOn ? 0.0f : s.values[p]);
    }
    std::vector<float> impulse(kLength, 0.0f);
    impulse[0] = 1.0f;
    const std::vector<float> h = plugin.process(impulse, 4096);
    std::vector<std::complex<double>> bins(h.begin(), h.end());
    fft(bins);

    const Curves& c = model.curves();
    // Tracking cancels what it hears within a few hertz of each harmonic it
    // follows, an impulse's share too; the UI draws it as flat, which it is
    // away from them.
    const bool tracking = s.values[kPortHumOn] > 0.5f && s.values[kPortHumTrack] > 0.5f;
    const double mains = s.values[kPortHum50Hz] > 0.5f ? 50.0 : 60.0;
    auto nearHarmonic = [&](double f) {
      const double k = std::round(f / mains);
      return tracking && k >= 1.0 && k <= kTrackHarmonics &&
             std::fabs(f - k * mains) < kTrackGuardHz;
    };
    const double binHz = rate / static_cast<double>(kLength);
    std::vector<double> hz;
    std::vector<std::size_t> bin;
    for (std::size_t k = static_cast<std::size_t>(std::ceil(20.0 / binHz));
         static_cast<double>(k) * binHz <= 2e4; ++k) {
      const double f = static_cast<double>(k) * binHz;
      if (!nearHarmonic(f) && std::none_of(c.notchHz.begin(), c.notchHz.end(), [&](double n) {
            return std::fabs(f - n) < kNotchGuard * n;
          })) {
        hz.push_back(f);
        bin.push_back(k);
      }
    }
    std::vector<double> drawn(hz.size());
    model.responseDb(hz.data(), hz.size(), drawn.data());
    for (std::size_t i = 0; i < hz.size(); ++i) {
      worst = std::max(worst, std::fabs(drawn[i] - toDb(bins[bin[i]])));
    }
    // Each notch, measured at its exact centre and as drawn there, cuts at
    // least 40 dB from what the chain does without the hum filter.
    for (double n : c.notchHz) {
      std::complex<double> sum = 0.0;
      const std::complex<double> step = std::polar(1.0, -2.0 * kPi * n / rate);
      std::complex<double> w = 1.0;
      for (std::size_t i = 0; i < kLength; ++i, w *= step) {
        sum += static_cast<double>(h[i]) * w;
      }
      double without = 0.0;
      noHum.responseDb(&n, 1, &without);
      EXPECT_GE(without - toDb(sum), 40.0) << "measured notch at " << n << " Hz";
      const auto at = std::find(c.hz.begin(), c.hz.end(), n);
      EXPECT_TRUE(at != c.hz.end() &&
                  without - c.totalDb[static_cast<std::size_t>(at - c.hz.begin())] >= 40.0)
          << "drawn notch at " << n << " Hz";
    }
  }
  EXPECT_LE(worst, 0.05) << s.name;
  return worst;
}

TEST(UiCurve, EveryFactoryPresetMatchesTheModule) {
  const std::vector<Setting> presets = factoryPresets();
  ASSERT_EQ(presets.size(), 10u) << "presets read from the built bundle (LV2_PATH)";
  EXPECT_EQ(std::count_if(presets.begin(), presets.end(),
                          [](const Setting& s) { return s.values[kPortHumTrack] > 0.5f; }),
            2)
      << "the two hum and buzz presets track";
  double worst = 0.0;
  for (const Setting& s : presets) {
    worst = std::max(worst, check(s));
  }
  std::printf("[ largest  ] %.2e dB\n", worst);
}

TEST(UiCurve, RandomSettingsMatchTheModule) {
  Xorshift rng(testSeed("random UI settings", 12));
  double worst = 0.0;
  for (int i = 0; i < 12; ++i) {
    Setting s = defaultSetting("random #" + std::to_string(i));
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      const PortFacts& f = kPorts[p];
      const float u = 0.5f * (rng.uniform() + 1.0f);
      s.values[p] = f.kind == PortKind::Control  ? f.minimum + u * (f.maximum - f.minimum)
                    : f.kind == PortKind::Choice ? std::floor(u * f.maximum + 0.5f)
                                                 : (u < 0.5f ? 0.0f : 1.0f);
    }
    s.values[kPortEnabled] = i % 6 == 5 ? 0.0f : 1.0f;  // a few bypassed
    s.values[kPortHumOn] = i % 2 == 0 ? 1.0f : 0.0f;    // the hum filter in half
    // Not tracking: the tracker learns part of the impulse as hum and takes
    // it out again (3 dB at each harmonic), so its output is no response.
    s.values[kPortHumTrack] = 0.0f;
    worst = std::max(worst, check(s));
  }
  std::printf("[ largest  ] %.2e dB\n", worst);
}

// Hosts pass on whatever their sessions hold (a NaN on a knob once reached
// cairo's arc code, which aborts the host's process): a value that is not a
// number leaves the control as it was, one beyond the range is held at its
// end, and only a plain float for a control input is read.
TEST(UiModel, HostValuesAreMadeSafe) {
  UiModel m(48000.0);
  for (std::uint32_t p = 0; p < kPortCount + 2; ++p) {
    for (float bad : {NAN, -NAN, INFINITY, -INFINITY}) {
      EXPECT_FALSE(m.hostEvent(p, sizeof bad, 0, &bad)) << p;
    }
  }
  for (std::uint32_t p = 2; p < kPortCount; ++p) {
    const PortFacts& f = kPorts[p];
    if (f.output()) {
      continue;  // a reading, not a control: see
                 // HumTrackingDrawsOnlyTheFundamentalsNotchAndItsReadingIsSafe
    }
    SCOPED_TRACE(f.symbol);
    EXPECT_EQ(m.value(p), f.deflt) << "before any value came";
    const float high = 1e30f;
    const float low = f.minimum - 0.5f;
    const float nan = NAN;
    m.hostEvent(p, sizeof high, 0, &high);
    EXPECT_EQ(m.value(p), f.maximum);
    m.hostEvent(p, sizeof nan, 0, &nan);
    EXPECT_EQ(m.value(p), f.maximum) << "as it was";
    m.hostEvent(p, sizeof low, 1, &low);  // another format
    const double wide = static_cast<double>(low);
    m.hostEvent(p, sizeof wide, 0, &wide);
    m.hostEvent(p, sizeof low, 0, nullptr);
    EXPECT_EQ(m.value(p), f.maximum) << "not a plain float";
    m.hostEvent(p, sizeof low, 0, &low);
    EXPECT_EQ(m.value(p), f.minimum);
  }
  const float one = 1.0f;
  EXPECT_FALSE(m.hostEvent(kPortIn, sizeof one, 0, &one) ||
               m.hostEvent(kPortOut, sizeof one, 0, &one) ||
               m.hostEvent(kPortCount, sizeof one, 0, &one));
}

// Tracking, the hum filter's fixed response is the one notch it keeps, at
// the fundamental: one mark, and its own curve deep there and flat at the
// harmonics it follows. Its reading comes from the plug-in through the
// host: anything but a number within the port's range is none, and it shows
// only while the hum filter tracks.
TEST(UiModel, HumTrackingDrawsOnlyTheFundamentalsNotchAndItsReadingIsSafe) {
  UiModel m(48000.0);
  m.set(kPortHumOn, 1.0f);
  m.set(kPortHumTrack, 1.0f);
  const Curves& c = m.curves();
  EXPECT_TRUE(m.controls().humTrack && c.trackHarmonics == 40);
  EXPECT_EQ(c.notchHz, std::vector<double>{60.0});
  const std::vector<double>& own = c.stageDb[static_cast<std::size_t>(ChainStage::Hum)];
  ASSERT_EQ(own.size(), c.hz.size());
  for (std::size_t i = 0; i < c.hz.size(); ++i) {
    if (c.hz[i] == 60.0) {
      EXPECT_LT(own[i], -60.0);
    } else if (std::fabs(c.hz[i] - 120.0) < 5.0 || std::fabs(c.hz[i] - 180.0) < 5.0) {
      EXPECT_NEAR(own[i], 0.0, 0.1) << c.hz[i];
    }
  }
  EXPECT_FALSE(m.set(kPortHumFreq, 55.0f)) << "the UI never writes the reading";
  const float heard = 60.02f;
  for (float bad : {NAN, INFINITY, -INFINITY, -1.0f, 70.5f, 1e9f}) {
    m.hostEvent(kPortHumFreq, sizeof heard, 0, &heard);
    EXPECT_EQ(m.followedHz(), heard);
    EXPECT_TRUE(m.hostEvent(kPortHumFreq, sizeof bad, 0, &bad) && m.followedHz() == 0.0f) << bad;
  }
  m.hostEvent(kPortHumFreq, sizeof heard, 0, &heard);
  const float unseen = 60.0201f;
  EXPECT_FALSE(m.hostEvent(kPortHumFreq, sizeof unseen, 0, &unseen)) << "nothing to redraw";
  m.set(kPortHumTrack, 0.0f);
  EXPECT_EQ(m.followedHz(), 0.0f) << "notching";
}

// The plot spans +-30 dB for the defaults and every factory preset. Beyond
// that it grows in 6 dB steps until the highest curve sits 6 dB under its
// top, and below, once the level takes the whole chain within 12 dB of the
// bottom, to leave it 24 dB; never by more than a step beyond that, and
// with no more than a dozen grid lines.
TEST(UiPlot, SpanGrowsToFitTheCurves) {
  auto span = [](const Setting& s, double* chainTop, double* top) {
    UiModel m(48000.0);
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      m.set(p, s.values[p]);
    }
    const Curves& c = m.curves();
    *chainTop = *std::max_element(c.totalDb.begin(), c.totalDb.end());
    *top = *chainTop;
    for (const std::vector<double>& st : c.stageDb) {
      *top = st.empty() ? *top : std::max(*top, *std::max_element(st.begin(), st.end()));
    }
    return plotRange(c);
  };
  double chainTop = 0.0;
  double top = 0.0;
  std::vector<Setting> ordinary = factoryPresets();
  ordinary.push_back(defaultSetting("defaults"));
  for (const Setting& s : ordinary) {
    const DbRange r = span(s, &chainTop, &top);
    EXPECT_TRUE(r.bottom == -30.0 && r.top == 30.0 && r.step == 6.0) << s.name;
  }

  Setting loud = defaultSetting("level +16, boost +24, voicing 2 at amount 2");
  loud.values[kPortLevelDb] = 16.0f;
  loud.values[kPortBoostOn] = loud.values[kPortPickupOn] = 1.0f;
  loud.values[kPortBoostDb] = 24.0f;
  loud.values[kPortPickupType] = 2.0f;
  loud.values[kPortPickupAmount] = 2.0f;
  DbRange r = span(loud, &chainTop, &top);
  EXPECT_GT(top, 50.0);
  EXPECT_TRUE(r.top >= top + 6.0 && r.top < top + 12.0) << r.top << " for " << top;
  EXPECT_EQ(r.bottom, -30.0);
  EXPECT_LE((r.top - r.bottom) / r.step, 12.0) << "grid lines";

  Setting quiet = defaultSetting("level -40, boost -24");
  quiet.values[kPortLevelDb] = -40.0f;
  quiet.values[kPortBoostOn] = 1.0f;
  quiet.values[kPortBoostDb] = -24.0f;
  r = span(quiet, &chainTop, &top);
  EXPECT_TRUE(r.bottom <= chainTop - 24.0 && r.bottom > chainTop - 30.0)
      << r.bottom << " for " << chainTop;
  EXPECT_EQ(r.top, 30.0);
}

// Pixels of the hum tint in `r` of the view, for the hum filter at 50 Hz,
// tracking or not, with this reading.
int humPixels(const Layout& l, const Rect& r, bool track, float heard) {
  UiModel m(48000.0);
  const float on = 1.0f;
  const float tracking = track ? 1.0f : 0.0f;
  m.hostEvent(kPortHumOn, sizeof on, 0, &on);
  m.hostEvent(kPortHum50Hz, sizeof on, 0, &on);
  m.hostEvent(kPortHumTrack, sizeof tracking, 0, &tracking);
  m.hostEvent(kPortHumFreq, sizeof heard, 0, &heard);
  cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, l.width, l.height);
  cairo_t* cr = cairo_create(img);
  drawView(cr, l, m, ViewState{});
  cairo_destroy(cr);
  cairo_surface_flush(img);
  int n = 0;
  for (int y = static_cast<int>(r.y); y < static_cast<int>(r.y + r.h); ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(
        cairo_image_surface_get_data(img) + y * cairo_image_surface_get_stride(img));
    for (int x = static_cast<int>(r.x); x < static_cast<int>(r.x + r.w); ++x) {
      n += (row[x] >> 16 & 0xff) > 170 && (row[x] >> 16 & 0xff) > (row[x] >> 8 & 0xff) + 80;
    }
  }
  cairo_surface_destroy(img);
  return n;
}

// Tracking, the Hum panel reads the followed frequency and a row under the
// comb's spine crosses a tooth at each followed harmonic, h = 8 to 40 at
// 50.02 Hz between 390 Hz and 2.1 kHz, and none above; notching, or with no
// reading, the readout is a dim dash, and notching leaves that row bare.
TEST(UiPlot, TrackingShowsTheFollowedMainsAndItsHarmonics) {
  const Layout l = layoutFor(880, 440, 1.0);
  auto x = [&](double hz) { return l.plot.x + l.plot.w * std::log(hz / 20.0) / std::log(1e3); };
  const Rect teeth = {x(390.0), l.plot.y + 24.0, x(2100.0) - x(390.0), 1.0};
  const Rect above = {x(2100.0), l.plot.y + 24.0, l.plot.x + l.plot.w - x(2100.0), 1.0};
  EXPECT_GT(humPixels(l, l.mains, true, 50.02f), 20);
  EXPECT_EQ(humPixels(l, l.mains, false, 50.02f), 0);
  EXPECT_EQ(humPixels(l, l.mains, true, 0.0f), 0);
  EXPECT_EQ(humPixels(l, teeth, true, 50.02f), 33);
  EXPECT_EQ(humPixels(l, above, true, 50.02f), 0);
  EXPECT_EQ(humPixels(l, teeth, false, 50.02f), 0);
}

}  // namespace
