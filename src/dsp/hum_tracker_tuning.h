// The tracker's tuning: its bands, rates and thresholds, shared by the
// set-up (which turns them into coefficients for a rate) and the work at
// each frame and slow tick.
#pragma once

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
// there is followed quickly. Once they hold the hum (not in the first
// kQuickSeconds after it is found or changes its shape, nor while they
// follow freely after a jump), a line that subtracting helps moves at
// kSlowHeldHz, so that less of the guitar reaches it; one it no longer
// helps (the hum's level or shape moved there) at kSlowHz.
constexpr double kFastHz = 3.0;
constexpr double kMidHz = 1.0;
constexpr double kSlowHz = 1.0;
constexpr double kSlowHeldHz = 0.6;
// For kQuickSeconds after hum is found, on ample evidence (its lines' lasting
// steadiness adding up to kQuickPresence harmonics), the slow estimates move
// kQuickPace times as fast: they start from nothing, and the canceller
// removes the hum only as far as they have reached it. Once they hold it
// (each line as far as its estimate trusts itself), the usual pace lets the
// guitar's partials by; and a few steady partials
// of a guitar, taken for hum on scant evidence, are not taken in quickly.
constexpr double kQuickPace = 5.0;
constexpr double kQuickSeconds = 4.0;
constexpr double kQuickPresence = 5.0;
constexpr double kNoiseHz = 1.0;
constexpr double kLastingHz = 0.1;
constexpr double kAlignGain = 0.15;
constexpr double kDetectorClip = 0.1;
// The loop's noise bandwidth: wide enough to follow a grid's drift with no
// lasting phase error (the loop is of third order), narrow enough that the
// guitar moves it little; wider for a while after a jump of the mains is
// taken (below), to take up what is left of it sooner, and of second order
// then.
constexpr double kLoopHz = 1.2;
constexpr double kJumpLoopHz = 1.5;
// An abrupt change of the input's level (a note cut short, a pick's attack,
// the end of a take) jolts every harmonic's fast estimate at once, and the
// detector reads that as a phase error: when the level over the last few tens
// of milliseconds parts from its average over a third of a second by more
// than kJoltRatio either way, the loop coasts on its frequency for
// kCoastSeconds.
constexpr double kShortEnergyHz = 30.0;
constexpr double kLongEnergyHz = 3.0;
constexpr double kJoltRatio = 4.0;
constexpr double kCoastSeconds = 0.05;
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
// The guard against a change of the hum's shape (see the slow tick).
constexpr double kGuardShare = 0.5;
constexpr double kGuardWaitSeconds = 0.03;
constexpr double kGuardSeconds = 1.0;
constexpr double kGuardHz = 5.0;
constexpr int kGuardLines = 10;
// How quickly each line's fit to what comes in is measured: a partial's beat
// against a line more than about two hertz away averages out, and a line whose
// estimate no longer matches the input (a note that stopped beside it, taken
// in while it rang) is let go within a second.
constexpr double kFitHz = 2.0;
// Subtracting an estimate 6 dB or more above what comes in at its line can
// only add to it; the fit takes lines back from this far above (an amplitude
// ratio: 12 dB), leaving room for the input's power to dip as a partial beats
// against the line.
constexpr double kFitMargin = 4.0;
// Once that harm has lasted kReleaseSeconds, the slow estimates let go of
// the old shape (see the slow tick).
constexpr double kReleaseSeconds = 0.3;
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
// kJumpMinHz, for kJumpSeconds (or, with at least kJumpFloor of the weight
// agreeing at each tick, kJumpShare of it on average over
// kJumpLongSeconds), the follower takes it at once: the frequency, and the
// phase the hum gained meanwhile against the slow estimates (the
// fundamental's, seen through its fast estimate, which lags by kJumpLag, the
// delay of its two one-poles).
constexpr double kJumpHz = 7.0;
constexpr double kJumpMinHz = 0.1;
constexpr double kJumpSpread = 0.5;
constexpr double kJumpShare = 0.7;
constexpr double kJumpSeconds = 0.15;
constexpr double kJumpFloor = 0.5;
constexpr double kJumpLongSeconds = 0.25;
constexpr double kJumpHoldSeconds = 1.0;
constexpr double kJumpLag = 2.0 / (kTwoPi * kFastHz);
constexpr double kJumpSettleSeconds = 2.0;
// A harmonic is subtracted in full from this lasting steadiness up, and not
// at all below the first figure (a smooth step between).
constexpr double kSynthFrom = 0.1;
constexpr double kSynthFull = 0.3;
// A line a louder partial a few hertz away masks (a chord ringing as the
// hum starts or appears) never stands steady in the fast estimates, so the
// slow one does not form there until the partial has gone. Narrower
// estimates see past the partial: the middle one through two more one-poles
// (kNarrowHz), and those through two more (kSettledHz); how still the
// settled estimate stands against the narrow one (its noise averaged at
// kNarrowNoiseHz) is a second steadiness. A line whose neighbours both stand
// steady in full is subtracted from its middle estimate (which follows the
// line as it forms, where the settled one still holds the chord's onset) as
// far as that second steadiness, counted from kMaskedFrom and in full from
// kMaskedFull, goes beyond its own: half the lasting one's figures, so that
// the line is taken sooner (the neighbours' rule keeps lines that hold only
// guitar out, not this).
constexpr double kMaskedFrom = 0.05;
constexpr double kMaskedFull = 0.15;
// That weight rises at once and is let go at kMaskedReleaseHz.
constexpr double kMaskedReleaseHz = 0.1;
constexpr double kNarrowHz = 0.6;
constexpr double kSettledHz = 0.3;
constexpr double kNarrowNoiseHz = 0.5;
// Keeps the detector's normalisation finite with no hum at all, where the
// weighted sum of signal-to-noise ratios is near zero: the loop then holds.
constexpr double kDetectorRegularisation = 1.0;
constexpr double kNoiseFloor = 1e-20;
constexpr float kFastFloor = 1e-30f;
constexpr double kSlowFloor = 1e-200;
