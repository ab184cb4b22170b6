#include "hum_tracker.h"

#define TRACKER_ISA_NS tracker_generic
#include "hum_tracker_kernel.h"
#undef TRACKER_ISA_NS

#include <cmath>
#include <initializer_list>

#include "hum_tracker_tuning.h"

namespace {

using tracker_generic::powersOf;

// A count from a double, within [lo, hi] (and lo for a NaN): absurd rates
// give absurd quotients, which must not reach an integer conversion.
std::int32_t count(double v, std::int32_t lo, std::int32_t hi) {
  if (!(v >= static_cast<double>(lo))) {
    return lo;
  }
  return v >= static_cast<double>(hi) ? hi : static_cast<std::int32_t>(v);
}

// 1 - exp(-x) for 0 <= x <= 0.1, by its series: a one-pole coefficient.
double onePole(double hz, double rate) {
  const double x = kTwoPi * hz / rate;
  double term = x;
  double sum = 0.0;
  for (int k = 1; k <= 12; ++k) {
    sum += term;
    term *= -x / static_cast<double>(k + 1);
  }
  return sum;
}

// The modified Bessel function I0, by its series, for the Kaiser window.
double besselI0(double x) {
  const double q = 0.25 * x * x;
  double term = 1.0;
  double sum = 1.0;
  for (int k = 1; k <= 60; ++k) {
    term *= q / (static_cast<double>(k) * static_cast<double>(k));
    sum += term;
  }
  return sum;
}

// Kaiser-windowed sinc, cut off at half the decimated rate (the middle of
// the transition band), symmetric, normalised to unity gain at DC, and the
// same taps rearranged by polyphase branch for the interpolator.
void designFir(HumTracker& t) {
  const double transition = t.rateD - 2.0 * kPassEdge;
  const double needed = (kStopDb - 8.0) / (2.285 * kTwoPi * transition / t.rate) + 1.0;
  std::int32_t branch = count(std::ceil(needed / t.decim), 1, kTrackMaxPhase);
  branch = ((branch + 7) / 8) * 8;  // the dot products run eight lanes
  const std::int32_t most = (kTrackMaxTaps / t.decim) / 8 * 8;
  if (branch > most) {
    branch = most;
  }
  if (branch > kTrackMaxPhase) {
    branch = kTrackMaxPhase;
  }
  t.branch = branch;
  t.taps = branch * t.decim;
  const std::int32_t n = t.taps;
  const double beta = 0.1102 * (kStopDb - 8.7);
  const double centre = 0.5 * static_cast<double>(n - 1);
  const double cutoff = 0.5 * t.rateD / t.rate;  // cycles per input sample
  double h[kTrackMaxTaps];
  double sum = 0.0;
  for (std::int32_t k = 0; k < n; ++k) {
    const std::int32_t m = k < n - 1 - k ? k : n - 1 - k;  // exact symmetry
    const double x = static_cast<double>(m) - centre;
    double sinc = 2.0 * cutoff;
    if (x != 0.0) {
      double s = 0.0;
      double c = 0.0;
      trackerSinCos(kTwoPi * cutoff * x, s, c);
      sinc = s / (kPi * x);
    }
    const double r = n > 1 ? 2.0 * static_cast<double>(m) / static_cast<double>(n - 1) - 1.0 : 0.0;
    const double window = besselI0(beta * std::sqrt(1.0 - r * r)) / besselI0(beta);
    h[k] = sinc * window;
    sum += h[k];
  }
  for (std::int32_t k = 0; k < n; ++k) {
    t.fir[k] = static_cast<float>(h[k] / sum);
  }
  const float gain = static_cast<float>(t.decim);
  for (std::int32_t p = 0; p < t.decim; ++p) {
    for (std::int32_t k = 0; k < branch; ++k) {
      t.poly[k * t.lanes + p] = t.fir[p + k * t.decim] * gain;
    }
  }
  t.halfDelay = centre / t.rate;
}

void clearState(HumTracker& t) {
  for (float& v : t.history) {
    v = 0.0f;
  }
  t.historyPos = 0;
  t.sub = t.decim - 1;
  for (float& v : t.synth) {
    v = 0.0f;
  }
  for (float& v : t.group) {
    v = 0.0f;
  }
  t.synthPos = 0;
}

void clearFollower(HumTracker& t) {
  t.steps = 0;
  t.waiting = true;
  t.locked = false;
  t.framePos = 0;
  t.tickPos = 0;
  t.theta = 0.0;
  t.omega = kTwoPi * t.nominal;
  t.stepTurn = t.omega / t.rateD;
  t.accel = 0.0;
  t.sinceJump = t.freeHold;
  t.frameEnergy = 0.0f;
  t.shortEnergy = t.longEnergy = 0.0;
  t.coastFrames = 0;
  t.sureTicks = 0;
  t.lockAge = 0;
  t.presence = 0.0;
  t.harmedTicks = 0;
  t.guardTicks = 0;
  for (double& v : t.guardGain) {
    v = 1.0;
  }
  for (int h = 0; h < kTrackHarmonics; ++h) {
    t.fitIn[h] = t.fitPower[h] = 0.0;
  }
  for (int h = 0; h < kJumpHarmonics; ++h) {
    t.jumpRate[h] = 0.0;
    t.lastFastRe[h] = t.lastFastIm[h] = 0.0;
  }
  tracker_generic::dropJumpEvidence(t);
  t.jumpWait = 0;
  for (double& v : t.ring) {
    v = 0.0;
  }
  t.ringSum = 0.0;
  t.ringPos = 0;
  for (int h = 0; h < kTrackHarmonics; ++h) {
    t.accRe[h] = t.accIm[h] = 0.0f;
    t.fast1Re[h] = t.fast1Im[h] = t.fastRe[h] = t.fastIm[h] = 0.0f;
    t.slow1Re[h] = t.slow1Im[h] = t.slowRe[h] = t.slowIm[h] = 0.0;
    t.mid1Re[h] = t.mid1Im[h] = t.midRe[h] = t.midIm[h] = 0.0;
    t.lasting[h] = 0.0;
    t.kept[h] = 0.0;
    t.trust[h] = 0.0;
    t.offRe[h] = t.offIm[h] = t.offPower[h] = 0.0;
    t.noise[h] = 0.0;
    t.narrow1Re[h] = t.narrow1Im[h] = t.narrowRe[h] = t.narrowIm[h] = 0.0;
    t.settled1Re[h] = t.settled1Im[h] = t.settledRe[h] = t.settledIm[h] = 0.0;
    t.narrowNoise[h] = 0.0;
    t.maskedHeld[h] = 0.0;
    t.detRe[h] = t.detIm[h] = t.synRe[h] = t.synIm[h] = 0.0f;
  }
  powersOf(-t.omega * t.halfDelay, t.phRe, t.phIm);
  powersOf(t.omega / t.rateD, t.stepRe, t.stepIm);
}

// A third-order loop: it follows a steady drift of the mains frequency
// without a lasting phase error. Gains for a noise bandwidth of hz.
void loopGains(double hz, double* gain) {
  const double w0 = kTwoPi * hz / 0.7845 * 0.5;
  gain[0] = 2.4 * w0;
  gain[1] = 1.1 * w0 * w0;
  gain[2] = w0 * w0 * w0;
}

void configure(HumTracker& t, float mains) {
  t.nominal = static_cast<double>(mains);
  const double top = t.nominal + kFollowRangeHz;
  const double usable = t.decim > 1 ? kPassEdge : 0.45 * t.rateD;
  t.harmonics = 0;
  while (t.harmonics < kTrackHarmonics && static_cast<double>(t.harmonics + 1) * top <= usable) {
    ++t.harmonics;
  }
  const double frameRate = t.rateD / static_cast<double>(kTrackFrameSteps);
  t.ringLength = count(std::round(frameRate / t.nominal), 1, kTrackMaxRing);
  t.omegaMin = kTwoPi * (t.nominal - kFollowRangeHz);
  t.omegaMax = kTwoPi * top;
}

}  // namespace

