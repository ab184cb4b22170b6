#include "hum_tracker.h"

#define TRACKER_ISA_NS tracker_generic
#include "hum_tracker_kernel.h"
#undef TRACKER_ISA_NS

#include <cmath>
#include <initializer_list>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

// Where the followed harmonics end, and the FIR's band: the passband reaches
// 40 times 61 Hz, the stopband starts where its image folds back onto it.
constexpr double kPassEdge = 2450.0;
constexpr double kStopDb = 49.0;
// Decimated rates from 6 kHz (below, the FIR's transition would be too
// narrow to afford) to 12 kHz.
constexpr double kMinDecimatedRate = 6000.0;
constexpr double kSlowTickHz = 80.0;
// Bandwidths, Hz. The fast estimates are the detector's view of each
// harmonic; the middle ones its reference and the slow ones' input. The slow
// estimates are the canceller's own: they move at this pace only while the
// harmonic stands steady, slowed by the cube of its steadiness, so a guitar
// partial turning beside a mains line barely reaches them while hum alone
// there is followed quickly.
constexpr double kFastHz = 3.0;
constexpr double kMidHz = 1.0;
constexpr double kSlowHz = 1.0;
constexpr double kNoiseHz = 1.0;
constexpr double kLastingHz = 0.1;
constexpr double kAlignGain = 0.15;
constexpr double kDetectorClip = 0.1;
// The loop's noise bandwidth: wide enough to follow a grid's drift with no
// lasting phase error (the loop is of third order), narrow enough that the
// guitar moves it little; wider for a while after a jump of the mains is
// taken (below), to take up what is left of it sooner.
constexpr double kLoopHz = 1.2;
constexpr double kJumpLoopHz = 1.5;
constexpr double kWarmSeconds = 1.0;
constexpr double kFollowRangeHz = 1.0;
// While no hum is found, the follower eases back to the nominal frequency,
// so that it waits for the hum where the hum will be.
constexpr double kLeakHz = 0.3;
// Steadiness: |middle|^2 / (|middle|^2 + kNoiseWeight * noise).
constexpr double kNoiseWeight = 4.0;
// Hum is found when the harmonics' lasting steadiness adds up to this many
// harmonics, and lost below the second figure: a guitar's partials seldom
// stand still on mains lines for seconds, several at once.
constexpr double kLockOn = 3.0;
constexpr double kLockOff = 1.8;
// The lowest harmonics count for more: a guitar seldom plays there, and hum
// as a pure fundamental (or with its third) is the commonest there is.
constexpr double kLowWeight[3] = {3.5, 1.5, 1.0};
constexpr double kLeakWhileFound = 8.0;
constexpr double kLeakShare = 1.0;
// A slow estimate that has held the hum for a while trusts itself: while
// the middle estimate strays from it by more than this share of its size (a
// note ringing beside the line, a slide crossing it), it barely moves.
// Trust builds at kTrustHz, is let go a hundred times more slowly, and at
// the full pace while the offset stands still (the hum's own shape changed,
// as when the player switches pickups): the offset's steadiness, to the
// sixth power, says how much.
constexpr double kAgreeShare = 0.05;
constexpr double kTrustHz = 0.4;
constexpr double kTrustLetGo = 0.01;
constexpr double kOffsetHz = 0.4;
// For this long after a jump of the mains is taken, every slow estimate
// follows freely, as the hum's common turn realigns them, and the loop is
// the wider one. (Not after a jolt of the loop's detector alone: a chord's
// attack jolts it too, and freed then, the estimates took in the chord.)
constexpr double kFreeSeconds = 4.0;
// A jump of the mains frequency (a generator's load changing, a switch to
// another supply) turns each harmonic's fast estimate at h times the jump
// against the followed phase, but the loop takes seconds to follow it: its
// detector weighs each harmonic by how steadily it stands, and after a jump
// none does. So the lowest harmonics' turn rates are watched as well
// (smoothed at kJumpHz). Once hum has been found on ample evidence for
// kJumpSettleSeconds, when the rates of most of their weight (kJumpShare)
// agree within kJumpSpread with their weighted median, a jump of at least
// kJumpMinHz, for kJumpSeconds, the follower takes it at once: the
// frequency, and the phase the hum gained meanwhile against the slow
// estimates (the fundamental's, seen through its fast estimate, which lags
// by kJumpLag, the delay of its two one-poles).
constexpr double kJumpHz = 7.0;
constexpr double kJumpMinHz = 0.1;
constexpr double kJumpSpread = 0.5;
constexpr double kJumpShare = 0.7;
constexpr double kJumpSeconds = 0.15;
constexpr double kJumpHoldSeconds = 1.0;
constexpr double kJumpLag = 2.0 / (kTwoPi * kFastHz);
constexpr double kJumpSettleSeconds = 2.0;
// A harmonic is subtracted in full from this lasting steadiness up, and not
// at all below the first figure (a smooth step between).
constexpr double kSynthFrom = 0.1;
constexpr double kSynthFull = 0.3;
// Keeps the detector's normalisation finite with no hum at all, where the
// weighted sum of signal-to-noise ratios is near zero: the loop then holds.
constexpr double kDetectorRegularisation = 1.0;
constexpr double kNoiseFloor = 1e-20;
constexpr float kFastFloor = 1e-30f;
constexpr double kSlowFloor = 1e-200;

