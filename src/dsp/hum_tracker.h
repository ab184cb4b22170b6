// The hum filter's tracking mode: a canceller that follows the mains.
//
// Real mains is never exactly on 50 or 60 Hz, and a pickup near a
// transformer or a dimmer hears dozens of its harmonics. This stage follows
// the mains' phase and frequency with one loop fed by all the harmonics at
// once, estimates each harmonic's amplitude and phase slowly, and subtracts
// the hum it predicts. Nothing is notched: where the guitar plays beside a
// mains line, it is left alone.
//
// Layout of the work, per input sample n:
//   - the input is low-passed and decimated by `decim` (to 6-12 kHz: the
//     harmonics it follows lie below 2.45 kHz), by a polyphase FIR;
//   - at each decimated step, every harmonic h is demodulated at h times
//     the followed phase and summed over the frame, and the hum predicted
//     one FIR delay ahead is synthesised;
//   - at each frame (8 steps, about 750 Hz), each harmonic's sum is
//     low-passed (a few hertz: the fast estimate); the loop's phase detector
//     weighs every harmonic by how clearly the hum stands out of the guitar
//     there, and the loop moves the phase;
//   - at each slow tick (about 80 Hz), the slow estimates (the canceller's
//     own, a fraction of a hertz wide) and the detector's weights update,
//     and the lowest harmonics' turn rates are watched for a jump of the
//     mains, which the follower then takes at once;
//   - the synthesised hum is interpolated back to the input rate by the
//     same FIR and subtracted.
// Every step happens on a fixed sample count from the first sound after the
// last reset, so the output does not depend on how a host cuts its blocks,
// nor on how long it ran it on silence first; only IEEE
// additions, subtractions, multiplications and divisions (and a sine and an
// angle kept in this file) are used, in a fixed order, so it is the same on every
// machine.
#pragma once

#include <cstdint>

#include "biquad.h"

constexpr int kTrackHarmonics = 40;  // harmonics followed, fundamental included
constexpr int kTrackLanes = 8;       // fixed partial sums: the same order everywhere
static_assert(kTrackHarmonics == 5 * kTrackLanes, "the harmonics' sums run five to a lane");
// Decimated steps summed per frame: the frame's sum is a boxcar whose nulls,
// at multiples of the frame rate, fall where the other harmonics' beats
// would alias onto a harmonic's own.
constexpr std::int32_t kTrackFrameSteps = 8;
constexpr int kTrackMaxDecim = 64;
constexpr int kTrackMaxTaps = 2048;  // FIR length, a multiple of the decimation
constexpr int kTrackMaxPhase = 64;   // taps per polyphase branch
constexpr int kTrackMaxRing = 1024;  // a few mains periods at the decimated rate
constexpr int kJumpHarmonics = 8;    // the lowest harmonics, watched for a jump of the mains

struct HumTracker {
  // ---- Set by humTrackerInit for a rate and a nominal mains frequency.
  double rate;
  bool wide;                  // run the tracker in AVX2
  double rateD;               // rate / decim
  double nominal;             // 50 or 60
  std::int32_t decim;         // 1 (no FIR) to kTrackMaxDecim
  std::int32_t branch;        // taps per polyphase branch
  std::int32_t taps;          // decim * branch
  std::int32_t harmonics;     // followed harmonics, 0 when the rate has room for none
  std::int32_t tick;          // frames per slow update
  std::int32_t ringLength;    // frames per mains period (the detector's average)
  std::int32_t warmSteps;     // decimated steps before the loop moves
  double halfDelay;           // the FIR's delay, seconds
  double kFast;               // the fast estimates' one-pole coefficient (frame rate)
  double kMid;                // the middle estimates' (tick rate)
  double kSlow;               // the slow estimates' (tick rate)
  double kSlowHeld;           // and once they hold the hum
  double kNoise;              // the noise estimates' (tick rate)
  double kLasting;            // the lasting steadiness's (tick rate)
  double kKeptFade;           // the synthesis weight's fade (tick rate)
  double kLeak;               // the pull back to the nominal while no hum is found (tick rate)
  double kNarrow;             // the narrow estimates' (tick rate)
  double kSettled;            // the settled estimates'
  double kNarrowNoise;        // and the settled estimates' noise
  double kMaskedRelease;      // a masked line's weight let go (tick rate)
  double kTrust;              // the trust's rise (tick rate)
  double kOffset;             // the offsets' average (tick rate)
  std::int32_t freeHold;      // frames after a jump in which the slow estimates move freely
  double kJump;               // the jump finder's smoothing (tick rate)
  std::int32_t jumpTicks;     // ticks a jump must stand before it is taken
  std::int32_t jumpLong;      // or stand on average, if not at each
  std::int32_t jumpHold;      // ticks after a jump before another is looked for
  std::int32_t jumpSettle;    // ticks of ample evidence before a jump may be taken
  double kShortEnergy;        // the input level's short average (frame rate)
  double kLongEnergy;         // and its long one
  std::int32_t coastLength;   // frames the loop coasts after a jolt of the level
  double loop[3];             // the loop's gains, per second
  double jumpLoop[3];         // the same, wider, for a while after a jump
  double omegaMin, omegaMax;  // the range it follows, rad/s
  float fir[kTrackMaxTaps];   // low-pass, unity gain at DC
  // The same taps times decim for the interpolator, laid out so that one
  // synthesised sample's terms for all `decim` outputs it feeds lie side by
  // side: [k * lanes + p] for branch p (lanes: decim rounded up to eight).
  float poly[kTrackMaxTaps + 8 * kTrackMaxPhase];
  std::int32_t lanes;

