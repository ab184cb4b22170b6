#include "model.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>

#include "block_controls.h"
#include "dsp/chain.h"
#include "dsp/response.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kLowHz = 20.0;
constexpr double kHighHz = 20000.0;
constexpr int kGridPoints = 512;

// Magnitudes of one plan at n frequencies. The chain holds the sections the
// plan points at, so it lives as long as the evaluation.
void planDb(double rate, const ChainControls& k, const double* hz, std::size_t n, double* db) {
  Chain chain(rate);
  const CascadePlan plan = chain.prepare(k);
  for (std::size_t i = 0; i < n; ++i) {
    const double mag = std::abs(planResponse(plan, kTwoPi * hz[i] / rate));
    db[i] = mag > 1e-12 ? 20.0 * std::log10(mag) : -240.0;
  }
}

// The controls with every stage off, the level at 0 dB.
ChainControls neutral() {
  ChainControls k{};
  k.levelDb = 0.0f;
  k.pickupAmount = 1.0f;
  return k;
}

// The values as the plug-in sees its port buffers, every port connected.
std::array<const float*, kPortCount> portsOf(const std::array<float, kPortCount>& values) {
  std::array<const float*, kPortCount> ports{};
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    ports[p] = &values[p];
  }
  return ports;
}

}  // namespace

UiModel::UiModel(double sampleRate) : rate_(sampleRate) {
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    values_[p] = kPorts[p].deflt;
  }
}

bool UiModel::set(std::uint32_t port, float value) {
  if (port >= kPortCount || kPorts[port].audio() || kPorts[port].output() ||
      !std::isfinite(value)) {
    return false;
  }
  const PortFacts& f = kPorts[port];
  value = std::min(std::max(value, f.minimum), f.maximum);
  if (values_[port] == value) {
    return false;
  }
  values_[port] = value;
  stale_ = true;
  return true;
}

bool UiModel::hostEvent(std::uint32_t port, std::uint32_t size, std::uint32_t format,
                        const void* buffer) {
  if (format != 0 || size != sizeof(float) || buffer == nullptr) {
    return false;
  }
  float v = 0.0f;
  std::memcpy(&v, buffer, sizeof v);  // the host's buffer need not be aligned
  if (port < kPortCount && kPorts[port].kind == PortKind::Meter) {
    const PortFacts& f = kPorts[port];
    v = std::isfinite(v) && v >= f.minimum && v <= f.maximum ? std::round(v * 100.0f) / 100.0f
                                                             : 0.0f;
    if (values_[port] == v) {
      return false;
    }
    values_[port] = v + 0.0f;  // never -0, which would print as "-0.00"
    return true;               // the curves stay: the marks take the reading as it is drawn
  }
  return set(port, v);
}

float UiModel::followedHz() {
  return curves().trackHarmonics > 0 ? values_[kPortHumFreq] : 0.0f;
}

bool UiModel::bypassed() const {
  return blockIsCopy(portsOf(values_).data());
}

ChainControls UiModel::controls() const {
  return readControls(portsOf(values_).data());
}

bool UiModel::stageOn(ChainStage s) const {
  switch (s) {
    case ChainStage::Lowpass:
      return values_[kPortLowpassAmount] > 0.0f;
    case ChainStage::Hum:
      return switchOn(&values_[kPortHumOn]);
    case ChainStage::Voicer:
      return switchOn(&values_[kPortPickupOn]);
    case ChainStage::Boost:
      return switchOn(&values_[kPortBoostOn]);
  }
  return false;
}

void UiModel::responseDb(const double* hz, std::size_t n, double* db) const {
  if (bypassed()) {
    std::fill(db, db + n, 0.0);
    return;
  }
  planDb(rate_, controls(), hz, n, db);
}

const Curves& UiModel::curves() {
  if (stale_) {
    recompute();
    stale_ = false;
  }
  return curves_;
}

void UiModel::recompute() {
  Curves& c = curves_;
  const ChainControls k = controls();
  c.bypassed = bypassed();

  // The mains harmonics the plug-in notches at this rate, from the hum bank
  // itself; or, when its plan runs the tracker instead, what the tracker
  // follows at this rate and the one notch it keeps, at the fundamental.
  c.notchHz.clear();
  c.trackHarmonics = 0;
  c.trackNominalHz = 0.0;
  c.trackTopHz = 0.0;
  if (!c.bypassed && k.humOn) {
    Chain chain(rate_);
    const CascadePlan plan = chain.prepare(k);
    if (plan.tracker != nullptr) {
      const HumTracker& t = *plan.tracker;
      c.trackHarmonics = t.harmonics;
      c.trackNominalHz = t.nominal;
      c.trackTopHz = t.harmonics * t.omegaMax / kTwoPi;
    }
    // Tracking, the plan keeps the fundamental's notch right after the
    // tracker, or none.
    const bool keeps = plan.tracker != nullptr && plan.count > plan.trackerAt &&
                       plan.sections[plan.trackerAt] == &plan.tracker->fundamental;
    const std::int32_t notches = plan.tracker == nullptr ? chain.humCount : keeps ? 1 : 0;
    for (std::int32_t j = 0; j < notches; ++j) {
      const double f = static_cast<double>(chain.humHz) * (j + 1);
      if (f >= kLowHz && f <= kHighHz) {
        c.notchHz.push_back(f);
      }
    }
  }

  const double top = std::min(kHighHz, 0.4999 * rate_);
  c.hz.clear();
  for (int i = 0; i < kGridPoints; ++i) {
    c.hz.push_back(kLowHz * std::pow(top / kLowHz, i / (kGridPoints - 1.0)));
  }
  // Around each notch: its centre and points out to four bandwidths (Q 18
  // makes them only a few hertz wide at the mains frequency).
  for (double f : c.notchHz) {
    for (double d : {0.0, 0.003, 0.008, 0.015, 0.03, 0.06, 0.12}) {
      for (double s : {-1.0, 1.0}) {
        const double g = f * (1.0 + s * d);
        if (g >= kLowHz && g <= top) {
          c.hz.push_back(g);
        }
      }
    }
  }
  std::sort(c.hz.begin(), c.hz.end());
  c.hz.erase(std::unique(c.hz.begin(), c.hz.end()), c.hz.end());

  const std::size_t n = c.hz.size();
  c.totalDb.resize(n);
  responseDb(c.hz.data(), n, c.totalDb.data());

  for (std::size_t s = 0; s < kStageCount; ++s) {
    std::vector<double>& out = c.stageDb[s];
    const ChainStage stage = static_cast<ChainStage>(s);
    // A hum filter that tracks draws the notch it keeps (the marks show
    // where it follows the mains).
    if (c.bypassed || !stageOn(stage)) {
      out.clear();
      continue;
    }
    ChainControls one = neutral();
    switch (stage) {
      case ChainStage::Lowpass:
        one.lowpassAmount = k.lowpassAmount;
        break;
      case ChainStage::Hum:
        one.humOn = true;
        one.humTrack = k.humTrack;
        one.mains50 = k.mains50;
        break;
      case ChainStage::Voicer:
        one.pickupOn = true;
        one.pickupType = k.pickupType;
        one.pickupAmount = k.pickupAmount;
        break;
      case ChainStage::Boost:
        one.boostOn = true;
        one.boostDb = k.boostDb;
        break;
    }
    out.resize(n);
    planDb(rate_, one, c.hz.data(), n, out.data());
  }
}