// A count from a double, within [lo, hi] (and lo for a NaN): absurd rates
// give absurd quotients, which must not reach an integer conversion.
std::int32_t count(double v, std::int32_t lo, std::int32_t hi) {
  if (!(v >= static_cast<double>(lo))) {
    return lo;
  }
  return v >= static_cast<double>(hi) ? hi : static_cast<std::int32_t>(v);
}

// (re, im) times (cRe, cIm), in double.
inline void turn(double& re, double& im, double cRe, double cIm) {
  const double nRe = re * cRe - im * cIm;
  im = re * cIm + im * cRe;
  re = nRe;
}

// e^(i h x) for h = 1, 2, ... in turn, each from the last, in double.
struct Powers {
  double re = 1.0;
  double im = 0.0;
  double c = 1.0;
  double s = 0.0;
  explicit Powers(double x) { trackerSinCos(x, s, c); }
  void next() { turn(re, im, c, s); }
};

// e^(i h x), h = 1..40, in double, rounded to float.
void powersOf(double x, float* re, float* im) {
  Powers p(x);
  for (int h = 0; h < kTrackHarmonics; ++h) {
    p.next();
    re[h] = static_cast<float>(p.re);
    im[h] = static_cast<float>(p.im);
  }
}

// The same in float, eight in a row and then blocks of eight from the
// eighth, sixteenth, ... power: element-wise, so the compiler runs it in
// lanes; once a frame.
void powersOfFast(double x, float* re, float* im) {
  double s = 0.0;
  double c = 0.0;
  trackerSinCos(x, s, c);
  re[0] = static_cast<float>(c);
  im[0] = static_cast<float>(s);
  for (int h = 1; h < kTrackLanes; ++h) {
    re[h] = re[h - 1] * re[0] - im[h - 1] * im[0];
    im[h] = re[h - 1] * im[0] + im[h - 1] * re[0];
  }
  for (int b = kTrackLanes; b < kTrackHarmonics; b += kTrackLanes) {
    const float baseRe = re[b - 1];
    const float baseIm = im[b - 1];
    for (int j = 0; j < kTrackLanes; ++j) {
      re[b + j] = baseRe * re[j] - baseIm * im[j];
      im[b + j] = baseRe * im[j] + baseIm * re[j];
    }
  }
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
  t.locked = false;
  t.framePos = 0;
  t.tickPos = 0;
  t.theta = 0.0;
  t.omega = kTwoPi * t.nominal;
  t.accel = 0.0;
  t.sinceJump = t.freeHold;
  t.sureTicks = 0;
  for (int h = 0; h < kJumpHarmonics; ++h) {
    t.jumpRate[h] = 0.0;
    t.lastFastRe[h] = t.lastFastIm[h] = 0.0;
  }
  t.jumpCount = 0;
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

// A harmonic's values below the floor become exact zeros; one array at a
// time, so that the compiler runs it in lanes.
template <typename T>
void flushBelow(T* a, T floor, int count = kTrackHarmonics) {
  for (int h = 0; h < count; ++h) {
    a[h] = std::fabs(a[h]) < floor ? T(0) : a[h];
  }
}

// The slow update, in double: middle and slow estimates, noise and
// steadiness, whether hum is found, the detector's weights and the
// synthesis coefficients.
void slowTick(HumTracker& t) {
  // Decayed toward silence, the estimates end as exact zeros rather than
  // subnormal numbers (which cost a microcode assist on many CPUs); here, on
  // a fixed sample count, so that it does not depend on the host's blocks.
  for (float* a : {t.fast1Re, t.fast1Im, t.fastRe, t.fastIm, t.accRe, t.accIm}) {
    flushBelow(a, kFastFloor);
  }
  for (double* a : {t.slow1Re, t.slow1Im, t.slowRe, t.slowIm, t.noise, t.mid1Re, t.mid1Im, t.midRe,
                    t.midIm, t.trust, t.offRe, t.offIm, t.offPower}) {
    flushBelow(a, kSlowFloor);
  }
  flushBelow(t.jumpRate, kSlowFloor, kJumpHarmonics);
  double weightSum = 0.0;
  double presence = 0.0;
  double inverse[kTrackHarmonics];
  double steady[kTrackHarmonics];
  double midPower[kTrackHarmonics];
  double pace[kTrackHarmonics];
  double agree[kTrackHarmonics];
  double standing[kTrackHarmonics];
  double whole[kTrackHarmonics];
  double rate[kTrackHarmonics];
  const bool free = t.sinceJump < t.freeHold;
  // Element-wise loops with no branch inside, so that the compiler runs them
  // in lanes: each quotient, and each rate picked by a condition, is stored
  // before the next loop uses it (used at once, the compiler would move the
  // arithmetic under the condition, and not run the loop in lanes). The sums
  // over the harmonics follow in the order of h.
  for (int h = 0; h < kTrackHarmonics; ++h) {
    const double fRe = static_cast<double>(t.fastRe[h]);
    const double fIm = static_cast<double>(t.fastIm[h]);
    t.mid1Re[h] += t.kMid * (fRe - t.mid1Re[h]);
    t.mid1Im[h] += t.kMid * (fIm - t.mid1Im[h]);
    t.midRe[h] += t.kMid * (t.mid1Re[h] - t.midRe[h]);
    t.midIm[h] += t.kMid * (t.mid1Im[h] - t.midIm[h]);
    const double eRe = fRe - t.midRe[h];
    const double eIm = fIm - t.midIm[h];
    t.noise[h] += t.kNoise * ((eRe * eRe + eIm * eIm) - t.noise[h]);
    const double mid = t.midRe[h] * t.midRe[h] + t.midIm[h] * t.midIm[h];
    midPower[h] = mid;
    steady[h] = mid / (mid + kNoiseWeight * t.noise[h]);
    inverse[h] = 1.0 / (t.noise[h] + kNoiseFloor);
  }
  for (int h = 0; h < kTrackHarmonics; ++h) {
    const double spread = midPower[h] + kNoiseWeight * t.noise[h];
    steady[h] = spread > 0.0 ? steady[h] : 0.0;
  }
  const double fade = t.kKeptFade;
  for (int h = 0; h < kTrackHarmonics; ++h) {
    const double r = steady[h];
    t.lasting[h] += t.kLasting * (r - t.lasting[h]);
    // What the synthesis weighs each harmonic by: the lasting steadiness,
    // let go more slowly, so that a note ringing beside a line for a few
    // seconds does not make the canceller drop the hum it found there.
    rate[h] = t.lasting[h] > t.kept[h] ? 1.0 : fade;
    pace[h] = t.kSlow * (r * r * r);
  }
  for (int h = 0; h < kTrackHarmonics; ++h) {
    t.kept[h] += rate[h] * (t.lasting[h] - t.kept[h]);
  }
  if (!free) {
    for (int h = 0; h < kTrackHarmonics; ++h) {
      const double oRe = t.midRe[h] - t.slowRe[h];
      const double oIm = t.midIm[h] - t.slowIm[h];
      const double off = oRe * oRe + oIm * oIm;
      const double near =
          kAgreeShare * kAgreeShare * (t.slowRe[h] * t.slowRe[h] + t.slowIm[h] * t.slowIm[h]);
      whole[h] = near + off;
      agree[h] = near / whole[h];
      t.offRe[h] += t.kOffset * (oRe - t.offRe[h]);
      t.offIm[h] += t.kOffset * (oIm - t.offIm[h]);
      t.offPower[h] += t.kOffset * (off - t.offPower[h]);
      standing[h] = (t.offRe[h] * t.offRe[h] + t.offIm[h] * t.offIm[h]) / t.offPower[h];
    }
    for (int h = 0; h < kTrackHarmonics; ++h) {
      agree[h] = whole[h] > 0.0 ? agree[h] : 0.0;
      standing[h] = t.offPower[h] > 0.0 ? standing[h] : 0.0;
    }
    if (t.locked) {
      for (int h = 0; h < kTrackHarmonics; ++h) {
        const double s3 = standing[h] * standing[h] * standing[h];
        rate[h] = kTrustLetGo + (1.0 - kTrustLetGo) * s3 * s3;
      }
      for (int h = 0; h < kTrackHarmonics; ++h) {
        rate[h] = agree[h] > t.trust[h] ? 1.0 : rate[h];
      }
      for (int h = 0; h < kTrackHarmonics; ++h) {
        t.trust[h] += t.kTrust * rate[h] * (agree[h] - t.trust[h]);
      }
    }
    for (int h = 0; h < kTrackHarmonics; ++h) {
      pace[h] *= 1.0 - t.trust[h] * (1.0 - agree[h]);
    }
  }
  for (int h = 0; h < kTrackHarmonics; ++h) {
    const double k = pace[h];
    t.slow1Re[h] += k * (t.midRe[h] - t.slow1Re[h]);
    t.slow1Im[h] += k * (t.midIm[h] - t.slow1Im[h]);
    t.slowRe[h] += k * (t.slow1Re[h] - t.slowRe[h]);
    t.slowIm[h] += k * (t.slow1Im[h] - t.slowIm[h]);
  }
  for (int h = 0; h < t.harmonics; ++h) {
    const double order = static_cast<double>(h + 1);
    weightSum += order * order * midPower[h] * steady[h] * inverse[h];
    presence += t.lasting[h] * (h < 3 ? kLowWeight[h] : 1.0);
  }
  if (t.steps >= t.warmSteps) {
    if (!t.locked && presence >= kLockOn) {
      t.locked = true;
    } else if (t.locked && presence < kLockOff) {
      t.locked = false;
    }
  }
  // While no hum is found the follower eases back to the nominal; found
  // on scant evidence (a few steady lines), a little of that pull stays,
  // so that lines of a guitar taken for hum cannot lead it far away.
  double pull = t.locked ? 0.0 : 1.0;
  // Sure of the hum once it has been found on ample evidence for a while:
  // while the estimates are still settling, they turn as they settle.
  if (t.locked && presence >= kLeakWhileFound) {
    t.sureTicks += t.sureTicks < t.jumpSettle ? 1 : 0;
  } else {
    t.sureTicks = 0;
  }
  if (t.locked && presence < kLeakWhileFound) {
    pull = kLeakShare * (kLeakWhileFound - presence) / (kLeakWhileFound - kLockOff);
  }
  if (pull > 0.0) {
    t.omega += pull * t.kLeak * (kTwoPi * t.nominal - t.omega);
    t.accel -= pull * t.kLeak * t.accel;
  }
  const double norm = 1.0 / (weightSum + kDetectorRegularisation);
  // After a jump of the mains the loop settles at another phase, and every
  // slow estimate is off by h times that; a change of the hum's level moves
  // them all alike. Both show as one turn and one gain between the middle
  // and the slow estimates, measured across all harmonics: the slow ones
  // follow them together, much faster than each could alone.
  if (t.locked) {
    double turnNum = 0.0;
    double turnDen = 0.0;
    double gainNum = 0.0;
    double gainDen = 0.0;
    for (int h = 0; h < t.harmonics; ++h) {
      const double w = t.lasting[h] * inverse[h];
      const double order = static_cast<double>(h + 1);
      const double cross = t.midIm[h] * t.slowRe[h] - t.midRe[h] * t.slowIm[h];
      const double dot = t.midRe[h] * t.slowRe[h] + t.midIm[h] * t.slowIm[h];
      const double power = t.slowRe[h] * t.slowRe[h] + t.slowIm[h] * t.slowIm[h];
      turnNum += w * order * cross;
      turnDen += w * order * order * power;
      gainNum += w * dot;
      gainDen += w * power;
    }
    if (turnDen > 0.0 && gainDen > 0.0) {
      double angle = kAlignGain * turnNum / turnDen;
      angle = angle > 0.1 ? 0.1 : angle < -0.1 ? -0.1 : angle;
      double gain = 1.0 + kAlignGain * (gainNum / gainDen - 1.0);
      gain = gain > 1.1 ? 1.1 : gain < 0.9 ? 0.9 : gain;
      // The common gain lifts no harmonic past its own middle estimate (a
      // note beside the line, taken in, is not pumped up while the others
      // grow to the hum), and, but while the estimates follow freely after
      // a jump, lifts each only as far as it stands steady.
      double factor[kTrackHarmonics];
      for (int h = 0; h < kTrackHarmonics; ++h) {
        const double last = t.slowRe[h] * t.slowRe[h] + t.slowIm[h] * t.slowIm[h];
        const double first = t.slow1Re[h] * t.slow1Re[h] + t.slow1Im[h] * t.slow1Im[h];
        factor[h] = std::sqrt(midPower[h] / (first > last ? first : last));
      }
      for (int h = 0; h < kTrackHarmonics; ++h) {
        const double rise = free ? gain : 1.0 + (gain - 1.0) * steady[h];
        const double room = factor[h];
        const double up = room < rise ? room : rise;  // a NaN room (nothing there): rise
        factor[h] = gain > 1.0 ? (up > 1.0 ? up : 1.0) : gain;
      }
      Powers p(angle);
      for (int h = 0; h < t.harmonics; ++h) {
        p.next();
        const double rRe = factor[h] * p.re;  // the gain times e^(i h angle)
        const double rIm = factor[h] * p.im;
        turn(t.slowRe[h], t.slowIm[h], rRe, rIm);
        turn(t.slow1Re[h], t.slow1Im[h], rRe, rIm);
      }
    }
  }
  // The hum predicted for the interpolator's output: each harmonic turned on
  // by h times the phase across both FIR delays.
  Powers advance(t.omega * 2.0 * t.halfDelay);
  for (int h = 0; h < kTrackHarmonics; ++h) {
    advance.next();
    if (h >= t.harmonics) {
      t.detRe[h] = t.detIm[h] = t.synRe[h] = t.synIm[h] = 0.0f;
      continue;
    }
    const double order = static_cast<double>(h + 1);
    const double w = order * steady[h] * inverse[h] * norm;
    t.detRe[h] = static_cast<float>(w * t.midRe[h]);
    t.detIm[h] = static_cast<float>(-w * t.midIm[h]);
    double gain = 0.0;
    if (t.locked) {
      const double u = (t.kept[h] - kSynthFrom) / (kSynthFull - kSynthFrom);
      gain = u <= 0.0 ? 0.0 : u >= 1.0 ? 1.0 : u * u * (3.0 - 2.0 * u);
    }
    double gRe = gain * t.slowRe[h];
    double gIm = gain * t.slowIm[h];
    turn(gRe, gIm, advance.re, advance.im);
    t.synRe[h] = static_cast<float>(gRe);
    t.synIm[h] = static_cast<float>(gIm);
  }
}

// At each slow tick, after the loop: a jump of the mains looked for, and
// taken. `pushed` is what the loop's proportional path adds to the
// frequency followed (rad/s) while its detector leans one way: the jump
// clears the detector, so the frequency takes that in as well.
void findJump(HumTracker& t, double dt, double pushed) {
  const int count = t.harmonics < kJumpHarmonics ? t.harmonics : kJumpHarmonics;
  double weight[kJumpHarmonics];
  double total = 0.0;
  for (int h = 0; h < count; ++h) {
    const double fRe = static_cast<double>(t.fastRe[h]);
    const double fIm = static_cast<double>(t.fastIm[h]);
    // The turn of the fast estimate itself (against the loop's phase), not
    // of its product with the slow one: the slow estimates turn as they
    // realign after the loop has moved, and that is no turn of the hum.
    const double turnRe = t.lastFastRe[h] * fRe + t.lastFastIm[h] * fIm;  // fast times conj(last)
    const double turnIm = t.lastFastRe[h] * fIm - t.lastFastIm[h] * fRe;
    t.lastFastRe[h] = fRe;
    t.lastFastIm[h] = fIm;
    const double order = static_cast<double>(h + 1);
    const double rate = trackerAtan2(turnIm, turnRe) / (order * dt);
    t.jumpRate[h] += t.kJump * (rate - t.jumpRate[h]);
    weight[h] = order * order * t.kept[h] * (t.slowRe[h] * t.slowRe[h] + t.slowIm[h] * t.slowIm[h]);
    total += weight[h];
  }
  if (t.jumpWait > 0) {
    --t.jumpWait;
    return;
  }
  // A jump of the mains turns every line: no harmonic outweighs all the
  // others together, so that one line alone (a note, a hum line of the
  // recording's own that fades) cannot make one.
  double capped = 0.0;
  for (int h = 0; h < count; ++h) {
    const double others = total - weight[h];
    weight[h] = weight[h] > others ? others : weight[h];
    capped += weight[h];
  }
  total = capped;
  // The weighted median of the rates: a partial beating beside one of the
  // lines swings that line's rate widely, and must not drag the rest.
  int rank[kJumpHarmonics];
  for (int h = 0; h < count; ++h) {
    int k = h;
    while (k > 0 && t.jumpRate[rank[k - 1]] > t.jumpRate[h]) {
      rank[k] = rank[k - 1];
      --k;
    }
    rank[k] = h;
  }
  double jump = 0.0;
  double below = 0.0;
  for (int k = 0; k < count && total > 0.0; ++k) {
    below += weight[rank[k]];
    if (below >= 0.5 * total) {
      jump = t.jumpRate[rank[k]];
      break;
    }
  }
  double agreeing = 0.0;
  for (int h = 0; h < count; ++h) {
    if (std::fabs(t.jumpRate[h] - jump) < kJumpSpread * std::fabs(jump)) {
      agreeing += weight[h];
    }
  }
  const bool sure = t.sureTicks >= t.jumpSettle;
  if (!(sure && std::fabs(jump) > kTwoPi * kJumpMinHz && agreeing >= kJumpShare * total)) {
    t.jumpCount = 0;
    return;
  }
  if (++t.jumpCount < t.jumpTicks) {
    return;
  }
  // The phase the hum gained: the fundamental's fast estimate against its
  // slow one.
  const double fRe = static_cast<double>(t.fastRe[0]);
  const double fIm = static_cast<double>(t.fastIm[0]);
  const double gainedRe = t.slowRe[0] * fRe + t.slowIm[0] * fIm;  // fast times conj(slow)
  const double gainedIm = t.slowRe[0] * fIm - t.slowIm[0] * fRe;
  const double shift = trackerAtan2(gainedIm, gainedRe) + jump * kJumpLag;
  t.theta += shift;
  t.omega += jump + pushed;
  t.accel = 0.0;
  // The fast and middle estimates turned to the new phase, as the next
  // frames will see it, and the detector's average cleared: the loop must
  // not act on the rotation it saw before the jump.
  Powers back(-shift);
  for (int h = 0; h < kTrackHarmonics; ++h) {
    back.next();
    double re = static_cast<double>(t.fastRe[h]);
    double im = static_cast<double>(t.fastIm[h]);
    turn(re, im, back.re, back.im);
    t.fastRe[h] = static_cast<float>(re);
    t.fastIm[h] = static_cast<float>(im);
    re = static_cast<double>(t.fast1Re[h]);
    im = static_cast<double>(t.fast1Im[h]);
    turn(re, im, back.re, back.im);
    t.fast1Re[h] = static_cast<float>(re);
    t.fast1Im[h] = static_cast<float>(im);
    turn(t.midRe[h], t.midIm[h], back.re, back.im);
    turn(t.mid1Re[h], t.mid1Im[h], back.re, back.im);
  }
  for (std::int32_t i = 0; i < t.ringLength; ++i) {
    t.ring[i] = 0.0;
  }
  t.ringSum = 0.0;
  // The slow estimates follow freely while the common turn realigns them.
  t.sinceJump = 0;
  for (double& v : t.jumpRate) {
    v = 0.0;
  }
  t.jumpCount = 0;
  t.jumpWait = t.jumpHold;
}

// Once a frame: the fast estimates from the frame's sums, the detector, the
// loop; the demodulating phasor afresh from the phase, and its turn per step.
}  // namespace