void trackerSinCos(double x, double& s, double& c) {
  if (!(std::fabs(x) < 1e9)) {
    // Beyond any phase the tracker forms (a NaN, an absurd rate): no meaning
    // to keep, and no conversion of an out-of-range quadrant below.
    s = 0.0;
    c = 1.0;
    return;
  }
  // x = q * pi/2 + r, |r| <= pi/4; pi/2 in two parts (the first exact in 33
  // bits), so that q * part is exact for the arguments the tracker uses.
  constexpr double kPio2Hi = 1.57079632673412561417e+00;
  constexpr double kPio2Lo = 6.07710050650619224932e-11;
  constexpr double kTwoOverPi = 6.36619772367581382433e-01;
  // Rounded to the nearest integer, ties to even, as nearbyint does in the
  // default rounding mode, but without the library call (which saves and
  // restores the floating-point environment): below 2^51, adding and taking
  // away 1.5 * 2^52 leaves no fraction.
  constexpr double kRound = 6755399441055744.0;
  const double q = (x * kTwoOverPi + kRound) - kRound;
  const double r = (x - q * kPio2Hi) - q * kPio2Lo;
  const double r2 = r * r;
  // Taylor series to r^15 and r^16: below half an ulp for |r| <= pi/4.
  const double sr =
      r + r * r2 *
              (-1.0 / 6.0 +
               r2 * (1.0 / 120.0 +
                     r2 * (-1.0 / 5040.0 +
                           r2 * (1.0 / 362880.0 + r2 * (-1.0 / 39916800.0 +
                                                        r2 * (1.0 / 6227020800.0 +
                                                              r2 * (-1.0 / 1307674368000.0)))))));
  const double cr =
      1.0 + r2 * (-0.5 + r2 * (1.0 / 24.0 +
                               r2 * (-1.0 / 720.0 +
                                     r2 * (1.0 / 40320.0 +
                                           r2 * (-1.0 / 3628800.0 +
                                                 r2 * (1.0 / 479001600.0 +
                                                       r2 * (-1.0 / 87178291200.0 +
                                                             r2 * (1.0 / 20922789888000.0))))))));
  const long quadrant = static_cast<long>(q) & 3;
  switch (quadrant) {
    case 0:
      s = sr;
      c = cr;
      break;
    case 1:
      s = cr;
      c = -sr;
      break;
    case 2:
      s = -sr;
      c = -cr;
      break;
    default:
      s = -cr;
      c = sr;
      break;
  }
}

