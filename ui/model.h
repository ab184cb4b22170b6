// What the UI knows of the plug-in: the control values as the host last
// reported or the user last set them (always finite and within each port's
// range, whatever the host sent), the mains frequency the plug-in last
// reported following, and the chain's response for them at the host's
// sample rate. The response comes from the same plans the
// plug-in runs (Chain::prepare + planResponse), never from formulas here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ports.h"

struct ChainControls;  // dsp/chain.h, kept out of the X11 shell (Xlib's None)

// The stages drawn on their own, in chain order.
enum class ChainStage : std::uint8_t { Lowpass, Hum, Voicer, Boost };
constexpr std::size_t kStageCount = 4;

// The drawn curves, on one frequency grid: log-spaced points from 20 Hz to
// 20 kHz (or just below half the rate), plus each notch centre and points
// around it so that the narrow notches keep their depth on screen.
struct Curves {
  std::vector<double> hz;
  std::vector<double> totalDb;
  std::array<std::vector<double>, kStageCount> stageDb;  // empty: stage off
  std::vector<double> notchHz;                           // mains harmonics the plug-in runs
  // When the hum filter follows the mains instead of notching it: how many
  // harmonics it follows at this rate (0: it does not), the nominal mains,
  // and the top of the band those harmonics may reach.
  std::int32_t trackHarmonics = 0;
  double trackNominalHz = 0.0;
  double trackTopHz = 0.0;
  bool bypassed = false;
};

class UiModel {
 public:
  explicit UiModel(double sampleRate);  // every control at the bundle's default

  double sampleRate() const { return rate_; }
  float value(std::uint32_t port) const { return values_[port]; }
  // Stores a control value, clamped to the port's range; a value that is not
  // finite, and any port that is not a control input, leave everything as it
  // was. False when nothing changed (nothing to redraw).
  bool set(std::uint32_t port, float value);
  // What a host sends through port_event, which may be anything: only a
  // plain float (format 0, four bytes) counts, for a control input as set()
  // takes it, and for the mains frequency the plug-in reports as a reading
  // rounded to what the readout shows (so that a reading that wanders in
  // digits no one sees redraws nothing); a reading that is not finite or
  // lies beyond the port's range is no reading (0).
  bool hostEvent(std::uint32_t port, std::uint32_t size, std::uint32_t format, const void* buffer);
  // The mains frequency the hum filter follows, as last reported, while it
  // follows the mains; 0 when it does not, or no reading has come.
  float followedHz();

  bool bypassed() const;
  bool stageOn(ChainStage s) const;
  // The block controls the plug-in reads from the same port values.
  ChainControls controls() const;

  // Magnitude in dB of the chain as set (0 dB when bypassed) at each of n
  // frequencies in Hz below half the rate.
  void responseDb(const double* hz, std::size_t n, double* db) const;

  // The curves for the current values; recomputed only after a change.
  const Curves& curves();

 private:
  void recompute();

  double rate_;
  std::array<float, kPortCount> values_{};
  Curves curves_;
  bool stale_ = true;
};