void humTrackerEndFrame(HumTracker& t) {
  const float k = static_cast<float>(t.kFast);
  const float mean = 1.0f / static_cast<float>(kTrackFrameSteps);
  float detTerm[kTrackHarmonics];
  float* __restrict aRe = t.accRe;
  float* __restrict aIm = t.accIm;
  float* __restrict f1Re = t.fast1Re;
  float* __restrict f1Im = t.fast1Im;
  float* __restrict fRe = t.fastRe;
  float* __restrict fIm = t.fastIm;
  for (int h = 0; h < kTrackHarmonics; ++h) {
    f1Re[h] += k * (aRe[h] * mean - f1Re[h]);
    f1Im[h] += k * (aIm[h] * mean - f1Im[h]);
    fRe[h] += k * (f1Re[h] - fRe[h]);
    fIm[h] += k * (f1Im[h] - fIm[h]);
    aRe[h] = 0.0f;
    aIm[h] = 0.0f;
    // Im(det * fast): this harmonic's phase against its middle estimate,
    // weighted by how clearly the hum stands out there.
    detTerm[h] = t.detRe[h] * fIm[h] + t.detIm[h] * fRe[h];
  }
  float det[kTrackLanes];
  for (int j = 0; j < kTrackLanes; ++j) {
    det[j] = ((((0.0f + detTerm[j]) + detTerm[8 + j]) + detTerm[16 + j]) + detTerm[24 + j]) +
             detTerm[32 + j];
  }
  const float detSum =
      ((det[0] + det[1]) + (det[2] + det[3])) + ((det[4] + det[5]) + (det[6] + det[7]));

  // The detector averaged over one mains period: what is left of the beats
  // between harmonics, and of the images, is at multiples of the mains
  // frequency. The sum is formed afresh once a period, so that it cannot
  // drift.
  const double raw = static_cast<double>(detSum);
  t.ring[t.ringPos] = raw;
  if (++t.ringPos == t.ringLength) {
    t.ringPos = 0;
    double s = 0.0;
    for (std::int32_t i = 0; i < t.ringLength; ++i) {
      s += t.ring[i];
    }
    t.ringSum = s;
  } else {
    t.ringSum += raw - t.ring[t.ringPos];
  }
  double delta = t.ringSum / static_cast<double>(t.ringLength);
  if (t.sinceJump < t.freeHold) {
    ++t.sinceJump;
  }
  // A phase error this large is no drift of the mains but a jolt (a new
  // recording, a chord's attack): the loop takes it at most at this size, so
  // that one jolt cannot throw the frequency off.
  delta = delta > kDetectorClip ? kDetectorClip : delta < -kDetectorClip ? -kDetectorClip : delta;
  if (t.steps < t.warmSteps) {
    delta = 0.0;  // the estimates settle before the loop acts on them
  }
  const double dt = static_cast<double>(kTrackFrameSteps) / t.rateD;
  const double* gain = t.sinceJump < t.freeHold ? t.jumpLoop : t.loop;
  t.theta += gain[0] * delta * dt;
  t.omega += (t.accel + gain[1] * delta) * dt;
  t.accel += gain[2] * delta * dt;
  const bool ticking = ++t.tickPos == t.tick;
  if (ticking) {
    findJump(t, dt * static_cast<double>(t.tick), gain[0] * delta);
  }
  if (t.omega > t.omegaMax) {
    t.omega = t.omegaMax;
    t.accel = 0.0;
  } else if (t.omega < t.omegaMin) {
    t.omega = t.omegaMin;
    t.accel = 0.0;
  }
  if (t.theta >= kPi) {
    t.theta -= kTwoPi;
  } else if (t.theta < -kPi) {
    t.theta += kTwoPi;
  }
  if (ticking) {
    t.tickPos = 0;
    slowTick(t);
    // Their turn per step at the frequency now followed: it moves too little
    // between ticks to matter within a frame.
    powersOf(t.omega / t.rateD, t.stepRe, t.stepIm);
  }
  // The phasors afresh from the phase, with the loop's correction.
  powersOfFast(t.theta - t.omega * t.halfDelay, t.phRe, t.phIm);
}

