#include "bypass.h"

#include <algorithm>
#include <cstring>

#include "chain.h"

namespace {

// Samples mixed per pass: the dry input and both chain sides are kept on the
// stack, since out may be the input buffer.
constexpr std::uint32_t kChunk = 64;

// One position's share for the next sample, taken half a step on (so that a
// fade in and a fade out are mirror images), and its step; a position stays
// at the end it has reached.
double rise(std::uint32_t& p, std::uint32_t length) {
  if (p >= length) {
    return bypassFadeShare(1.0);
  }
  const double u = (2.0 * static_cast<double>(p) + 1.0) / (2.0 * static_cast<double>(length));
  ++p;
  return bypassFadeShare(u);
}

double fall(std::uint32_t& p, std::uint32_t length) {
  if (p == 0) {
    return bypassFadeShare(0.0);
  }
  const double u = (2.0 * static_cast<double>(p) - 1.0) / (2.0 * static_cast<double>(length));
  --p;
  return bypassFadeShare(u);
}

// The share between samples at a position.
double shareAt(std::uint32_t p, std::uint32_t length) {
  return bypassFadeShare(static_cast<double>(p) / static_cast<double>(length));
}

}  // namespace

double bypassFadeShare(double u) {
  // 6u^5 - 15u^4 + 10u^3: exact at 0 and 1, and symmetric, share(1 - u) =
  // 1 - share(u), up to rounding.
  return ((6.0 * u - 15.0) * u + 10.0) * u * u * u;
}

void BypassFade::init(double sampleRate) {
  mode = Mode::Unstarted;
  length = bypassFadeLength(sampleRate);
  live = 0;
  copyFrom = 0;
  copyTo = 0;
  copyRises = false;
  copyRuns = false;
  for (Biquad& s : copy) {
    s = Biquad{};
  }
  copyPlan = CascadePlan{};
}

void BypassFade::select(bool on, const CascadePlan& plan) {
  // The copy takes over the chain's sections as the last block left them.
  auto takeCopy = [&](std::uint32_t from, bool rises) {
    copyPlan = plan;
    for (std::int32_t j = 0; j < plan.count; ++j) {
      copy[j] = *plan.sections[j];
      copyPlan.sections[j] = &copy[j];
    }
    if (plan.tracker != nullptr) {
      copyTracker = *plan.tracker;
      copyPlan.tracker = &copyTracker;
    }
    copyFrom = from;
    copyTo = 0;
    copyRises = rises;
    copyRuns = true;
    mode = Mode::FadingOut;
  };
  switch (mode) {
    case Mode::Unstarted:
      mode = on ? Mode::On : Mode::Off;
      return;
    case Mode::On:
      if (!on) {
        takeCopy(length, false);
      }
      return;
    case Mode::Off:
    case Mode::FadingOut:
      // A copy still fading goes on as it was, under the chain coming in.
      if (on) {
        live = 0;
        mode = Mode::FadingIn;
      }
      return;
    case Mode::FadingIn:
      if (on) {
        return;
      }
      if (!copyRuns) {
        // The copy goes on rising along the chain's curve, and the dry
        // signal comes in from zero under it.
        takeCopy(live, true);
        return;
      }
      {
        // One copy at a time: the older copy's share passes to the new
        // one, which then fades from the chain's whole share.
        const double total =
            shareAt(copyFrom, length) - shareAt(copyTo, length) + shareAt(live, length);
        std::uint32_t lo = 0;
        std::uint32_t hi = length;
        while (lo < hi) {
          const std::uint32_t mid = lo + (hi - lo) / 2;
          if (shareAt(mid, length) < total) {
            lo = mid + 1;
          } else {
            hi = mid;
          }
        }
        takeCopy(lo, true);
      }
      return;
  }
}

std::uint32_t BypassFade::fade(const CascadePlan* plan, CascadeKernel kernel, const float* in,
                               float* out, std::uint32_t n) {
  std::uint32_t done = 0;
  if (mode == Mode::FadingIn || mode == Mode::FadingOut) {
    const bool rising = mode == Mode::FadingIn;
    // A copy is always gone by the time the chain has fully come in.
    const std::uint32_t left = rising ? length - live : copyRises ? length - copyTo : copyFrom;
    const std::uint32_t m = std::min(n, left);
    float dry[kChunk];
    float wet[kChunk];
    float held[kChunk];
    while (done < m) {
      const std::uint32_t c = std::min(kChunk, m - done);
      std::memcpy(dry, in + done, c * sizeof(float));
      if (rising) {
        runCascade(blockKernel(kernel, *plan, c), *plan, dry, wet, c);
      }
      if (copyRuns) {
        runCascade(blockKernel(kernel, copyPlan, c), copyPlan, dry, held, c);
      }
      for (std::uint32_t k = 0; k < c; ++k) {
        const double x = static_cast<double>(dry[k]);
        double y = x;
        if (copyRuns) {
          const double from = copyRises ? rise(copyFrom, length) : fall(copyFrom, length);
          const double to = copyRises ? rise(copyTo, length) : bypassFadeShare(0.0);
          y += (from - to) * (static_cast<double>(held[k]) - x);
        }
        if (rising) {
          y += rise(live, length) * (static_cast<double>(wet[k]) - x);
        }
        out[done + k] = static_cast<float>(y);
      }
      done += c;
    }
    if (copyRuns) {
      finishBlock(copyPlan);
    }
    if (m == left) {
      mode = rising ? Mode::On : Mode::Off;
      copyRuns = false;
    }
  }
  return done;
}
