// The curve is the truth: what the UI draws for a setting equals the
// response of the built module for it, measured from an impulse through the
// real plug-in and an FFT. Every factory preset (read from the built bundle
// through lilv) and random settings, at 44.1, 48 and 96 kHz.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>
#include <vector>

#include "factory_presets.h"
#include "gtest/gtest.h"
#include "model.h"
#include "plugin_loader.h"
#include "test_support.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr std::size_t kLength = std::size_t{1} << 18;  // the slowest notch rings out well within
constexpr double kToleranceDb = 0.05;
constexpr double kNotchCutDb = 40.0;
constexpr double kNotchGuard = 0.05;  // compared from 5 % off each notch centre on
const double kRates[] = {44100.0, 48000.0, 96000.0};

std::vector<Setting> randomSettings(std::size_t count) {
  Xorshift rng(testSeed("random UI settings", 12));
  std::vector<Setting> out;
  for (std::size_t i = 0; i < count; ++i) {
    Setting s = defaultSetting("random #" + std::to_string(i));
    for (std::uint32_t p = 0; p < kPortCount; ++p) {
      const PortFacts& f = kPorts[p];
      const float u = 0.5f * (rng.uniform() + 1.0f);  // 0..1
      if (f.kind == PortKind::Control) {
        s.values[p] = f.minimum + u * (f.maximum - f.minimum);
      } else if (f.kind == PortKind::Choice) {
        s.values[p] = static_cast<float>(rng.below(static_cast<std::uint32_t>(f.maximum) + 1));
      } else if (f.kind == PortKind::Toggle) {
        s.values[p] = rng.below(2) == 0 ? 0.0f : 1.0f;
      }
    }
    s.values[kPortEnabled] = i % 6 == 5 ? 0.0f : 1.0f;  // a few bypassed
    s.values[kPortHumOn] = i % 2 == 0 ? 1.0f : 0.0f;    // hum filter in half of them
    out.push_back(s);
  }
  return out;
}

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
      for (std::size_t k = 0; k < len / 2; ++k) {
        const std::complex<double> u = a[i + k];
        const std::complex<double> v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= step;
      }
    }
  }
}

double toDb(double mag) {
  return 20.0 * std::log10(std::max(mag, 1e-15));
}

struct Worst {
  double db = 0.0;
  std::string where;
};

// One setting at one rate: the module's impulse response against the model.
void check(const PluginModule& module, double rate, const Setting& s, Worst& worst) {
  SCOPED_TRACE(s.name + " at " + std::to_string(static_cast<int>(rate)) + " Hz");
  PluginInstance plugin(module, rate);
  ASSERT_TRUE(plugin.ok());
  UiModel model(rate);
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    if (!kPorts[p].audio()) {
      plugin.control(static_cast<PortIndex>(p)) = s.values[p];
      model.set(p, s.values[p]);
    }
  }
  std::vector<float> impulse(kLength, 0.0f);
  impulse[0] = 1.0f;
  const std::vector<float> h = plugin.process(impulse, 4096);

  std::vector<std::complex<double>> bins(h.begin(), h.end());
  fft(bins);
  const double binHz = rate / static_cast<double>(kLength);
  const Curves& curves = model.curves();

  std::vector<double> hz;
  for (std::size_t k = static_cast<std::size_t>(std::ceil(20.0 / binHz));
       static_cast<double>(k) * binHz <= 20000.0; ++k) {
    const double f = static_cast<double>(k) * binHz;
    const bool nearNotch = std::any_of(curves.notchHz.begin(), curves.notchHz.end(), [&](double c) {
      return std::fabs(f - c) < kNotchGuard * c;
    });
    if (!nearNotch) {
      hz.push_back(f);
    }
  }
  std::vector<double> drawn(hz.size());
  model.responseDb(hz.data(), hz.size(), drawn.data());
  double local = 0.0;
  for (std::size_t i = 0; i < hz.size(); ++i) {
    const std::size_t k = static_cast<std::size_t>(std::lround(hz[i] / binHz));
    const double err = std::fabs(drawn[i] - toDb(std::abs(bins[k])));
    local = std::max(local, err);
    if (err > worst.db) {
      worst.db = err;
      char buf[160];
      std::snprintf(buf, sizeof buf, "%.1f Hz, %s at %.0f Hz (drawn %.3f dB)", hz[i],
                    s.name.c_str(), rate, drawn[i]);
      worst.where = buf;
    }
  }
  EXPECT_LE(local, kToleranceDb);

  // The notches, measured at their exact centres, and as drawn: at least
  // 40 dB under what the chain does there without the hum filter.
  if (curves.notchHz.empty()) {
    return;
  }
  UiModel noHum(rate);
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    noHum.set(p, p == kPortHumOn ? 0.0f : s.values[p]);
  }
  for (double c : curves.notchHz) {
    std::complex<double> sum = 0.0;
    const std::complex<double> step = std::polar(1.0, -2.0 * kPi * c / rate);
    std::complex<double> w = 1.0;
    for (std::size_t n = 0; n < kLength; ++n, w *= step) {
      sum += static_cast<double>(h[n]) * w;
    }
    double without = 0.0;
    noHum.responseDb(&c, 1, &without);
    const auto at = std::find(curves.hz.begin(), curves.hz.end(), c);
    ASSERT_NE(at, curves.hz.end()) << "the drawn curve leaves out the notch at " << c << " Hz";
    const double drawnAt = curves.totalDb[static_cast<std::size_t>(at - curves.hz.begin())];
    EXPECT_GE(without - toDb(std::abs(sum)), kNotchCutDb) << "measured notch at " << c << " Hz";
    EXPECT_GE(without - drawnAt, kNotchCutDb) << "drawn notch at " << c << " Hz";
  }
}

class UiCurve : public ::testing::Test {
 protected:
  static void report(const char* what, const Worst& w) {
    std::printf("[ largest  ] %s: %.2e dB at %s\n", what, w.db, w.where.c_str());
  }
  PluginModule module_;
};

TEST_F(UiCurve, EveryFactoryPresetMatchesTheModule) {
  ASSERT_TRUE(module_.loaded()) << module_.error();
  const std::vector<Setting> presets = factoryPresets();
  ASSERT_EQ(presets.size(), 8u) << "presets read from the built bundle (LV2_PATH)";
  Worst worst;
  for (double rate : kRates) {
    for (const Setting& s : presets) {
      check(module_, rate, s, worst);
    }
  }
  report("presets", worst);
}

TEST_F(UiCurve, RandomSettingsMatchTheModule) {
  ASSERT_TRUE(module_.loaded()) << module_.error();
  Worst worst;
  for (double rate : kRates) {
    for (const Setting& s : randomSettings(12)) {
      check(module_, rate, s, worst);
    }
  }
  report("random settings", worst);
}

}  // namespace