namespace {

// Adds zero times each of count values into eight lanes.
template <typename T>
void probeLanes(T* lanes, const T* a, std::int32_t count) {
  std::int32_t j = 0;
  for (; j + kTrackLanes <= count; j += kTrackLanes) {
    for (int l = 0; l < kTrackLanes; ++l) {
      lanes[l] += T(0) * a[j + l];
    }
  }
  for (; j < count; ++j) {
    lanes[0] += T(0) * a[j];
  }
}

}  // namespace

void trackerSinCos(double x, double& s, double& c) {
  if (!(std::fabs(x) < 1e9)) {
    // Beyond any phase this file forms (a NaN, an absurd rate): no meaning
    // to keep, and no conversion of an out-of-range quadrant below.
    s = 0.0;
    c = 1.0;
    return;
  }
  // x = q * pi/2 + r, |r| <= pi/4; pi/2 in two parts (the first exact in 33
  // bits), so that q * part is exact for the arguments this file uses.
  constexpr double kPio2Hi = 1.57079632673412561417e+00;
  constexpr double kPio2Lo = 6.07710050650619224932e-11;
  constexpr double kTwoOverPi = 6.36619772367581382433e-01;
  const double q = std::nearbyint(x * kTwoOverPi);
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
  t.kMid = onePole(kMidHz, tickRate);
  t.kNoise = onePole(kNoiseHz, tickRate);
  t.kLasting = onePole(kLastingHz, tickRate);
  t.kKeptFade = onePole(0.1 * kLastingHz, tickRate);
  t.kLeak = onePole(kLeakHz, tickRate);
  t.kTrust = onePole(kTrustHz, tickRate);
  t.kOffset = onePole(kOffsetHz, tickRate);
  t.freeHold = count(std::round(kFreeSeconds * frameRate), 1, 1 << 30);
  t.kJump = onePole(kJumpHz, tickRate);
  t.jumpTicks = count(std::round(kJumpSeconds * tickRate), 1, 1 << 30);
  t.jumpHold = count(std::round(kJumpHoldSeconds * tickRate), 1, 1 << 30);
  t.jumpSettle = count(std::round(kJumpSettleSeconds * tickRate), 1, 1 << 30);
  t.warmSteps = count(std::round(kWarmSeconds * t.rateD), 1, 1 << 30);
  loopGains(kLoopHz, t.loop);
  loopGains(kJumpLoopHz, t.jumpLoop);
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
  // Zero times anything finite is zero; times an infinity or a NaN, NaN:
  // sums of such products, in lanes that do not wait on each other, tell
  // whether any of the state is not finite.
  float f[kTrackLanes] = {};
  probeLanes(f, t.history, t.taps);
  probeLanes(f, t.synth, 2 * t.branch);
  for (const float* a : {t.accRe, t.accIm, t.fastRe, t.fastIm, t.fast1Re, t.fast1Im, t.synRe,
                         t.synIm, t.phRe, t.phIm}) {
    probeLanes(f, a, kTrackHarmonics);
  }
  double d[kTrackLanes] = {0.0 * (t.theta + t.omega + t.accel + t.ringSum)};
  for (const double* a :
       {t.slowRe, t.slowIm, t.midRe, t.midIm, t.noise, t.trust, t.offRe, t.offIm, t.offPower}) {
    probeLanes(d, a, kTrackHarmonics);
  }
  probeLanes(d, t.jumpRate, kJumpHarmonics);
  probeLanes(d, t.lastFastRe, kJumpHarmonics);
  probeLanes(d, t.lastFastIm, kJumpHarmonics);
  float probeF = 0.0f;
  double probe = 0.0;
  for (int l = 0; l < kTrackLanes; ++l) {
    probeF += f[l];
    probe += d[l];
  }
  if (!(probe == 0.0 && probeF == 0.0f)) {
    clearState(t);
    clearFollower(t);
  }
}

float humTrackerFrequency(const HumTracker& t) {
  return t.harmonics > 0 ? static_cast<float>(t.omega / kTwoPi) : 0.0f;
}
