#include "bypass.h"

#include <algorithm>
#include <cstring>

#include "chain.h"

namespace {

// A rising position's share for its next sample, taken half a step on (so
// that a fade in and a fade out are mirror images), and 1 from the end on.
// Positions stay below 2^25, so the midpoints convert exactly from int32,
// which vectorises.
inline double shareAt(std::int32_t p, std::int32_t length, double halfStep) {
  return p < length ? bypassFadeShare(static_cast<double>(2 * p + 1) * halfStep) : 1.0;
}

// The same for c samples from position p.
void rising(double* s, std::uint32_t p, std::uint32_t c, std::uint32_t length, double halfStep) {
  const std::uint32_t curve = p < length ? std::min(c, length - p) : 0;
  const auto first = static_cast<std::int32_t>(2 * p + 1);
  for (std::uint32_t k = 0; k < curve; ++k) {
    const std::int32_t mid = first + 2 * static_cast<std::int32_t>(k);
    s[k] = bypassFadeShare(static_cast<double>(mid) * halfStep);
  }
  for (std::uint32_t k = curve; k < c; ++k) {
    s[k] = 1.0;
  }
}

// y += share * (side - x), in the order the sides are added.
void mixIn(double* y, const double* share, const float* side, const float* x, std::uint32_t c) {
  for (std::uint32_t k = 0; k < c; ++k) {
    y[k] += share[k] * (static_cast<double>(side[k]) - static_cast<double>(x[k]));
  }
}

}  // namespace

double bypassFadeShare(double u) {
  // 6u^5 - 15u^4 + 10u^3: exact at 0 and 1, and symmetric, share(1 - u) =
  // 1 - share(u), up to rounding.
  return ((6.0 * u - 15.0) * u + 10.0) * u * u * u;
}

void BypassFade::init(double sampleRate) {
  mode = Mode::Unstarted;
  liveState = Live::Out;
  copies = 0;
  oldest = 0;
  length = bypassFadeLength(sampleRate);
  live = 0;
  halfStep = 1.0 / (2.0 * static_cast<double>(length));
  for (Copy& c : copy) {
    c.from = 0;
    c.to = 0;
    c.plan = CascadePlan{};
    for (Biquad& s : c.sections) {
      s = Biquad{};
    }
  }
}

// The chain's sections as the last block left them, into the free slot.
void BypassFade::takeCopy(std::uint32_t from, const CascadePlan& plan) {
  Copy& c = copy[copies == 0 ? 0 : 1 - oldest];
  if (copies == 0) {
    oldest = 0;
  }
  c.plan = plan;
  for (std::int32_t j = 0; j < plan.count; ++j) {
    c.sections[j] = *plan.sections[j];
    c.plan.sections[j] = &c.sections[j];
  }
  if (plan.tracker != nullptr) {
    c.tracker = *plan.tracker;
    c.plan.tracker = &c.tracker;
  }
  c.from = from;
  c.to = 0;
  ++copies;
}

void BypassFade::select(bool on, const CascadePlan& plan) {
  switch (mode) {
    case Mode::Unstarted:
      mode = on ? Mode::On : Mode::Off;
      return;
    case Mode::On:
      if (!on) {
        takeCopy(length, plan);
        liveState = Live::Out;
        mode = Mode::Fading;
      }
      return;
    case Mode::Off:
      if (on) {
        liveState = Live::Rising;
        live = 0;
        mode = Mode::Fading;
      }
      return;
    case Mode::Fading:
      if (on) {
        if (liveState == Live::Out) {
          liveState = copies < 2 ? Live::Rising : Live::Waiting;
          live = 0;
        }
        return;
      }
      // A chain that has not yet risen has nothing to hand over.
      if (liveState == Live::Rising && live > 0) {
        takeCopy(live, plan);
      }
      liveState = Live::Out;
      if (copies == 0) {
        mode = Mode::Off;
      }
      return;
  }
}