  // ---- Streaming state.
  float history[2 * kTrackMaxTaps];  // input, twice over, for contiguous reads
  std::int32_t historyPos;
  std::int32_t sub;                 // input samples since the last decimated step
  float synth[2 * kTrackMaxPhase];  // synthesised hum, newest first from synthPos, twice over
  float group[kTrackMaxDecim + 8];  // the interpolated hum for this step's `decim` outputs
  std::int32_t synthPos;
  std::int64_t steps;  // decimated steps since the follower started
  // Nothing but exact zeros heard since the last restart: the follower stands
  // still, so that silence a host runs ahead of the signal (a DAW's pre-roll,
  // a player loaded before the recording) neither turns its phase nor moves
  // its grid, and a signal comes out the same behind any length of it.
  bool waiting;
  std::int32_t framePos;
  std::int32_t tickPos;
  bool locked;      // hum found: the canceller subtracts it
  double theta;     // followed phase, radians in [-pi, pi)
  double omega;     // followed frequency, rad/s
  double stepTurn;  // omega / rateD, the phase's turn per step: set with omega
  double accel;     // its rate of change, rad/s^2
  // The demodulating phasor's powers e^(i h (theta - omega halfDelay)) and
  // their turns per decimated step e^(i h omega / rateD), h = 1..40, set at
  // each frame's end.
  float phRe[kTrackHarmonics], phIm[kTrackHarmonics];
  float stepRe[kTrackHarmonics], stepIm[kTrackHarmonics];
  double ring[kTrackMaxRing];
  double ringSum;
  std::int32_t ringPos;
  // Per harmonic (index h - 1). The fast estimates (a few hertz wide) are
  // the detector's view; the middle ones (about a hertz) the reference it
  // compares with, and what the slow ones (the canceller's) are fed from;
  // `noise` is how much the fast view moves about the middle one, `lasting`
  // how clearly the harmonic stands still against that, over seconds.
  float accRe[kTrackHarmonics], accIm[kTrackHarmonics];  // this frame's demodulated input
  float fast1Re[kTrackHarmonics], fast1Im[kTrackHarmonics];
  float fastRe[kTrackHarmonics], fastIm[kTrackHarmonics];
  double mid1Re[kTrackHarmonics], mid1Im[kTrackHarmonics];
  double midRe[kTrackHarmonics], midIm[kTrackHarmonics];
  double slow1Re[kTrackHarmonics], slow1Im[kTrackHarmonics];
  double slowRe[kTrackHarmonics], slowIm[kTrackHarmonics];
  double noise[kTrackHarmonics];
  double lasting[kTrackHarmonics];
  // Narrower still, from the middle estimates: how still a line stands
  // beside a louder partial a few hertz away, as the settled estimate moves
  // about the narrow one.
  double narrow1Re[kTrackHarmonics], narrow1Im[kTrackHarmonics];
  double narrowRe[kTrackHarmonics], narrowIm[kTrackHarmonics];
  double settled1Re[kTrackHarmonics], settled1Im[kTrackHarmonics];
  double settledRe[kTrackHarmonics], settledIm[kTrackHarmonics];
  double narrowNoise[kTrackHarmonics];
  double maskedHeld[kTrackHarmonics];  // a masked line's weight, let go slowly
  double kept[kTrackHarmonics];  // the lasting steadiness, let go slowly: the synthesis weight
  // How far each slow estimate has earned the right to hold against a middle
  // one that disagrees with it (a note beside the line), and the middle's
  // offset from it, averaged and its power: an offset that stands still is
  // the hum itself changing, which the estimate must follow.
  double trust[kTrackHarmonics];
  double offRe[kTrackHarmonics], offIm[kTrackHarmonics], offPower[kTrackHarmonics];
  std::int32_t sinceJump;  // frames since a jump of the mains was taken
  // The decimated input's energy over this frame, its averages over a few
  // tens of milliseconds and over a third of a second, and the frames left in
  // which the loop coasts since the two last parted.
  float frameEnergy;
  double shortEnergy, longEnergy;
  std::int32_t coastFrames;
  // Ticks of ample evidence for hum so far, up to jumpSettle: a jump may be
  // taken once it is reached.
  std::int32_t sureTicks;
  std::int32_t lockAge;     // slow ticks since hum was found (or changed), up to quickTicks
  std::int32_t quickTicks;  // how long the slow estimates may follow quickly then
  double presence;          // the evidence for hum at the last tick, in harmonics
  // Ticks in a row the slow estimates would have added to most of the hum,
  // and ticks left in which each line is subtracted only as far as it helps.
  std::int32_t harmedTicks;
  std::int32_t guardTicks;
  std::int32_t guardWait, guardHold;
  std::int32_t releaseTicks;  // ticks of harm after which the estimates let go
  double guardGain[kTrackHarmonics];
  double kGuard;
  // What comes in at each line (its fast estimate's power) and the slow
  // estimate's power, smoothed alike.
  double fitIn[kTrackHarmonics];
  double fitPower[kTrackHarmonics];
  double kFit;
  // The lowest harmonics' fast estimates at the last tick, and the rate each
  // turns at since (rad/s at the fundamental, smoothed); ticks the rates
  // have agreed on a jump, and ticks to wait after one; ticks they have
  // leant toward one, and the agreeing shares summed over those.
  double lastFastRe[kJumpHarmonics], lastFastIm[kJumpHarmonics];
  double jumpRate[kJumpHarmonics];
  std::int32_t jumpCount;
  std::int32_t jumpWait;
  std::int32_t jumpLeaning;
  double jumpAgree;
  // Refreshed at each slow tick: the detector's weighted conjugates of the
  // middle estimates, and the synthesis coefficients (slow estimate, its
  // weight in the synthesis, and the phase advance across both FIRs).
  float detRe[kTrackHarmonics], detIm[kTrackHarmonics];
  float synRe[kTrackHarmonics], synIm[kTrackHarmonics];
  // The notch at the fundamental the chain runs after the tracker: the hum
  // filter's own first section's design, with a state of its own, so that
  // the notches, switched in again, carry on from where they stopped.
  Biquad fundamental;
};

