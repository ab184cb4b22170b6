// Independent reference of the plug-in's block processing, written from the
// description of its arithmetic rather than from the plug-in's sources. The
// comparison tests run it beside the built module and demand identical bits,
// so every rounding point below is deliberate: float where the signal is
// float, double inside the sections, and the same order of operations.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace refmodel {

// One block's control values. The three optional ports are empty when they
// are not connected.
struct Controls {
  float levelDb = 0.0f;
  float invert = 0.0f;
  float humOn = 0.0f;
  float pickupType = 0.0f;
  float pickupAmount = 1.0f;
  float pickupOn = 0.0f;
  float boostOn = 0.0f;
  float boostDb = 0.0f;
  std::optional<float> lowpassAmount;
  std::optional<float> hum50Hz;
  std::optional<float> enabled;
};

// The voicer's selector from the raw pickup_type value (3 plays recipe 4).
std::int32_t selectorFor(float pickupType);

class ReferenceModel {
 public:
  // At the end of each block the state words of every section that ran are
  // set to +0 when below 1e-200 in magnitude; `settleState` false leaves
  // them as they are, the arithmetic alone.
  explicit ReferenceModel(double sampleRate, bool settleState = true);

  // Processes one block; `in` and `out` may be the same buffer.
  void run(const Controls& c, const float* in, float* out, std::uint32_t n);

 private:
  // Normalised coefficients b0 b1 b2 a1 a2 and the two state words.
  struct Section {
    std::array<double, 5> k{};
    double s1 = 0.0;
    double s2 = 0.0;
    double tick(double x);
    void settle();
  };

  void designHum(float mainsHz);
  void designVoicer(std::int32_t type, float amount);
  void designBoost(float db);
  void designLowpass(float t);

  float voice(float x);

  double rate_;
  float rateF_;
  bool settle_;

  std::array<Section, 6> hum_;
  float humHz_ = 60.0f;

  std::array<Section, 5> voicer_;
  int voicerCount_ = 0;
  float voicerGain_ = 1.0f;
  bool voicerDesigned_ = false;
  std::int32_t voicerType_ = -1;
  float voicerAmount_ = -1.0f;

  Section boost_;
  float boostGain_ = 1.0f;
  bool boostDesigned_ = false;
  float boostDb_ = -1.0f;

  Section lowpass_;
  float lowpassAmount_ = 0.0f;
  float lowpassMix_ = 0.0f;
};

}  // namespace refmodel
