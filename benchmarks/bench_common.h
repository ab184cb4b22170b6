// Host-side helpers shared by the benchmark programs: seeded noise, the
// stage configurations they time, a three-port gain plug-in instance and the
// --plugin=[NAME=]PATH arguments that let one run compare several builds.
#pragma once

#include <lv2/core/lv2.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugin_loader.h"
#include "ports.h"
#include "test_support.h"

namespace bench {

inline constexpr double kRate = 48000.0;
// Input is read from a ring of noise that every timed block size divides, so
// each block starts on fresh samples and the filters never settle on a loop.
inline constexpr std::uint32_t kNoiseLength = 16384;

// Uniform noise in [-0.5, 0.5), the same on every run.
inline std::vector<float> noise(std::uint32_t n = kNoiseLength, std::uint64_t seed = 1) {
  return noiseBlock(n, seed, 0.5f);
}

// Which stages a timed instance runs. "full" is every stage on with the
// five-section voicing, thirteen filter sections in all; "tracking" is the
// hum filter following the mains (no notches), "full-tracking" the full chain
// with it.
struct StageConfig {
  const char* name;
  float lowpass;  // lowpass_amount
  bool hum;
  bool voicer;  // voicing 1 at amount 1
  bool boost;   // boost 6 dB
  int sections;
  bool track = false;  // hum_track
};

inline constexpr StageConfig kStageConfigs[] = {
    {"off", 0.0f, false, false, false, 0},
    {"lowpass", 0.5f, false, false, false, 1},
    {"hum", 0.0f, true, false, false, 6},
    {"voicer", 0.0f, false, true, false, 5},
    {"boost", 0.0f, false, false, true, 1},
    {"full", 0.5f, true, true, true, 13},
    {"tracking", 0.0f, true, false, false, 0, true},
    {"full-tracking", 0.5f, true, true, true, 7, true},
};

inline const StageConfig* findStageConfig(const std::string& name) {
  for (const StageConfig& c : kStageConfigs) {
    if (name == c.name) {
      return &c;
    }
  }
  return nullptr;
}

inline void applyStageConfig(PluginInstance& p, const StageConfig& c) {
  p.control(kPortEnabled) = 1.0f;
  p.control(kPortLevelDb) = 0.0f;
  p.control(kPortInvert) = 0.0f;
  p.control(kPortHum50Hz) = 0.0f;
  p.control(kPortLowpassAmount) = c.lowpass;
  p.control(kPortHumOn) = c.hum ? 1.0f : 0.0f;
  p.control(kPortPickupOn) = c.voicer ? 1.0f : 0.0f;
  p.control(kPortPickupType) = 1.0f;
  p.control(kPortPickupAmount) = 1.0f;
  p.control(kPortBoostOn) = c.boost ? 1.0f : 0.0f;
  p.control(kPortBoostDb) = 6.0f;
  p.control(kPortHumTrack) = c.track ? 1.0f : 0.0f;
}

// A plug-in with ports gain (0), in (1), out (2): LV2's example amplifier
// and the plain gain module built beside the benchmarks share that layout.
class GainInstance {
 public:
  GainInstance(const PluginModule& module, float gain) : gain_(gain) {
    if (!module.loaded() || (d_ = module.descriptor(0)) == nullptr) {
      return;
    }
    const LV2_Feature* features[] = {nullptr};
    h_ = d_->instantiate(d_, kRate, "", features);
    if (h_ != nullptr) {
      d_->connect_port(h_, 0, &gain_);
      if (d_->activate != nullptr) {
        d_->activate(h_);
      }
    }
  }
  ~GainInstance() {
    if (h_ != nullptr) {
      if (d_->deactivate != nullptr) {
        d_->deactivate(h_);
      }
      d_->cleanup(h_);
    }
  }
  GainInstance(const GainInstance&) = delete;
  GainInstance& operator=(const GainInstance&) = delete;

  bool ok() const { return h_ != nullptr; }
  void run(const float* in, float* out, std::uint32_t n) {
    d_->connect_port(h_, 1, const_cast<float*>(in));
    d_->connect_port(h_, 2, out);
    d_->run(h_, n);
  }
  const LV2_Descriptor* descriptor() const { return d_; }
  LV2_Handle handle() const { return h_; }

 private:
  const LV2_Descriptor* d_ = nullptr;
  LV2_Handle h_ = nullptr;
  float gain_;
};

struct ModuleArg {
  std::string name;
  std::string path;
};

// Removes every --plugin=[NAME=]PATH from argv. Without any, the module of
// this build is timed under the name "ours".
inline std::vector<ModuleArg> takePluginArgs(int& argc, char** argv) {
  std::vector<ModuleArg> modules;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strncmp(a, "--plugin=", 9) == 0) {
      std::string v(a + 9);
      const std::size_t eq = v.find('=');
      ModuleArg m;
      if (eq != std::string::npos && v.find('/') > eq) {
        m.name = v.substr(0, eq);
        m.path = v.substr(eq + 1);
      } else {
        m.name = modules.empty() ? "ours" : "ours" + std::to_string(modules.size() + 1);
        m.path = v;
      }
      modules.push_back(m);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (modules.empty()) {
    modules.push_back({"ours", CALVORINE_PLUGIN_PATH});
  }
  return modules;
}

// Takes --NAME=VALUE out of argv; returns whether it was there.
inline bool takeArg(int& argc, char** argv, const char* name, std::string& value) {
  const std::string prefix = std::string("--") + name + "=";
  bool found = false;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
      value = argv[i] + prefix.size();
      found = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return found;
}

inline constexpr const char* kEgAmpPath = "/usr/lib/lv2/eg-amp.lv2/amp.so";

}  // namespace bench
