// The enable switch without a click. Off, a block is a plain copy of its input
// and the chain's state stays as it was; on, it is the chain's output. A
// change of state crosses between the two over a short fade, and outside a
// fade each block is exactly one or the other.
//
// The fade is an S-curve whose slope and curvature are zero at both ends.
// A linear ramp's corners click (about -62 dBFS above 3 kHz with a 110 Hz
// tone at -12 dBFS); a raised cosine's ends still let through the start of
// the chain coming back from its held state, whose sections meet a signal
// that moved on (up to about -90 dBFS); this curve keeps both under -115.
//
// Fading out must leave the chain as a copy block leaves it, so the chain's
// side of a fade-out runs on a copy of the sections that ran in the last
// block, taken when the fade starts and dropped when it ends. Fading in runs
// the chain itself from its held state, as the first enabled block would.
//
// A switch during a fade turns it around without a corner in any share:
// each side's share goes on as it was going, and whatever enters starts from
// zero at zero slope. Switching off hands the chain's share, whatever it is,
// to a new copy, which goes on along the chain's curve while the dry signal's
// share grows anew under it; a copy's share is share(from) - share(to), both
// positions rising, so every copy is gone one fade after it was taken. Up to
// two copies run; the chain takes a share only while at most one does, so
// that switching off always finds a free copy. Switching on while two run
// keeps the chain running (its state follows every enabled sample) but holds
// its share at zero until the older copy has faded, at most one fade more
// (handing the older copy's share to a newer one instead would step by that
// share times the copies' difference, which clicks).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "biquad.h"
#include "cascade.h"
#include "hum_tracker.h"

constexpr double kBypassFadeSeconds = 0.02;

// Samples in one whole fade at a rate: at least one, and at absurd rates no
// more than 2^24.
inline std::uint32_t bypassFadeLength(double sampleRate) {
  const double n = std::round(sampleRate * kBypassFadeSeconds);
  return n >= 1.0 ? static_cast<std::uint32_t>(std::min(n, 16777216.0)) : 1u;
}

// The chain's share of the output at a point u of a fade, 0 to 1. A fixed
// polynomial: a fade gives the same bits on every machine, however the host
// cuts it into blocks.
double bypassFadeShare(double u);

struct BypassFade {
  enum class Mode : std::uint8_t { Unstarted, On, Off, Fading };
  // The chain's own share during a fade: none, none until the older copy has
  // faded, or rising.
  enum class Live : std::uint8_t { Out, Waiting, Rising };

  // The chain's sections as a switch off found them, run on the dry input.
  // Its share is share(from) - share(to), both positions rising from the
  // switch on; it is gone once `to` reaches the end.
  struct Copy {
    std::uint32_t from;  // the chain's position at the switch
    std::uint32_t to;
    CascadePlan plan;  // the plan of the last block before the switch, over `sections`
    Biquad sections[kMaxCascade];
    HumTracker tracker;  // and over this, when the plan ran the hum tracker
  };

  // Positions count samples of a fade, 0 to length; the share at position p
  // is bypassFadeShare(p / length).
  Mode mode;
  Live liveState;
  std::uint8_t copies;   // copies running, 0 to 2
  std::uint8_t oldest;   // the slot of the older one
  std::uint32_t length;  // samples in a whole fade
  std::uint32_t live;    // the chain's position while rising
  double halfStep;       // 1 / (2 length), for the positions' midpoints
  Copy copy[2];

  void init(double sampleRate);

  // Whether a block with this enable state needs no fade: the commonest case,
  // so inline and one comparison.
  bool steady(bool on) const { return mode == (on ? Mode::On : Mode::Off); }

  // Block start, when not steady: follows a change of the enable state. The
  // first block starts in its state; a change starts a fade, or turns one
  // around from where it stands. `plan` is the plan of the last block that
  // ran the chain, for the copy a switch off takes.
  void select(bool on, const CascadePlan& plan);

  // After select(): writes the fade's share of an n-sample block and returns
  // how many samples that was; the rest of the block (all of it when no fade
  // is under way) is the caller's, as a steady block of the state reached.
  // `plan` is this block's plan, run on the chain itself, or nullptr while
  // switched off. in and out may be the same buffer.
  std::uint32_t fade(const CascadePlan* plan, CascadeKernel kernel, const float* in, float* out,
                     std::uint32_t n);

 private:
  // Samples mixed per pass: the dry input and every side's output are kept
  // on the stack, since out may be the input buffer; long enough for the
  // pipelined kernels to run near their full speed.
  static constexpr std::uint32_t kChunk = 256;
  void takeCopy(std::uint32_t from, const CascadePlan& plan);
  void mix(const float* dry, const float* wet, float (*held)[kChunk], float* out,
           std::uint32_t c) const;
};