double trackerAtan2(double y, double x) {
  const double ax = std::fabs(x);
  const double ay = std::fabs(y);
  if (!(ax < 1e300 && ay < 1e300) || (ax == 0.0 && ay == 0.0)) {
    return 0.0;
  }
  constexpr double kPio2 = 1.57079632679489661923;
  constexpr double kPio6 = 0.52359877559829887308;
  constexpr double kTan15 = 0.26794919243112270647;
  constexpr double kSqrt3 = 1.73205080756887729353;
  // The angle of the smaller over the larger, in [0, 1]; above tan 15
  // degrees, turned back by 30 so that the series below converges fast.
  const bool steep = ay > ax;
  double u = steep ? ax / ay : ay / ax;
  double base = 0.0;
  if (u > kTan15) {
    u = (u * kSqrt3 - 1.0) / (u + kSqrt3);
    base = kPio6;
  }
  // atan u = u - u^3/3 + u^5/5 - ..., |u| <= tan 15 degrees: to u^29, below
  // an ulp.
  const double u2 = u * u;
  double series = 0.0;
  for (int k = 29; k >= 3; k -= 2) {
    const double sign = ((k - 1) / 2) % 2 == 0 ? 1.0 : -1.0;
    series = u2 * (sign / static_cast<double>(k) + series);
  }
  double a = base + (u + u * series);
  if (steep) {
    a = kPio2 - a;
  }
  if (x < 0.0) {
    a = 2.0 * kPio2 - a;
  }
  return y < 0.0 ? -a : a;
}