// y = x + the sum of share * (side - x) over the sides, in double, rounded
// to float once: the older copy, the newer, then the chain, a fixed order
// whatever the blocks. Short runs (a block of a few samples) go sample by
// sample with the same operations, where passes over arrays cost more to
// start than they save.
void BypassFade::mix(const float* dry, const float* wet, float (*held)[kChunk], float* out,
                     std::uint32_t c) const {
  const std::uint32_t first = oldest;
  const std::uint32_t second = 1u - oldest;
  const bool rises = liveState == Live::Rising;
  if (c < 8) {
    const auto len = static_cast<std::int32_t>(length);
    for (std::uint32_t k = 0; k < c; ++k) {
      const double x = static_cast<double>(dry[k]);
      const auto at = static_cast<std::int32_t>(k);
      double y = x;
      for (std::uint32_t i = 0; i < copies; ++i) {
        const Copy& side = copy[i == 0 ? first : second];
        const double share = shareAt(static_cast<std::int32_t>(side.from) + at, len, halfStep) -
                             shareAt(static_cast<std::int32_t>(side.to) + at, len, halfStep);
        y += share * (static_cast<double>(held[i][k]) - x);
      }
      if (rises) {
        y += shareAt(static_cast<std::int32_t>(live) + at, len, halfStep) *
             (static_cast<double>(wet[k]) - x);
      }
      out[k] = static_cast<float>(y);
    }
    return;
  }
  double y[kChunk];
  double a[kChunk];
  double b[kChunk];
  for (std::uint32_t k = 0; k < c; ++k) {
    y[k] = static_cast<double>(dry[k]);
  }
  for (std::uint32_t i = 0; i < copies; ++i) {
    const Copy& side = copy[i == 0 ? first : second];
    rising(a, side.from, c, length, halfStep);
    rising(b, side.to, c, length, halfStep);
    for (std::uint32_t k = 0; k < c; ++k) {
      a[k] -= b[k];
    }
    mixIn(y, a, held[i], dry, c);
  }
  if (rises) {
    rising(a, live, c, length, halfStep);
    mixIn(y, a, wet, dry, c);
  }
  for (std::uint32_t k = 0; k < c; ++k) {
    out[k] = static_cast<float>(y[k]);
  }
}

std::uint32_t BypassFade::fade(const CascadePlan* plan, CascadeKernel kernel, const float* in,
                               float* out, std::uint32_t n) {
  std::uint32_t done = 0;
  float dry[kChunk];
  float wet[kChunk];
  float held[2][kChunk];
  while (mode == Mode::Fading && done < n) {
    // A chunk ends where the older copy is gone (and a waiting chain starts
    // to rise) or the chain is fully in, so that each side's part stays the
    // same within it.
    std::uint32_t c = std::min(kChunk, n - done);
    if (copies > 0) {
      c = std::min(c, length - copy[oldest].to);
    }
    if (liveState == Live::Rising) {
      c = std::min(c, length - live);
    }
    std::memcpy(dry, in + done, c * sizeof(float));
    if (plan != nullptr) {
      runCascade(blockKernel(kernel, *plan, c), *plan, dry, wet, c);
    }
    for (std::uint32_t i = 0; i < copies; ++i) {
      const Copy& side = copy[i == 0 ? oldest : 1 - oldest];
      runCascade(blockKernel(kernel, side.plan, c), side.plan, dry, held[i], c);
    }
    mix(dry, wet, held, out + done, c);
    for (std::uint32_t i = 0; i < copies; ++i) {
      Copy& side = copy[i == 0 ? oldest : 1 - oldest];
      side.from = std::min(side.from + c, length);
      side.to += c;
    }
    if (liveState == Live::Rising) {
      live += c;
    }
    done += c;
    if (copies > 0 && copy[oldest].to == length) {
      oldest = static_cast<std::uint8_t>(1 - oldest);
      --copies;
      if (liveState == Live::Waiting) {
        liveState = Live::Rising;
      }
    }
    // A copy is always gone by the time the chain has fully come in.
    if (liveState == Live::Rising && live == length) {
      mode = Mode::On;
    } else if (liveState == Live::Out && copies == 0) {
      mode = Mode::Off;
    }
  }
  for (std::uint32_t i = 0; i < copies; ++i) {
    finishBlock(copy[i == 0 ? oldest : 1 - oldest].plan);
  }
  return done;
}
