// The tracker's work at each frame's end and slow tick: the estimates, the
// loop and the jump finder. Included, like the per-sample work, once for the
// generic build and once compiled for AVX2 (x86-64), each in the namespace
// TRACKER_ISA_NS: its loops over the harmonics run in the CPU's widest lanes,
// element-wise, and its sums in the order of h, so every build gives the same
// bits.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "hum_tracker.h"
#include "hum_tracker_tuning.h"

namespace TRACKER_ISA_NS {

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
  // Formed in locals: through the two pointers, which could alias as far as
  // the compiler knows, every power would be stored and reloaded before the
  // next, and no block would run in lanes.
  float r[kTrackHarmonics];
  float i[kTrackHarmonics];
  r[0] = static_cast<float>(c);
  i[0] = static_cast<float>(s);
  for (int h = 1; h < kTrackLanes; ++h) {
    r[h] = r[h - 1] * r[0] - i[h - 1] * i[0];
    i[h] = r[h - 1] * i[0] + i[h - 1] * r[0];
  }
  for (int b = kTrackLanes; b < kTrackHarmonics; b += kTrackLanes) {
    const float baseRe = r[b - 1];
    const float baseIm = i[b - 1];
    for (int j = 0; j < kTrackLanes; ++j) {
      r[b + j] = baseRe * r[j] - baseIm * i[j];
      i[b + j] = baseRe * i[j] + baseIm * r[j];
    }
  }
  for (int h = 0; h < kTrackHarmonics; ++h) {
    re[h] = r[h];
    im[h] = i[h];
  }
}