void humTrackerInit(HumTracker& t, double rate, float mains) {
  t.rate = rate;
#if defined(__x86_64__)
  t.wide = __builtin_cpu_supports("avx2") != 0;
#else
  t.wide = false;
#endif
  double d = std::floor(rate / kMinDecimatedRate);
  if (d < 1.0) {
    d = 1.0;
  }
  if (d > static_cast<double>(kTrackMaxDecim)) {
    d = static_cast<double>(kTrackMaxDecim);
  }
  t.decim = static_cast<std::int32_t>(d);
  t.rateD = rate / d;
  for (float& v : t.fir) {
    v = 0.0f;
  }
  for (float& v : t.poly) {
    v = 0.0f;
  }
  t.lanes = (t.decim + 7) / 8 * 8;
  if (t.decim > 1) {
    designFir(t);
  } else {
    // Slow enough to follow every harmonic as it is.
    t.branch = 1;
    t.taps = 1;
    t.fir[0] = 1.0f;
    t.poly[0] = 1.0f;
    t.halfDelay = 0.0;
  }
  const double frameRate = t.rateD / static_cast<double>(kTrackFrameSteps);
  t.tick = count(std::round(frameRate / kSlowTickHz), 1, 1 << 20);
  t.kFast = onePole(kFastHz, frameRate);
  const double tickRate = frameRate / static_cast<double>(t.tick);
  t.kSlow = onePole(kSlowHz, tickRate);
  t.kSlowHeld = onePole(kSlowHeldHz, tickRate);
  t.kMid = onePole(kMidHz, tickRate);
  t.kNoise = onePole(kNoiseHz, tickRate);
  t.kLasting = onePole(kLastingHz, tickRate);
  t.kKeptFade = onePole(0.1 * kLastingHz, tickRate);
  t.kLeak = onePole(kLeakHz, tickRate);
  t.kNarrow = onePole(kNarrowHz, tickRate);
  t.kSettled = onePole(kSettledHz, tickRate);
  t.kNarrowNoise = onePole(kNarrowNoiseHz, tickRate);
  t.kMaskedRelease = onePole(kMaskedReleaseHz, tickRate);
  t.kTrust = onePole(kTrustHz, tickRate);
  t.kOffset = onePole(kOffsetHz, tickRate);
  t.freeHold = count(std::round(kFreeSeconds * frameRate), 1, 1 << 30);
  t.kJump = onePole(kJumpHz, tickRate);
  t.jumpTicks = count(std::round(kJumpSeconds * tickRate), 1, 1 << 30);
  t.jumpLong = count(std::round(kJumpLongSeconds * tickRate), 1, 1 << 30);
  t.jumpHold = count(std::round(kJumpHoldSeconds * tickRate), 1, 1 << 30);
  t.kGuard = onePole(kGuardHz, tickRate);
  t.kFit = onePole(kFitHz, tickRate);
  t.releaseTicks = count(std::round(kReleaseSeconds * tickRate), 1, 1 << 30);
  t.guardWait = count(std::round(kGuardWaitSeconds * tickRate), 1, 1 << 30);
  t.guardHold = count(std::round(kGuardSeconds * tickRate), 1, 1 << 30);
  t.quickTicks = count(std::round(kQuickSeconds * tickRate), 0, 1 << 30);
  t.jumpSettle = count(std::round(kJumpSettleSeconds * tickRate), 1, 1 << 30);
  t.kShortEnergy = onePole(kShortEnergyHz, frameRate);
  t.kLongEnergy = onePole(kLongEnergyHz, frameRate);
  t.coastLength = count(std::round(kCoastSeconds * frameRate), 0, 1 << 30);
  t.warmSteps = count(std::round(kWarmSeconds * t.rateD), 1, 1 << 30);
  loopGains(kLoopHz, t.loop);
  loopGains(kJumpLoopHz, t.jumpLoop);
  // After a jump the loop has no third integrator: what is left of the jump
  // is a small error of frequency, and the detector, which reads the fast
  // estimates against the middle ones and so sees the phase move rather than
  // the phase itself, drives that integrator late: it made the loop ring
  // around the new frequency for seconds.
  t.jumpLoop[2] = 0.0;
  humTrackerRestart(t, mains);
}

void humTrackerRestart(HumTracker& t, float mains) {
  configure(t, mains);
  clearState(t);
  clearFollower(t);
}

void humTrackerRun(HumTracker& t, const float* in, float* out, std::uint32_t n,
                   const TrackerLead* lead) {
#if defined(__x86_64__)
  if (t.wide) {
    humTrackerRunAvx2(t, in, out, n, lead);
    return;
  }
#endif
  tracker_generic::runLed(t, in, out, n, lead);
}

void humTrackerSettle(HumTracker& t) {
#if defined(__x86_64__)
  const bool finite = t.wide ? humTrackerFiniteAvx2(t) : tracker_generic::stateFinite(t);
#else
  const bool finite = tracker_generic::stateFinite(t);
#endif
  if (!finite) {
    clearState(t);
    clearFollower(t);
  }
}

float humTrackerFrequency(const HumTracker& t) {
  return t.harmonics > 0 ? static_cast<float>(t.omega / kTwoPi) : 0.0f;
}