// Instantiation context: designs the FIR and clears the state. `mains` is 50
// or 60.
void humTrackerInit(HumTracker& t, double rate, float mains);

// The tracker starts afresh (the nominal mains changed, or it comes back
// into the chain): estimates, follower and the FIR's history cleared.
void humTrackerRestart(HumTracker& t, float mains);

// A low-pass blend ahead of the tracker, worked in the tracker's own loop:
// its recursion, latency-bound on its own, then overlaps the tracker's work.
// The same operations as the cascade's reference kernel on that one section:
// x = in * inputGain; x = (x + (section(x) - x) * mix) * gain.
struct TrackerLead {
  Biquad* section;
  float inputGain;
  float mix;
  float gain;
};

// Runs n samples, after the lead if one is given; in and out may be the
// same buffer.
void humTrackerRun(HumTracker& t, const float* in, float* out, std::uint32_t n,
                   const TrackerLead* lead = nullptr);

// Block end: state that a non-finite sample reached starts again from the
// nominal (the FIR's history cleared), and estimates decayed toward
// silence become exact zeros.
void humTrackerSettle(HumTracker& t);

// The frequency followed, Hz; 0 when the rate leaves no harmonic to follow.
float humTrackerFrequency(const HumTracker& t);

// Inside the tracker: its AVX2 build (the per-sample work, the frames and
// the slow ticks, the block end's check that the state is finite).
void humTrackerRunAvx2(HumTracker& t, const float* in, float* out, std::uint32_t n,
                       const TrackerLead* lead);
bool humTrackerFiniteAvx2(const HumTracker& t);

// Deterministic sine and cosine of x (any finite x), to about one unit in
// the last place: the same bits on every machine, unlike the C library's.
void trackerSinCos(double x, double& s, double& c);

// Deterministic atan2(y, x) in [-pi, pi], to a few units in the last place;
// 0 for (0, 0) and for anything not finite.
double trackerAtan2(double y, double x);