// The sum of one term per harmonic in eight lanes, each in the order of h,
// then the lanes pairwise: the same order on every machine.
inline float sumOverHarmonics(const float* term) {
  float lane[kTrackLanes];
  for (int j = 0; j < kTrackLanes; ++j) {
    lane[j] = ((((0.0f + term[j]) + term[8 + j]) + term[16 + j]) + term[24 + j]) + term[32 + j];
  }
  return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

// A harmonic's values below the floor become exact zeros; one array at a
// time, so that the compiler runs it in lanes.
template <typename T>
void flushBelow(T* a, T floor, int count = kTrackHarmonics) {
  for (int h = 0; h < count; ++h) {
    a[h] = std::fabs(a[h]) < floor ? T(0) : a[h];
  }
}

// Two one-poles in a row on a complex value, in double: the first follows
// (re, im), the second the first.
inline void twoPoles(double k, double re, double im, double& aRe, double& aIm, double& bRe,
                     double& bIm) {
  aRe += k * (re - aRe);
  aIm += k * (im - aIm);
  bRe += k * (aRe - bRe);
  bIm += k * (aIm - bIm);
}

// How much of a harmonic's estimate the synthesis takes, by how steady it
// is: none below `from`, all from `full`, a smooth step between.
inline double synthesisWeight(double steadiness, double from = kSynthFrom,
                              double full = kSynthFull) {
  const double u = (steadiness - from) / (full - from);
  return u <= 0.0 ? 0.0 : u >= 1.0 ? 1.0 : u * u * (3.0 - 2.0 * u);
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
  for (double* a :
       {t.slow1Re,    t.slow1Im,   t.slowRe,    t.slowIm,      t.noise,     t.mid1Re,
        t.mid1Im,     t.midRe,     t.midIm,     t.trust,       t.offRe,     t.offIm,
        t.offPower,   t.narrow1Re, t.narrow1Im, t.narrowRe,    t.narrowIm,  t.settled1Re,
        t.settled1Im, t.settledRe, t.settledIm, t.narrowNoise, t.maskedHeld}) {
    flushBelow(a, kSlowFloor);
  }
  flushBelow(t.jumpRate, kSlowFloor, kJumpHarmonics);
  flushBelow(&t.shortEnergy, kSlowFloor, 1);
  flushBelow(&t.longEnergy, kSlowFloor, 1);
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
  // What each line's fast estimate holds, and what would be left of it with
  // the slow estimate subtracted.
  double fastPower[kTrackHarmonics];
  double fastLeft[kTrackHarmonics];
  for (int h = 0; h < kTrackHarmonics; ++h) {
    const double fRe = static_cast<double>(t.fastRe[h]);
    const double fIm = static_cast<double>(t.fastIm[h]);
    const double dRe = fRe - t.slowRe[h];
    const double dIm = fIm - t.slowIm[h];
    fastPower[h] = fRe * fRe + fIm * fIm;
    fastLeft[h] = dRe * dRe + dIm * dIm;
    const double power = t.slowRe[h] * t.slowRe[h] + t.slowIm[h] * t.slowIm[h];
    t.fitIn[h] += t.kFit * (fastPower[h] - t.fitIn[h]);
    t.fitPower[h] += t.kFit * (power - t.fitPower[h]);
  }
  flushBelow(t.fitIn, kSlowFloor);
  flushBelow(t.fitPower, kSlowFloor);
  // When the hum changes its shape at once (the player switching pickups),
  // the slow estimates, still the old shape, would add to most lines rather
  // than take away, until they have followed: once that holds for most of
  // the lines' weight, on kGuardLines lines or more, for kGuardWaitSeconds,
  // for kGuardSeconds each such line is eased (at kGuardHz, so that no line
  // is modulated) toward what subtracting it helps. A note beside a few
  // lines, or hum of a few lines under a slide, is not enough.
  double harmed = 0.0;
  double weight = 0.0;
  int lines = 0;
  for (int h = 0; h < t.harmonics; ++h) {
    harmed += fastLeft[h] > fastPower[h] ? t.lasting[h] : 0.0;
    weight += t.lasting[h];
    lines += fastLeft[h] > fastPower[h] && t.kept[h] >= kSynthFull ? 1 : 0;
  }
  t.harmedTicks = t.locked && weight > 0.0 && harmed > kGuardShare * weight && lines >= kGuardLines
                      ? t.harmedTicks + 1
                      : 0;
  if (t.harmedTicks >= t.guardWait) {
    t.guardTicks = t.guardHold;
  }
  const bool guard = t.guardTicks > 0;
  t.guardTicks -= guard ? 1 : 0;
  const bool free = t.sinceJump < t.freeHold;
  // Harm that lasts is the hum's shape changed (a jump of the mains, which
  // harms the lines too, is the jump finder's): every slow estimate lets go
  // of its trust, which would hold it to the old shape until its offset
  // stood still, and they start again at the quick pace.
  if (t.harmedTicks == t.releaseTicks && !free && t.jumpLeaning == 0) {
    for (int h = 0; h < kTrackHarmonics; ++h) {
      t.trust[h] = 0.0;
    }
    t.lockAge = 0;
  }
  // Element-wise loops with no branch inside, so that the compiler runs them
  // in lanes: each quotient, and each rate picked by a condition, is stored
  // before the next loop uses it (used at once, the compiler would move the
  // arithmetic under the condition, and not run the loop in lanes). The sums
  // over the harmonics follow in the order of h.
  for (int h = 0; h < kTrackHarmonics; ++h) {
    const double fRe = static_cast<double>(t.fastRe[h]);
    const double fIm = static_cast<double>(t.fastIm[h]);
    twoPoles(t.kMid, fRe, fIm, t.mid1Re[h], t.mid1Im[h], t.midRe[h], t.midIm[h]);
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
  double settledSteady[kTrackHarmonics];
  double settledSpread[kTrackHarmonics];
  for (int h = 0; h < kTrackHarmonics; ++h) {
    twoPoles(t.kNarrow, t.midRe[h], t.midIm[h], t.narrow1Re[h], t.narrow1Im[h], t.narrowRe[h],
             t.narrowIm[h]);
    twoPoles(t.kSettled, t.narrowRe[h], t.narrowIm[h], t.settled1Re[h], t.settled1Im[h],
             t.settledRe[h], t.settledIm[h]);
    const double eRe = t.narrowRe[h] - t.settledRe[h];
    const double eIm = t.narrowIm[h] - t.settledIm[h];
    t.narrowNoise[h] += t.kNarrowNoise * ((eRe * eRe + eIm * eIm) - t.narrowNoise[h]);
    const double power = t.settledRe[h] * t.settledRe[h] + t.settledIm[h] * t.settledIm[h];
    settledSpread[h] = power + kNoiseWeight * t.narrowNoise[h];
    settledSteady[h] = power / settledSpread[h];
  }
  for (int h = 0; h < kTrackHarmonics; ++h) {
    settledSteady[h] = settledSpread[h] > 0.0 ? settledSteady[h] : 0.0;
  }
  const double fade = t.kKeptFade;
  const double quick = t.lockAge < t.quickTicks && t.presence >= kQuickPresence ? kQuickPace : 1.0;
  const double held = t.lockAge < t.quickTicks || free ? t.kSlow : t.kSlowHeld;
  for (int h = 0; h < kTrackHarmonics; ++h) {
    const double r = steady[h];
    t.lasting[h] += t.kLasting * (r - t.lasting[h]);
    // What the synthesis weighs each harmonic by: the lasting steadiness,
    // let go more slowly, so that a note ringing beside a line for a few
    // seconds does not make the canceller drop the hum it found there.
    rate[h] = t.lasting[h] > t.kept[h] ? 1.0 : fade;
    // The quick pace only until the line's estimate holds it (trusts
    // itself): kept after that, it would follow a partial coming by as
    // closely as the middle estimate does, and the trust then hold it there.
    const double lineQuick = 1.0 + (quick - 1.0) * (1.0 - t.trust[h]);
    pace[h] = ((fastLeft[h] > fastPower[h] ? t.kSlow : held) * lineQuick) * (r * r * r);
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
    twoPoles(pace[h], t.midRe[h], t.midIm[h], t.slow1Re[h], t.slow1Im[h], t.slowRe[h], t.slowIm[h]);
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
  t.lockAge = t.locked ? (t.lockAge < t.quickTicks ? t.lockAge + 1 : t.lockAge) : 0;
  t.presence = presence;
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
    double masked = 0.0;        // the middle estimate's share, for a line a partial masks
    double maskedWeight = 0.0;  // held only while the line may be taken so
    if (t.locked) {
      gain = synthesisWeight(t.kept[h]);
      // The neighbours' lasting steadiness, not what the synthesis keeps of
      // it: that outlasts a hum that has gone, and a note ringing on a line
      // then would be taken for the hum.
      const double below = h > 0 ? t.lasting[h - 1] : 1.0;
      const double above = h + 1 < t.harmonics ? t.lasting[h + 1] : 1.0;
      if (below >= kSynthFull && above >= kSynthFull) {
        // Let go slowly while the line may be taken so: as the partial
        // fades, the narrow estimate moves to the line and the settled one,
        // still holding the partial's onset, lags it, so the steadiness dips
        // just before the line's own slow estimate forms.
        const double settledGain = synthesisWeight(settledSteady[h], kMaskedFrom, kMaskedFull);
        const double last = t.maskedHeld[h];
        maskedWeight =
            settledGain > last ? settledGain : last + t.kMaskedRelease * (settledGain - last);
        masked = maskedWeight > gain ? maskedWeight - gain : 0.0;
      }
    }
    t.maskedHeld[h] = maskedWeight;
    const double aim = guard && fastLeft[h] > fastPower[h] ? fastPower[h] / fastLeft[h] : 1.0;
    t.guardGain[h] += t.kGuard * (aim - t.guardGain[h]);
    // Subtracting an estimate s from what comes in, x, changes the line's
    // power by |s|^2 - 2 Re(x* s), and Re(x* s) is at most |x| |s|: once x
    // holds less than a quarter of s's power, the whole estimate can only
    // add. From kFitMargin above x (a note that stopped was taken in), the
    // line is taken only as far as kFitMargin |x| / |s|. The guitar only
    // raises |x|, so it never holds a line back here.
    double fit = 1.0;
    if (t.fitPower[h] > kFitMargin * kFitMargin * t.fitIn[h]) {
      fit = kFitMargin * std::sqrt(t.fitIn[h] / t.fitPower[h]);
      // and the estimate lets go of what the line no longer holds, at the
      // pace it is measured, rather than come back when the guitar does
      const double shrink = 1.0 - t.kFit * (1.0 - fit);
      t.slowRe[h] *= shrink;
      t.slowIm[h] *= shrink;
      t.slow1Re[h] *= shrink;
      t.slow1Im[h] *= shrink;
    }
    gain *= t.guardGain[h] * fit;
    masked *= t.guardGain[h] * fit;
    double gRe = gain * t.slowRe[h] + masked * t.midRe[h];
    double gIm = gain * t.slowIm[h] + masked * t.midIm[h];
    turn(gRe, gIm, advance.re, advance.im);
    t.synRe[h] = static_cast<float>(gRe);
    t.synIm[h] = static_cast<float>(gIm);
  }
}

// What the jump finder has seen leaning toward a jump, forgotten.
inline void dropJumpEvidence(HumTracker& t) {
  t.jumpCount = 0;
  t.jumpLeaning = 0;
  t.jumpAgree = 0.0;
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
  if (!(sure && std::fabs(jump) > kTwoPi * kJumpMinHz && agreeing >= kJumpFloor * total)) {
    dropJumpEvidence(t);
    return;
  }
  // Taken once most of the weight has agreed at every tick for a while, or
  // on average over a longer while: a partial beside one strong line swings
  // that line's rate in and out of agreement at its beat.
  t.jumpCount = agreeing >= kJumpShare * total ? t.jumpCount + 1 : 0;
  t.jumpAgree += agreeing / total;
  ++t.jumpLeaning;
  const bool steadily = t.jumpCount >= t.jumpTicks;
  const bool onAverage =
      t.jumpLeaning >= t.jumpLong && t.jumpAgree >= kJumpShare * static_cast<double>(t.jumpLeaning);
  if (!(steadily || onAverage)) {
    return;
  }
  // The phase the hum gained: the fundamental's fast estimate against its
  // slow one.
  const double fRe = static_cast<double>(t.fastRe[0]);
  const double fIm = static_cast<double>(t.fastIm[0]);
  const double gainedRe = t.slowRe[0] * fRe + t.slowIm[0] * fIm;  // fast times conj(slow)
  const double gainedIm = t.slowRe[0] * fIm - t.slowIm[0] * fRe;
  const double gained = trackerAtan2(gainedIm, gainedRe);
  const double shift = gained + jump * kJumpLag;
  t.theta += shift;
  t.omega += jump + pushed;
  t.accel = 0.0;
  // The estimates set where the hum now stands against the new phase, as
  // if the follower had been at the new frequency all along, and the
  // detector's average cleared: the loop must not act on the rotation it saw
  // before the jump. The fast ones are turned by what they saw the hum gain,
  // which is less than it gained by their lag; the middle ones had followed
  // only part of the turn, and are set to the slow ones (turned by all of it,
  // they read as a phase error to the detector for half a second, which drove
  // the loop around the new frequency); the narrower ones are turned with
  // the phase.
  Powers back(-shift);
  Powers seen(-gained);
  for (int h = 0; h < kTrackHarmonics; ++h) {
    back.next();
    seen.next();
    double re = static_cast<double>(t.fastRe[h]);
    double im = static_cast<double>(t.fastIm[h]);
    turn(re, im, seen.re, seen.im);
    t.fastRe[h] = static_cast<float>(re);
    t.fastIm[h] = static_cast<float>(im);
    re = static_cast<double>(t.fast1Re[h]);
    im = static_cast<double>(t.fast1Im[h]);
    turn(re, im, seen.re, seen.im);
    t.fast1Re[h] = static_cast<float>(re);
    t.fast1Im[h] = static_cast<float>(im);
    t.midRe[h] = t.mid1Re[h] = t.slowRe[h];
    t.midIm[h] = t.mid1Im[h] = t.slowIm[h];
    turn(t.narrowRe[h], t.narrowIm[h], back.re, back.im);
    turn(t.narrow1Re[h], t.narrow1Im[h], back.re, back.im);
    turn(t.settledRe[h], t.settledIm[h], back.re, back.im);
    turn(t.settled1Re[h], t.settled1Im[h], back.re, back.im);
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
  dropJumpEvidence(t);
  t.jumpWait = t.jumpHold;
}

// A floating-point type's bits: the exponent field, and one in its lowest
// bit.
template <typename T>
struct FloatBits;
template <>
struct FloatBits<float> {
  using Word = std::uint32_t;
  static constexpr Word kExponent = 0x7f800000u;
  static constexpr Word kLowest = 0x00800000u;
};
template <>
struct FloatBits<double> {
  using Word = std::uint64_t;
  static constexpr Word kExponent = 0x7ff0000000000000u;
  static constexpr Word kLowest = 0x0010000000000000u;
};

// Whether any of count values is an infinity or a NaN: their exponent
// field is all ones, and only then does one more in its lowest bit carry
// into the sign bit. Integer work, ORed in any order, so that it runs in
// lanes.
template <typename T>
bool anyNonFinite(const T* a, std::int32_t count) {
  using Bits = FloatBits<T>;
  typename Bits::Word carry = 0;
  for (std::int32_t j = 0; j < count; ++j) {
    typename Bits::Word u;
    std::memcpy(&u, a + j, sizeof u);
    carry |= (u & Bits::kExponent) + Bits::kLowest;
  }
  return (carry >> (8 * sizeof carry - 1)) != 0;
}

// Block end: whether all of the state is finite.
inline bool stateFinite(const HumTracker& t) {
  bool bad = !std::isfinite(t.frameEnergy) || anyNonFinite(t.history, t.taps) ||
             anyNonFinite(t.synth, 2 * t.branch);
  for (const float* a : {t.accRe, t.accIm, t.fastRe, t.fastIm, t.fast1Re, t.fast1Im, t.synRe,
                         t.synIm, t.phRe, t.phIm}) {
    bad = bad || anyNonFinite(a, kTrackHarmonics);
  }
  bad =
      bad || !std::isfinite(t.theta + t.omega + t.accel + t.ringSum + t.shortEnergy + t.longEnergy);
  for (const double* a : {t.slowRe, t.slowIm, t.midRe, t.midIm, t.noise, t.trust, t.offRe, t.offIm,
                          t.offPower, t.narrowRe, t.narrowIm, t.settledRe, t.settledIm,
                          t.narrowNoise, t.maskedHeld, t.fitIn, t.fitPower}) {
    bad = bad || anyNonFinite(a, kTrackHarmonics);
  }
  bad = bad || anyNonFinite(t.jumpRate, kJumpHarmonics) ||
        anyNonFinite(t.lastFastRe, kJumpHarmonics) || anyNonFinite(t.lastFastIm, kJumpHarmonics);
  return !bad;
}

// Once a frame: the fast estimates from the frame's sums, the detector, the
// loop; the demodulating phasor afresh from the phase, and its turn per step.
void endFrame(HumTracker& t) {
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
  const float detSum = sumOverHarmonics(detTerm);

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
  // A jolt of the input's level: the loop coasts for a while.
  const double energy = static_cast<double>(t.frameEnergy);
  t.frameEnergy = 0.0f;
  t.shortEnergy += t.kShortEnergy * (energy - t.shortEnergy);
  if (t.shortEnergy > kJoltRatio * t.longEnergy || kJoltRatio * t.shortEnergy < t.longEnergy) {
    t.coastFrames = t.coastLength;
  }
  t.longEnergy += t.kLongEnergy * (t.shortEnergy - t.longEnergy);
  if (t.coastFrames > 0) {
    --t.coastFrames;
    delta = 0.0;
  }
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
  // The frequency holds until the next frame's end: its turn per step, for
  // the steps, divided once here.
  t.stepTurn = t.omega / t.rateD;
  // The phasors afresh from the phase, with the loop's correction.
  powersOfFast(t.theta - t.omega * t.halfDelay, t.phRe, t.phIm);
}

}  // namespace TRACKER_ISA_NS
