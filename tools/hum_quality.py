#!/usr/bin/python3
"""How well a hum stage removes mains hum and buzz, and what it does to the guitar.

Guitar takes (mono, peak -6 dBFS) go through a processor with and without
synthetic mains interference, every case at 44.1 and 48 kHz with 50 and 60 Hz
mains, each interference seeded and so the same from run to run:

  buzz              harmonics 1-40 of the mains, 1/h, odd ones 6 dB above even
                    ones, -35 dBFS RMS in all, each with a seeded random phase;
                    the mains wanders as mains + W sin(2 pi 0.05 t), W = 0.02 Hz
  buzz, wandering   the same with W = 0.05 Hz
  buzz, random walk the buzz on mains that drifts at random within +-0.05 Hz,
                    by at most 0.02 Hz a second (a smoothed random rate of
                    change, reflected at the bounds)
  buzz, level swing the buzz (W = 0.02 Hz) swinging +-6 dB, sinusoidally in dB,
                    the swing's rate gliding from 0.1 to 0.5 Hz over the take
  hum               the demo's hum (harmonics 1-6) exactly on frequency, with
                    W = 0.05 Hz, on the random walk, and with W = 0.2 Hz
  hum, decaying     the hum (W = 0.05 Hz) falling 10 dB/s for 2 s with a note,
                    back up over 0.3 s, every 4 s
  ..., 2 s before   the buzz and the hum with W = 0.05 Hz, starting 2 s before
                    the guitar comes in (the take with 2 s of silence in front)
  step              the buzz, whose mains steps up by 0.3 Hz mid-take (phase
                    continuous): how long until removal is back to 20 dB A
  onset             5 s of guitar alone, then the buzz fades in over 20 ms: how
                    long until removal reaches 20 dB A
  switch            the buzz changing its shape mid-take, as when the player
                    switches pickups: even harmonics 6 dB up, odd ones 3 dB
                    down, 2 dB less in all, every harmonic at another phase

Removal is the interference's level going in minus the level of

    (output for guitar + interference) - (output for the guitar alone),

each output from a fresh instance, both over the part after the settle time.
That difference holds whatever is left of the interference, and also every
change the interference makes to how the guitar is processed (a tracker pulled
off by the buzz, a filter that moves onto a note): all of it counts as
interference left, so for a stage that adapts the figure can only understate
removal, never flatter it. What the stage does to the guitar alone is a
separate check: third-octave bands of the guitar out against in.

Levels are A-weighted (the IEC 61672 A curve as an exact magnitude weighting,
one long FFT per signal), because a buzz's upper harmonics are what the ear
hears of it; the unweighted figure is printed beside it.

The takes come in two sets, whose figures are printed apart and never pooled
together, so that what the stage is tuned on cannot flatter what judges it:

  held-out  guitar_takes.held_out(): 8 rendered takes (11.8-13.6 s), each
            played on its own. Per case and mains: all runs pooled (the
            energy in against all that is left), the median run and the
            worst take (its two rates pooled); the median and slowest times
            back to 20 dB A.
  tuning    guitar_takes.tuning(): 5 rendered takes, the same table; and the
            sonic-pi takes (CC0, Debian's sonic-pi-samples): guit_harmonics
            and guit_e_slide three times over (so that every case sees a whole
            swing of the wander), with each figure take by take and line by
            line, and the own 60 Hz hum of guit_e_fifths and guit_em9 (which
            is why they carry no synthetic cases: its 300 Hz line is also the
            sixth harmonic of 50 Hz mains) in narrow bands around its lines,
            before and after.

Per set: the guitar alone, each take's largest third-octave change; the runs
that add, where within +-1.5 Hz of a mains harmonic 1-40 what is left holds
over 10 dB more than the interference put there and is above -40 dBFS; and
with --mode both the runs where tracking removes less than the notches while
the notches remove under 40 dB A.

A note stopping beside a line: a -26 dBFS sine from 2 to 6 s over the hum
exactly on frequency, alone and over 10 s of the clean sonic-pi takes, at
349.6 and 249.6 Hz with 50 Hz mains, 659.7 and 300.4 Hz with 60 Hz: within
+-1 Hz of it, out(hum + note) - out(hum), 1 s and 3 s after it stops, in dB
under the note (larger is better; a stage that took the note for a line and
keeps subtracting or ringing it reads little).

Runs go to a pool of two workers; the full tables take about a minute a mode
with the built module.

The processor is any callable process(x, rate, mains, mode) -> y on float32
arrays, so that a prototype in Python can be measured as the module is. The
default runs the built module through tools/utility_host, a fresh instance
per signal; mode "notches" is the hum filter as it is (hum_on, hum_50hz),
"tracking" adds hum_track=1. Two stand-ins measure the measure: "ideal"
subtracts the exact interference; "follower-bound" cancels every line at the
exact mains of each mix it knows and the guitar alone at the nominal mains,
as any follower must (there is no mains in it to follow), so it reads the
most a stage that follows the mains with linear line cancellers can score
here (follower_for says why).

--quick is a few seconds for ctest: the buzz, the step, the onset, the buzz
on the random walk and swinging, and the 659.7 Hz note stopping over hum alone,
each with a limit that makes the tool exit 1 below it.

Usage: hum_quality.py [--mode notches|tracking|both] [--set held-out|tuning|all]
         [--quick [--min-removal DB] [--min-step-removal DB] [--min-onset-removal DB]
                  [--min-walk-removal DB] [--min-swing-removal DB] [--min-ghost-db DB]]
         [--json FILE] [--seed N] [--settle S] [--plugin SO] [--host UTILITY_HOST]
         [--processor utility_host|pass-through|ideal|follower-bound|FILE.py:FUNCTION]
"""
import argparse
import hashlib
import importlib.machinery
import json
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import time
import types
from fractions import Fraction
from functools import lru_cache

import numpy as np
import scipy.fft
import scipy.signal
import soundfile as sf

import guitar_takes

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_HOST = os.path.join(ROOT, "build", "release", "tools", "utility_host")
DEFAULT_PLUGIN = os.path.join(ROOT, "build", "release", "lv2", "calvorine_utility.lv2",
                              "calvorine_utility.so")

SAMPLES = "/usr/share/sonic-pi/samples"
TAKES_RATE = 44100
ALL_TAKES = ["guit_e_fifths", "guit_em9", "guit_harmonics", "guit_e_slide"]
CLEAN_TAKES = ["guit_harmonics", "guit_e_slide"]
CLEAN_ROUNDS = 3
HUMMING_TAKES = ["guit_e_fifths", "guit_em9"]
GAP_SECONDS = 0.25
GUITAR_PEAK = 0.5  # -6 dBFS

RATES = [44100, 48000]
MAINS = [50, 60]
MODES = ["notches", "tracking"]
SEED = 20250113

BUZZ_HARMONICS = 40
BUZZ_ODD_DB = 6.0
BUZZ_DBFS = -35.0
# The demo's hum (scripts/demo.py), harmonics 1-6.
HUM_AMPS = [0.01, 0.0032, 0.0048, 0.0016, 0.0024, 0.0012]
WANDER_RATE = 0.05  # Hz: one swing of the mains every 20 s
STEP_HZ = 0.3
ONSET_SECONDS = 5.0
ONSET_RAMP = 0.02
# The buzz after a pickup switch: dB on its even and odd harmonics and in all.
SWITCH_EVEN_DB = 6.0
SWITCH_ODD_DB = -3.0
SWITCH_LEVEL_DB = -2.0
# The mains drifting at random: its offset stays within +-WALK_HZ and moves by
# at most WALK_RATE Hz a second, a random rate of change every WALK_KNOT s.
WALK_HZ = 0.05
WALK_RATE = 0.02
WALK_KNOT = 2.0
# The buzz's level swinging +-SWING_DB, sinusoidal in dB, its swing rate gliding
# from the first to the second over the take.
SWING_DB = 6.0
SWING_RATES = (0.1, 0.5)
# Hum that decays with a note and comes back: held for the rest of each
# period, falling DECAY_DB_PER_S for DECAY_SECONDS, back up over DECAY_RISE.
DECAY_PERIOD = 4.0
DECAY_SECONDS = 2.0
DECAY_DB_PER_S = 10.0
DECAY_RISE = 0.3
HUM_FIRST_SECONDS = 2.0  # interference alone before the guitar comes in

SETTLE_SECONDS = 3.0
WINDOW_SECONDS = 0.5
HOP_SECONDS = 0.1
THRESHOLD_DB = 20.0
QUICK_SECONDS = 10.0
QUICK_STEP_SPAN = 2.0  # s after the quick step over which its removal is taken
QUICK_ONSET_RATE = 44100  # the other rate
QUICK_ONSET_SPAN = (2.0, 5.0)  # s after the quick onset over which its removal is taken
QUICK_OTHER_MAINS = 50  # the quick buzz again, and the step over the whole clean takes
QUICK_GHOST = (60, 659.7)  # mains, note (Hz): 0.3 Hz from the 11th harmonic

# A note stopping beside a line: a sine of peak GHOST_DBFS over the hum, and
# how far what the output holds within +-GHOST_HALF_BAND Hz of it stays under
# it GHOST_AFTER s after it stops (1 s Hann windows centred there).
GHOST_DBFS = -26.0
GHOST_SPAN = (2.0, 6.0)
GHOST_RAMP = 0.005
GHOST_SECONDS = 10.0
GHOST_AFTER = (1.0, 3.0)
GHOST_WINDOW = 1.0
GHOST_HALF_BAND = 1.0
# (mains, note Hz): 0.4 Hz under harmonic 7 and 5 of 50 Hz, 0.3 Hz under
# harmonic 11 and 0.4 Hz over harmonic 5 of 60 Hz.
GHOST_NOTES = [(50, 349.6), (60, 659.7), (50, 249.6), (60, 300.4)]

# A run adds when, within +-ADD_HALF_WIDTH Hz of any mains harmonic 1-40,
# what is left holds ADD_ABOVE_DB more than the interference put there and is
# above ADD_FLOOR_DBFS.
ADD_HALF_WIDTH = 1.5
ADD_ABOVE_DB = 10.0
ADD_FLOOR_DBFS = -40.0
COMPARE_BELOW_DB = 40.0  # tracking against the notches where these remove less
WORKERS = 2  # the machine's two cores
SET_NAMES = ["held-out", "tuning"]

# The takes' own hum: harmonics of 60 Hz, measured after the first 2 s in
# +-0.5 Hz around each line (a 14 s Hann window resolves 0.15 Hz).
REAL_MAINS = 60
REAL_SKIP = 2.0
LINE_HALF_WIDTH = 0.5
LINE_SEARCH_HZ = 0.5
LINE_TRACK_HZ = 0.2
LINE_MIN_ABOVE_DB = 12.0
LEFT_LINE_HALF_WIDTH = 1.5  # Hz: the hum's sixth harmonic wanders +-1.2 Hz
LEFT_LINES_SHOWN = 3

BAND_SPAN_DB = 30.0
# IEC 61260 third-octave bands: exact midbands 1000 * 10^(k/10), nominal labels.
THIRD_OCTAVES = [(1000.0 * 10 ** (k / 10), label) for k, label in zip(range(-16, 13), [
    "25", "31.5", "40", "50", "63", "80", "100", "125", "160", "200", "250", "315", "400",
    "500", "630", "800", "1k", "1.25k", "1.6k", "2k", "2.5k", "3.15k", "4k", "5k", "6.3k",
    "8k", "10k", "12.5k", "16k"])]

# IEC 61672 A weighting: the analogue poles, normalised to 0 dB at 1 kHz.
A_POLES = (20.598997, 107.65265, 737.86223, 12194.217)


class ProcessorError(Exception):
    pass


# ---- levels and weighting

def db(ms):
    return 10.0 * np.log10(np.asarray(ms, dtype=np.float64) + 1e-30)


def level_db(x):
    return float(db(np.mean(np.square(x))))


def _a_gain_raw(f):
    f1, f2, f3, f4 = A_POLES
    f2s = np.square(np.asarray(f, dtype=np.float64))
    return (f4 ** 2 * f2s ** 2) / ((f2s + f1 ** 2) * np.sqrt((f2s + f2 ** 2) * (f2s + f3 ** 2))
                                   * (f2s + f4 ** 2))


def a_gain(f):
    """The A weighting's linear gain at frequencies f (Hz)."""
    return _a_gain_raw(f) / _a_gain_raw(1000.0)


def a_weighting_db(f):
    return 20.0 * np.log10(a_gain(f) + 1e-300)


def a_weight(x, rate):
    """x weighted by the A curve's magnitude, with no phase change: one FFT
    over the whole signal, padded by a second so that nothing wraps round
    into it."""
    n = len(x)
    nfft = scipy.fft.next_fast_len(n + rate)
    spectrum = scipy.fft.rfft(np.asarray(x, dtype=np.float64), nfft)
    spectrum *= a_gain(scipy.fft.rfftfreq(nfft, 1.0 / rate))
    return scipy.fft.irfft(spectrum, nfft)[:n]


# ---- material

@lru_cache(maxsize=None)
def take(name, rate):
    """One take, mixed to mono, at rate (polyphase resampling); read once,
    and not to be written to."""
    data, r = sf.read(os.path.join(SAMPLES, name + ".flac"), dtype="float64", always_2d=True)
    if r != TAKES_RATE:
        raise SystemExit("%s: %d Hz, expected %d" % (name, r, TAKES_RATE))
    x = data.mean(axis=1)
    if rate != r:
        ratio = Fraction(rate, r)
        x = scipy.signal.resample_poly(x, ratio.numerator, ratio.denominator)
    x.setflags(write=False)
    return x


def guitar(names, rate, rounds=1):
    """The takes in turn, 0.25 s apart, peak -6 dBFS."""
    gap = np.zeros(int(GAP_SECONDS * rate))
    parts = []
    for _ in range(rounds):
        for name in names:
            parts += [take(name, rate), gap]
    g = np.concatenate(parts[:-1])
    return g * (GUITAR_PEAK / np.max(np.abs(g)))


def take_spans(names, rate, rounds=1):
    """Where each take lies in guitar(names, rate, rounds): (name, first,
    end) in samples, a take played in several rounds once per round."""
    spans, at = [], 0
    for _ in range(rounds):
        for name in names:
            end = at + len(take(name, rate))
            spans.append((name, at, end))
            at = end + int(GAP_SECONDS * rate)
    return spans


def takes_for(mains):
    """The takes of the synthetic cases, and how many rounds of them: the two
    takes free of hum of their own, three times over, with either mains."""
    return CLEAN_TAKES, CLEAN_ROUNDS


def guitar_for(rate, mains):
    names, rounds = takes_for(mains)
    return guitar(names, rate, rounds)


def mains_phase(n, rate, mains, wander, step_at=None, step_hz=STEP_HZ):
    """The phase (radians) of mains whose frequency is mains + wander *
    sin(2 pi 0.05 t), stepping by step_hz at step_at (s) if given."""
    t = np.arange(n) / rate
    swing = wander * (1.0 - np.cos(2 * np.pi * WANDER_RATE * t)) / (2 * np.pi * WANDER_RATE)
    theta = mains * t + swing
    if step_at is not None:
        theta += step_hz * np.maximum(t - step_at, 0.0)
    return 2 * np.pi * theta


def harmonics(theta, rate, mains, amps, phases):
    """sum of amps[h-1] sin(h theta + phases[h-1]); harmonics at or above
    Nyquist are left out."""
    out = np.zeros(len(theta))
    for h, (a, p) in enumerate(zip(amps, phases), start=1):
        if h * mains < rate / 2:
            out += a * np.sin(h * theta + p)
    return out


def random_phases(seed, model, count):
    return np.random.default_rng([seed, model]).uniform(0, 2 * np.pi, count)


def buzz_amps(rate, mains):
    h = np.arange(1, BUZZ_HARMONICS + 1)
    amps = np.where(h % 2 == 1, 10 ** (BUZZ_ODD_DB / 20), 1.0) / h
    amps[h * mains >= rate / 2] = 0.0
    return amps * (10 ** (BUZZ_DBFS / 20) / np.sqrt(np.sum(amps ** 2) / 2))


def buzz(n, rate, mains, wander, seed, step_at=None):
    theta = mains_phase(n, rate, mains, wander, step_at)
    return harmonics(theta, rate, mains, buzz_amps(rate, mains),
                     random_phases(seed, 0, BUZZ_HARMONICS))


def switched(buzz_before, n, rate, mains, wander, seed, at):
    """buzz_before until at (s), then the buzz in its other shape."""
    h = np.arange(1, BUZZ_HARMONICS + 1)
    amps = buzz_amps(rate, mains) * 10 ** (
        (np.where(h % 2 == 0, SWITCH_EVEN_DB, SWITCH_ODD_DB) + SWITCH_LEVEL_DB) / 20)
    after = harmonics(mains_phase(n, rate, mains, wander), rate, mains, amps,
                      random_phases(seed, 2, BUZZ_HARMONICS))
    return np.where(np.arange(n) / rate < at, buzz_before, after)


def hum(n, rate, mains, wander, seed, theta=None):
    if theta is None:
        theta = mains_phase(n, rate, mains, wander)
    return harmonics(theta, rate, mains, HUM_AMPS, random_phases(seed, 1, len(HUM_AMPS)))


def buzz_on(theta, rate, mains, seed):
    """The buzz on mains of phase theta."""
    return harmonics(theta, rate, mains, buzz_amps(rate, mains),
                     random_phases(seed, 0, BUZZ_HARMONICS))


def fold(u, bound):
    """u reflected back into [-bound, bound] at each bound, as often as it
    takes: the path keeps the size of its slope."""
    return np.abs(np.mod(u - bound, 4 * bound) - 2 * bound) - bound


def walk_offset(n, rate, seed, bound=WALK_HZ, most=WALK_RATE, knot=WALK_KNOT):
    """The offset (Hz) of mains drifting as a bounded random walk: its rate of
    change is a random value within +-most every knot seconds, cosine-
    interpolated between them (so never beyond them), integrated in closed
    form and reflected at +-bound."""
    rng = np.random.default_rng([seed, 3])
    start = rng.uniform(-bound, bound)
    t = np.arange(n) / rate
    knots = rng.uniform(-most, most, int(n / rate / knot) + 2)
    k = np.floor(t / knot).astype(int)
    s = t / knot - k
    a, b = knots[k], knots[k + 1]
    at_knot = np.concatenate([[0.0], np.cumsum(knot * (knots[:-1] + knots[1:]) / 2)])
    u = start + at_knot[k] + knot * (a * s + (b - a) * (s - np.sin(np.pi * s) / np.pi) / 2)
    return fold(u, bound)


def walk_phase(n, rate, mains, seed):
    """The phase (radians) of mains whose offset is walk_offset: the offset
    integrated by the trapezoid rule, which is exact for the straight pieces
    of the path between two samples and off by under 1e-12 cycles at a
    reflection."""
    d = walk_offset(n, rate, seed)
    drift = np.concatenate([[0.0], np.cumsum(d[1:] + d[:-1]) / (2.0 * rate)])
    return 2 * np.pi * (mains * np.arange(n) / rate + drift)


def swing_gain(n, rate, seed, depth=SWING_DB, rates=SWING_RATES):
    """A gain swinging +-depth dB, sinusoidally in dB, its rate gliding
    linearly from rates[0] to rates[1] Hz over the n samples."""
    t = np.arange(n) / rate
    span = max(n / rate, 1e-9)
    start = np.random.default_rng([seed, 4]).uniform(0, 2 * np.pi)
    phi = 2 * np.pi * (rates[0] * t + (rates[1] - rates[0]) * t * t / (2 * span)) + start
    return 10 ** (depth * np.sin(phi) / 20)


def decay_gain(n, rate, period=DECAY_PERIOD, fall=DECAY_SECONDS, slope=DECAY_DB_PER_S,
               rise=DECAY_RISE):
    """A gain held at 0 dB, then falling slope dB/s for fall seconds and
    rising back (linearly in dB) over rise seconds, every period seconds."""
    u = np.mod(np.arange(n) / rate, period) - (period - fall - rise)
    depth = slope * fall
    gain_db = np.where(u < 0, 0.0, np.where(u < fall, -slope * u,
                                            -depth * (1 - (u - fall) / rise)))
    return 10 ** (gain_db / 20)


def onset_gate(n, rate, at=ONSET_SECONDS, ramp=ONSET_RAMP):
    t = np.arange(n) / rate
    u = np.clip((t - at) / ramp, 0.0, 1.0)
    return 0.5 - 0.5 * np.cos(np.pi * u)


class Case:
    """A guitar, the interference added to it, and the time from which the
    interference changes (the step, the onset), if any. The interference is
    made when first asked for (make(), if given) and can be let go with
    drop(), so that a run holds one case's signals at a time."""

    def __init__(self, key, label, g, interference=None, event=None, settle_from=0.0,
                 make=None, theta=None, lines=None):
        self.key, self.label = key, label
        self.guitar, self._interference, self._make = g, interference, make
        self.event = event
        self.settle_from = settle_from
        self.theta = theta  # make() of the mains phase the interference rides on
        self.lines = lines or BUZZ_HARMONICS  # the harmonics it has

    @property
    def interference(self):
        if self._interference is None:
            self._interference = self._make()
        return self._interference

    def drop(self):
        if self._make is not None:
            self._interference = None


def hum_first(g, rate):
    """g with HUM_FIRST_SECONDS of silence in front, for the interference to
    play alone before the guitar comes in."""
    return np.concatenate([np.zeros(int(HUM_FIRST_SECONDS * rate)), g])


def cases_on(g, rate, mains, seed):
    """Every synthetic case on guitar g (the hum-first ones on g with silence
    in front)."""
    n = len(g)
    first = hum_first(g, rate)
    m = len(first)
    step_at = round(n / rate / 2, 1)

    def steady():
        return buzz(n, rate, mains, 0.02, seed)

    def case(key, label, make, guitar=g, **kw):
        return Case(key, label, guitar, make=make, **kw)

    lead = "%g s before the guitar" % HUM_FIRST_SECONDS

    def on(wander, length=n, step=None):
        return lambda: mains_phase(length, rate, mains, wander, step)

    def walk():
        return walk_phase(n, rate, mains, seed)

    return [
        case("buzz", "buzz +-0.02 Hz", steady, theta=on(0.02)),
        case("buzz_first", "  %s" % lead, lambda: buzz(m, rate, mains, 0.02, seed), first,
             theta=on(0.02, m)),
        case("buzz_wandering", "buzz, wandering +-0.05 Hz",
             lambda: buzz(n, rate, mains, 0.05, seed), theta=on(0.05)),
        case("buzz_walk", "buzz, random walk +-%g Hz" % WALK_HZ,
             lambda: buzz_on(walk(), rate, mains, seed), theta=walk),
        case("buzz_swing", "buzz, level swinging +-%g dB" % SWING_DB,
             lambda: steady() * swing_gain(n, rate, seed), theta=on(0.02)),
        case("hum_exact", "hum on frequency", lambda: hum(n, rate, mains, 0.0, seed),
             theta=on(0.0), lines=len(HUM_AMPS)),
        case("hum05", "hum +-0.05 Hz", lambda: hum(n, rate, mains, 0.05, seed), theta=on(0.05),
             lines=len(HUM_AMPS)),
        case("hum05_first", "  %s" % lead, lambda: hum(m, rate, mains, 0.05, seed), first,
             theta=on(0.05, m), lines=len(HUM_AMPS)),
        case("hum_walk", "hum, random walk +-%g Hz" % WALK_HZ,
             lambda: hum(n, rate, mains, 0, seed, walk()), theta=walk, lines=len(HUM_AMPS)),
        case("hum", "hum +-0.2 Hz", lambda: hum(n, rate, mains, 0.2, seed), theta=on(0.2),
             lines=len(HUM_AMPS)),
        case("hum_decay", "hum +-0.05 Hz, decaying", lambda: hum(n, rate, mains, 0.05, seed)
             * decay_gain(n, rate), theta=on(0.05), lines=len(HUM_AMPS)),
        case("step", "step +%g Hz mid-take" % STEP_HZ,
             lambda: buzz(n, rate, mains, 0.02, seed, step_at), event=step_at,
             theta=on(0.02, step=step_at)),
        case("onset", "onset at %g s" % ONSET_SECONDS, lambda: steady() * onset_gate(n, rate),
             event=ONSET_SECONDS, settle_from=ONSET_SECONDS, theta=on(0.02)),
        case("switch", "pickup switch mid-take",
             lambda: switched(steady(), n, rate, mains, 0.02, seed, step_at), event=step_at,
             theta=on(0.02)),
    ]


def cases(rate, mains, seed, seconds=None):
    """The cases on the sonic-pi takes (their first seconds, if given)."""
    g = guitar_for(rate, mains)
    if seconds:
        g = g[: int(seconds * rate)]
    return cases_on(g, rate, mains, seed)


def case_title(run):
    """A case's label standing alone: the hum-first ones are printed under
    the case they start early."""
    if run["case"].endswith("_first"):
        return "%s, %s" % ({"buzz_first": "buzz +-0.02 Hz", "hum05_first": "hum +-0.05 Hz"}[
            run["case"]], run["label"].strip())
    return run["label"]


def case_dict(todo):
    return {c.key: c for c in todo}


IDEAL = "ideal"
FOLLOWER = "follower-bound"
FOLLOWER_LINE_HZ = 0.5  # each line's low-pass: wide enough for the drifts, narrow on the guitar


def as_input(x):
    return np.asarray(x, dtype=np.float32)


# ---- measures

def removal(process, g, interference, rate, mains, mode, settle, out_guitar=None):
    """Removal (dB, A-weighted and not) of interference added to guitar g, over
    the part after settle seconds; out_guitar saves running the guitar alone
    again. Returns the figures and the A-weighted signals in and left."""
    return removal_parts(process, g, interference, rate, mains, mode, settle, out_guitar)[:3]


def removal_parts(process, g, interference, rate, mains, mode, settle, out_guitar=None):
    """removal(), and what is left unweighted as well."""
    if out_guitar is None:
        out_guitar = process(as_input(g), rate, mains, mode)
    out_mix = process(as_input(g + interference), rate, mains, mode)
    left = np.asarray(out_mix, dtype=np.float64) - np.asarray(out_guitar, dtype=np.float64)
    skip = int(settle * rate)
    in_a, left_a = a_weight(interference, rate), a_weight(left, rate)
    fig = dict(in_dba=level_db(in_a[skip:]), left_dba=level_db(left_a[skip:]),
               in_dbfs=level_db(interference[skip:]), left_dbfs=level_db(left[skip:]))
    fig["removal_a_db"] = fig["in_dba"] - fig["left_dba"]
    fig["removal_db"] = fig["in_dbfs"] - fig["left_dbfs"]
    return fig, in_a, left_a, left


def span_removal(in_a, left_a, rate, start, end):
    """Removal (dB) over the span from start to end (s)."""
    first, last = int(start * rate), int(end * rate)
    return level_db(in_a[first:last]) - level_db(left_a[first:last])


def per_take(in_a, left_a, spans, skip, shortest):
    """Removal (dB) over each take's own stretches from sample skip on, its
    rounds together; takes with less than shortest samples there are left
    out."""
    parts = {}
    for name, first, end in spans:
        first, end = max(first, skip), min(end, len(in_a))
        if end > first:
            parts.setdefault(name, []).append(slice(first, end))
    return {name: level_db(np.concatenate([in_a[s] for s in cut])) -
            level_db(np.concatenate([left_a[s] for s in cut]))
            for name, cut in parts.items() if sum(s.stop - s.start for s in cut) >= shortest}


def per_line(in_a, left_a, rate, mains, skip, count=BUZZ_HARMONICS,
             half=LEFT_LINE_HALF_WIDTH):
    """Where what is left lies: for each harmonic k of the mains (within half
    Hz of k times it, from sample skip on), its share of all that is left and
    its own removal (dB). Returns rows, the largest share first."""
    edges = [(k * mains - half, k * mains + half) for k in range(1, count + 1)
             if k * mains + half < rate / 2]
    went_in = band_power(in_a[skip:], rate, edges)
    left = band_power(left_a[skip:], rate, edges)
    total = np.mean(np.square(left_a[skip:]))
    rows = [dict(k=k, share=float(b / total), removal_db=float(db(a) - db(b)))
            for k, (a, b) in enumerate(zip(went_in, left), start=1)]
    return sorted(rows, key=lambda r: -r["share"])


def added_lines(interference, left, rate, mains, skip, count=BUZZ_HARMONICS,
                half=ADD_HALF_WIDTH):
    """The mains lines where what is left adds: for each harmonic k (within
    half Hz of k times the mains, from sample skip on, unweighted) where what
    is left stands ADD_ABOVE_DB above what the interference put there and
    above ADD_FLOOR_DBFS. Rows, the worst first."""
    ks = [k for k in range(1, count + 1) if k * mains + half < rate / 2]
    edges = [(k * mains - half, k * mains + half) for k in ks]
    went_in = db(band_power(interference[skip:], rate, edges))
    left = db(band_power(left[skip:], rate, edges))
    rows = [dict(k=k, left_dbfs=float(b), in_dbfs=float(a), above_db=float(b - a))
            for k, a, b in zip(ks, went_in, left)
            if b - a > ADD_ABOVE_DB and b > ADD_FLOOR_DBFS]
    return sorted(rows, key=lambda r: -r["above_db"])


def windowed_removal(in_a, left_a, rate, start, window=WINDOW_SECONDS, hop=HOP_SECONDS):
    """Removal in windows that start at start, start + hop, ... (s); returns
    the windows' start times and their removal (dB)."""
    size = int(window * rate)
    first, step = int(round(start * rate)), int(round(hop * rate))
    starts = np.arange(first, len(in_a) - size + 1, step)

    def sums(x):
        c = np.concatenate([[0.0], np.cumsum(np.square(x))])
        return c[starts + size] - c[starts]

    return starts / rate, db(sums(in_a)) - db(sums(left_a))


def recovery_time(starts, removal_db, event, threshold=THRESHOLD_DB):
    """Seconds from event until every window from then on reaches threshold;
    None when the last does not."""
    ok = removal_db >= threshold
    if len(ok) == 0 or not ok[-1]:
        return None
    bad = np.flatnonzero(~ok)
    first = bad[-1] + 1 if len(bad) else 0
    return float(starts[first] - event)


def band_power(x, rate, bands, pad=1):
    """Power within each (lo, hi) band from one FFT, Hann-windowed when pad > 1
    (zero-padded pad times; a sine inside a band gives its mean square) or
    plain (the whole signal's energy, per band) when pad == 1."""
    x = np.asarray(x, dtype=np.float64)
    n = len(x)
    if pad > 1:
        w = np.hanning(n)
        nfft = scipy.fft.next_fast_len(pad * n)
        power = np.abs(scipy.fft.rfft(x * w, nfft)) ** 2 * 2.0 / (nfft * np.sum(w * w))
    else:
        nfft = n
        power = np.abs(scipy.fft.rfft(x)) ** 2 * 2.0 / (n * n)
    freqs = scipy.fft.rfftfreq(nfft, 1.0 / rate)
    cum = np.concatenate([[0.0], np.cumsum(power)])
    lo = np.searchsorted(freqs, [b[0] for b in bands])
    hi = np.searchsorted(freqs, [b[1] for b in bands])
    return cum[hi] - cum[lo]


def band_changes(x_in, x_out, rate, span=BAND_SPAN_DB):
    """Third-octave bands of the output against the input (dB), for every band
    within span dB of the input's strongest."""
    bands = [(fm, label) for fm, label in THIRD_OCTAVES if fm * 10 ** 0.05 < rate / 2]
    edges = [(fm * 10 ** -0.05, fm * 10 ** 0.05) for fm, _ in bands]
    level_in = db(band_power(x_in, rate, edges))
    level_out = db(band_power(x_out, rate, edges))
    top = np.max(level_in)
    rows = [dict(band=label, hz=fm, in_db=float(a), change_db=float(b - a))
            for (fm, label), a, b in zip(bands, level_in, level_out) if a >= top - span]
    worst = max(rows, key=lambda r: abs(r["change_db"]))
    return dict(bands=rows, largest_change_db=worst["change_db"], largest_band=worst["band"])


def hum_lines(x, rate, mains=REAL_MAINS, count=BUZZ_HARMONICS, pad=8):
    """The lines of a recording's own hum, from one long Hann-windowed FFT: the
    fundamental is the strongest frequency within 0.5 Hz of mains, each
    harmonic k the strongest within 0.2 Hz of k times the mains frequency the
    last line found implies. A line counts when it stands LINE_MIN_ABOVE_DB
    above the median level 2-10 Hz around it (white noise alone almost never
    does). Returns (k, frequency) pairs."""
    n = len(x)
    w = np.hanning(n)
    nfft = scipy.fft.next_fast_len(pad * n)
    power = np.abs(scipy.fft.rfft(np.asarray(x, dtype=np.float64) * w, nfft)) ** 2
    freqs = scipy.fft.rfftfreq(nfft, 1.0 / rate)
    lines, f0 = [], float(mains)
    for k in range(1, count + 1):
        centre = k * f0
        if centre + 10 >= rate / 2:
            break
        reach = LINE_SEARCH_HZ if k == 1 else LINE_TRACK_HZ
        near = (freqs > centre - reach) & (freqs < centre + reach)
        peak = np.argmax(power[near])
        around = np.abs(freqs - centre)
        floor = np.median(power[(around > 2) & (around < 10)])
        if db(power[near][peak]) - db(floor) >= LINE_MIN_ABOVE_DB:
            lines.append((k, float(freqs[near][peak])))
            f0 = lines[-1][1] / k
    return lines


# ---- processors

def pass_through(x, rate, mains, mode):
    return np.array(x, dtype=np.float32)


def ideal_for(known_cases):
    """A stand-in that subtracts the exact interference of the cases given (it
    knows each mix it may be handed) and passes anything else through."""
    known = {}
    for c in known_cases:
        known[hashlib.sha1(as_input(c.guitar + c.interference).tobytes()).digest()] = \
            c.interference

    def process(x, rate, mains, mode):
        i = known.get(hashlib.sha1(as_input(x).tobytes()).digest())
        return as_input(x) if i is None else as_input(np.asarray(x, np.float64) - i)

    return process


def line_canceller(x, theta, rate, mains, line_hz=FOLLOWER_LINE_HZ, lines=BUZZ_HARMONICS):
    """Cancels harmonics 1-lines of mains at phase theta (radians, per sample): a
    mains period at a time, each harmonic is demodulated at h theta, followed
    through a one-pole line_hz low-pass and subtracted, remodulated, from the
    next period. Linear in x for a given theta."""
    x = np.asarray(x, np.float64)
    period = int(round(rate / mains))
    h = np.arange(1, lines + 1)
    h = h[h * mains < rate / 2]
    k = 1.0 - np.exp(-2 * np.pi * line_hz / mains)
    est = np.zeros(len(h), complex)
    out = x.copy()
    for start in range(0, len(x), period):
        span = slice(start, start + period)
        turns = np.exp(1j * np.outer(h, theta[span]))
        out[span] -= np.real(est @ turns)
        if out[span].shape[0] == period:
            est += k * ((2.0 / period) * (turns.conj() @ x[span]) - est)
    return out


def follower_for(known_cases):
    """A stand-in for the best a follower can do: for each mix of the cases
    given it knows the mains exactly and which lines the interference has, and
    cancels those at it (line_canceller); any
    other signal, the guitar alone among them, holds no mains to follow, so it
    is cancelled at the nominal frequency, as a real follower would hold it.
    What it scores is the bound the removal measure sets on following: the
    lines' low-passes take the guitar near the lines differently at the two
    frequencies, and that difference counts as interference left."""
    known = {}
    for c in known_cases:
        known[hashlib.sha1(as_input(c.guitar + c.interference).tobytes()).digest()] = c
    lines = max([c.lines for c in known_cases] or [BUZZ_HARMONICS])

    def process(x, rate, mains, mode):
        c = known.get(hashlib.sha1(as_input(x).tobytes()).digest())
        if c is not None and c.theta is not None:
            theta = c.theta()
        else:
            theta = 2 * np.pi * mains * np.arange(len(x)) / rate
        return as_input(line_canceller(as_input(x), theta, rate, mains, lines=lines))

    return process


def stand_in_for(process, known_cases):
    """The processor for a run of the cases given: a stand-in made for them,
    or the processor itself."""
    if process is IDEAL:
        return ideal_for(known_cases)
    if process is FOLLOWER:
        return follower_for(known_cases)
    return process


class UtilityHost:
    """The built module in tools/utility_host: a fresh instance per call."""

    CONTROLS = {"notches": {}, "tracking": {"hum_track": 1}}

    def __init__(self, host, plugin):
        for path, what in ((host, "utility_host"), (plugin, "the module")):
            if not os.path.exists(path):
                raise ProcessorError(
                    "%s not found at %s: build it (. scripts/trees.sh; tree release) or pass "
                    "--host/--plugin" % (what, path))
        self.host, self.plugin = host, plugin
        ports = subprocess.run([host, "--ports"], capture_output=True, text=True)
        if ports.returncode != 0:
            raise ProcessorError("%s --ports failed: %s" % (host, ports.stderr.strip()))
        self.ports = [p["symbol"] for p in json.loads(ports.stdout)]
        self.workdir = tempfile.mkdtemp(prefix="hum_quality_")

    def close(self):
        shutil.rmtree(self.workdir, ignore_errors=True)

    def check(self, mode):
        missing = [s for s in self.CONTROLS[mode] if s not in self.ports]
        if missing:
            raise ProcessorError(
                "mode %s needs the port%s %s, which this build does not have (%s knows: %s). "
                "The tracking hum stage has not landed in this build: measure --mode notches, "
                "or a stand-in with --processor." % (mode, "s" if len(missing) > 1 else "",
                                                    ", ".join(missing), self.host,
                                                    " ".join(self.ports)))

    def __call__(self, x, rate, mains, mode):
        # Named by process: the pool's workers share the directory.
        src = os.path.join(self.workdir, "in-%d.wav" % os.getpid())
        dst = os.path.join(self.workdir, "out-%d.wav" % os.getpid())
        sf.write(src, as_input(x), rate, subtype="FLOAT")
        controls = dict(hum_on=1, hum_50hz=1 if mains == 50 else 0, enabled=1)
        controls.update(self.CONTROLS[mode])
        cmd = [self.host, self.plugin, src, dst]
        for symbol, value in controls.items():
            cmd += ["-c", "%s=%s" % (symbol, value)]
        run = subprocess.run(cmd, capture_output=True, text=True)
        if run.returncode != 0:
            raise ProcessorError("%s failed (exit %d) in mode %s: %s"
                                 % (" ".join(cmd), run.returncode, mode, run.stderr.strip()))
        y, r = sf.read(dst, dtype="float32")
        if r != rate or len(y) != len(x):
            raise ProcessorError("utility_host wrote %d frames at %d Hz for %d at %d Hz"
                                 % (len(y), r, len(x), rate))
        return y


def load_processor(where):
    """FILE.py:FUNCTION, a Python stand-in process(x, rate, mains, mode)."""
    path, _, name = where.rpartition(":")
    if not path or not os.path.exists(path):
        raise ProcessorError("--processor %s: expected FILE.py:FUNCTION" % where)
    loader = importlib.machinery.SourceFileLoader("stand_in", path)
    module = types.ModuleType(loader.name)
    module.__file__ = path
    loader.exec_module(module)
    return getattr(module, name)


# ---- the runs

def case_figures(process, c, rate, mains, mode, settle, out_guitar, windows=False):
    """One case's figures: removal after the settle time, with the A-weighted
    energy in and left there (runs are pooled by it), the time back to 20 dB A
    after its event (and each window's removal, if windows), and the mains
    lines where what is left adds to the interference."""
    skip_s = c.settle_from + settle
    fig, in_a, left_a, left = removal_parts(process, c.guitar, c.interference, rate, mains, mode,
                                            skip_s, out_guitar)
    skip = int(skip_s * rate)
    fig.update(label=c.label, in_energy_a=float(np.sum(np.square(in_a[skip:]))),
               left_energy_a=float(np.sum(np.square(left_a[skip:]))))
    if c.event is not None:
        starts, r = windowed_removal(in_a, left_a, rate, c.event)
        fig.update(event_s=c.event, recovery_s=recovery_time(starts, r, c.event),
                   worst_window_a_db=float(np.min(r)))
        if windows:
            fig["windows"] = dict(start_s=[round(float(s), 3) for s in starts],
                                  removal_a_db=[round(float(v), 2) for v in r])
    fig["adds"] = added_lines(c.interference, left, rate, mains, skip)
    return fig, in_a, left_a


def guitar_alone(process, c, rate, mains, mode):
    """The output for case c's guitar alone. The ideal stand-in knows no
    guitar alone and passes it through; the follower's holds it at the
    nominal mains, on the lines c's interference has."""
    return stand_in_for(process, [c])(as_input(c.guitar), rate, mains, mode)


def alone_key(process, c, mode):
    # The follower's guitar-alone output depends on the lines it cancels.
    return mode, id(c.guitar), c.lines if process is FOLLOWER else BUZZ_HARMONICS


def run_cases(process, todo, modes, rate, mains, settle, each, windows=False):
    """Each case of todo in each mode, each(case, mode, figures, in_a, left_a)
    called for every run; the guitar alone is run once per guitar (and, for
    the follower, per set of lines). Returns the first case's guitar-alone
    output, {mode: output}, for its bands."""
    outs = {}  # some cases have silence in front of the guitar
    for c in todo:
        proc = stand_in_for(process, [c])
        for mode in modes:
            key = alone_key(process, c, mode)
            if key not in outs:
                outs[key] = guitar_alone(process, c, rate, mains, mode)
            fig, in_a, left_a = case_figures(proc, c, rate, mains, mode, settle, outs[key],
                                             windows)
            each(c, mode, fig, in_a, left_a)
        c.drop()
    return {mode: outs[alone_key(process, todo[0], mode)] for mode in modes}


def measure(process, modes, rate, mains, seed, settle):
    """Every figure of one rate and mains frequency on the sonic-pi takes, for
    each mode: {mode: figures}."""
    todo = cases(rate, mains, seed)
    names, rounds = takes_for(mains)
    g = todo[0].guitar
    res = {mode: dict(cases={}) for mode in modes}

    def each(c, mode, fig, in_a, left_a):
        if c.key == "buzz":
            # Where the figure comes from: each take's part of it.
            fig["by_take"] = per_take(in_a, left_a, take_spans(names, rate, rounds),
                                      int(settle * rate), rate)
        if c.key in ("buzz", "hum"):
            # And the lines that hold most of what is left.
            fig["by_line"] = per_line(in_a, left_a, rate, mains,
                                      int((c.settle_from + settle) * rate))
        res[mode]["cases"][c.key] = fig

    alone = run_cases(process, todo, modes, rate, mains, settle, each, windows=True)
    for mode in modes:
        res[mode]["guitar"] = band_changes(g, alone[mode], rate)
        res[mode]["guitar"]["takes"] = names
        if mains == REAL_MAINS:
            res[mode]["real_hum"] = real_hum(stand_in_for(process, []), mode, rate)
    return res


def real_hum(process, mode, rate):
    """The takes' own 60 Hz hum, in narrow bands around its lines, before and
    after, over the part after the first 2 s."""
    x = guitar(HUMMING_TAKES, rate)
    y = process(as_input(x), rate, REAL_MAINS, mode)
    skip = int(REAL_SKIP * rate)
    lines = hum_lines(x[skip:], rate)
    edges = [(f - LINE_HALF_WIDTH, f + LINE_HALF_WIDTH) for _, f in lines]
    before = band_power(x[skip:], rate, edges, pad=2)
    after = band_power(np.asarray(y[skip:], np.float64), rate, edges, pad=2)
    rows = [dict(k=k, hz=f, before_dbfs=float(db(b)), after_dbfs=float(db(a)))
            for (k, f), b, a in zip(lines, before, after)]
    total_before, total_after = float(db(np.sum(before))), float(db(np.sum(after)))
    return dict(lines=rows, before_dbfs=total_before, after_dbfs=total_after,
                removed_db=total_before - total_after)


# The two sets of rendered takes, each take played on its own; never pooled.
SETS = {"held-out": guitar_takes.held_out, "tuning": guitar_takes.tuning}


def set_take(set_name, name, rate):
    return dict(SETS[set_name](rate))[name]


def measure_take(process, modes, set_name, name, rate, mains, seed, settle):
    """Every case on one take of a set, for each mode: the runs (one figure
    set each, tagged with the set, take, rate, mains, mode and case) and the
    guitar's bands alone, {mode: band changes}."""
    g = set_take(set_name, name, rate)
    runs = []

    def each(c, mode, fig, in_a, left_a):
        fig.update(set=set_name, take=name, rate=rate, mains=mains, mode=mode, case=c.key)
        runs.append(fig)

    alone = run_cases(process, cases_on(g, rate, mains, seed), modes, rate, mains, settle, each)
    return runs, {mode: band_changes(g, alone[mode], rate) for mode in modes}


def note(n, rate, hz, dbfs=GHOST_DBFS, span=GHOST_SPAN, ramp=GHOST_RAMP):
    """A sine of peak dbfs from span[0] to span[1] s, faded in and out over
    ramp s (a note, not a click)."""
    t = np.arange(n) / rate
    up = np.clip((t - span[0]) / ramp, 0.0, 1.0)
    down = np.clip((span[1] - t) / ramp, 0.0, 1.0)
    gate = (0.5 - 0.5 * np.cos(np.pi * up)) * (0.5 - 0.5 * np.cos(np.pi * down))
    return 10 ** (dbfs / 20) * gate * np.sin(2 * np.pi * hz * (t - span[0]))


def note_band_db(x, rate, hz, centre, window=GHOST_WINDOW, half=GHOST_HALF_BAND):
    """The power (dB) within +-half Hz of hz in a Hann window of window s
    centred at centre (s)."""
    first = int(round((centre - window / 2) * rate))
    seg = np.asarray(x[first:first + int(round(window * rate))], dtype=np.float64)
    return float(db(band_power(seg, rate, [(hz - half, hz + half)], pad=4)[0]))


def ghost_figures(residual, played, rate, hz, span=GHOST_SPAN, after=GHOST_AFTER):
    """How far under the note played (dB) the residual stays within +-1 Hz of
    it: while it plays (kept_db: the note itself, about 0), and each of after
    seconds after it stops (under_db: larger is better)."""
    middle = (span[0] + span[1]) / 2
    ref = note_band_db(played, rate, hz, middle)
    return dict(kept_db=note_band_db(residual, rate, hz, middle) - ref,
                under_db=[ref - note_band_db(residual, rate, hz, span[1] + a) for a in after])


def ghost_guitar(rate):
    """The guitar under the ghost notes: the first seconds of the clean takes."""
    return guitar_for(rate, REAL_MAINS)[: int(GHOST_SECONDS * rate)]


def measure_ghost(process, modes, rate, mains, hz, seed, with_guitar=True):
    """A note stopping beside a line, over hum on frequency, with the guitar
    and without: [figures] for each mode. The hum's own part comes out as
    out(guitar + hum + note) - out(guitar + hum)."""
    n = int(GHOST_SECONDS * rate)
    h = hum(n, rate, mains, 0.0, seed)
    s = note(n, rate, hz)
    rows = []
    bases = [("alone", np.zeros(n))] + ([("guitar", ghost_guitar(rate))] if with_guitar else [])
    for label, base in bases:
        proc = stand_in_for(process, [Case("ghost", "", base, h, lines=len(HUM_AMPS)),
                                      Case("ghost", "", base + s, h, lines=len(HUM_AMPS))])
        for mode in modes:
            y0 = np.asarray(proc(as_input(base + h), rate, mains, mode), np.float64)
            y1 = np.asarray(proc(as_input(base + s + h), rate, mains, mode), np.float64)
            fig = ghost_figures(y1 - y0, s, rate, hz)
            fig.update(mode=mode, rate=rate, mains=mains, hz=hz, guitar=label)
            rows.append(fig)
    return rows


# The processor of the pool's runs, set before its workers are forked (a
# stand-in loaded from a file does not pickle).
PROCESS = None


def _job(job):
    fn, args = job
    return fn(PROCESS, *args)


def run_jobs(process, jobs, workers=WORKERS):
    """[fn(process, *args) for (fn, args) in jobs], over a pool of workers."""
    global PROCESS
    PROCESS = process
    if workers <= 1 or len(jobs) <= 1:
        return [_job(j) for j in jobs]
    with multiprocessing.get_context("fork").Pool(workers) as pool:
        return pool.map(_job, jobs, chunksize=1)


def full_jobs(modes, sets, seed, settle, sonic=True):
    """The jobs of the full tables, the longest first: the sonic-pi takes
    (tuning set, when sonic), every take of the sets asked for, the ghost
    notes."""
    jobs = []
    if "tuning" in sets and sonic:
        jobs += [(measure, (modes, r, m, seed, settle)) for r in RATES for m in MAINS]
    for set_name in sets:
        for r in RATES:
            for m in MAINS:
                jobs += [(measure_take, (modes, set_name, name, r, m, seed, settle))
                         for name, _ in SETS[set_name](r)]
    jobs += [(measure_ghost, (modes, r, m, hz, seed)) for r in RATES for m, hz in GHOST_NOTES]
    return jobs


def full_tables(process, modes, sets, seed, settle, sonic=True, workers=WORKERS):
    """Every figure of the full tables: {set: {runs, guitar, sonic_pi}} and
    ghost rows. Each set's runs are kept to themselves."""
    for rate in RATES:  # rendered (or read) before the workers fork
        for set_name in sets:
            SETS[set_name](rate)
    jobs = full_jobs(modes, sets, seed, settle, sonic)
    out = dict(sets={name: dict(runs=[], guitar={}) for name in sets}, ghost=[])
    for (fn, args), res in zip(jobs, run_jobs(process, jobs, workers)):
        if fn is measure:
            _, r, m = args[:3]
            sonic_pi = out["sets"]["tuning"].setdefault("sonic_pi", {})
            for mode, figs in res.items():
                sonic_pi.setdefault(mode, {})[(r, m)] = figs
        elif fn is measure_take:
            _, set_name, name, r, m = args[:5]
            runs, bands = res
            out["sets"][set_name]["runs"] += runs
            for mode, b in bands.items():
                out["sets"][set_name]["guitar"].setdefault(mode, {}).setdefault(name, {})[
                    (r, m)] = b
        else:
            out["ghost"] += res
    return out


def sonic_runs(sonic_pi):
    """The sonic-pi takes' figures as runs, as the sets' runs are tagged."""
    runs = []
    for mode, by_col in sonic_pi.items():
        for (r, m), figs in by_col.items():
            for key, fig in figs["cases"].items():
                runs.append(dict(fig, set="tuning", take="sonic-pi", rate=r, mains=m, mode=mode,
                                 case=key))
    return runs


def pooled_db(runs):
    """Removal (dB A) of runs taken together: all their energy in against all
    that is left."""
    return float(db(sum(r["in_energy_a"] for r in runs)) -
                 db(sum(r["left_energy_a"] for r in runs)))


def summarise(runs):
    """Per case, over runs of one mode and mains: pooled removal, the median
    run, the worst take (its rates pooled); for the cases with an event the
    median and the worst take's time back to 20 dB A (its slower rate) and
    how many runs never got back."""
    by_case = {}
    for r in runs:
        by_case.setdefault(r["case"], []).append(r)
    out = {}
    for key, rs in by_case.items():
        takes = {}
        for r in rs:
            takes.setdefault(r["take"], []).append(r)
        per_take = {name: pooled_db(t) for name, t in takes.items()}
        worst = min(per_take, key=per_take.get)
        fig = dict(label=rs[0]["label"], runs=len(rs), pooled_a_db=pooled_db(rs),
                   median_a_db=float(np.median([r["removal_a_db"] for r in rs])),
                   worst_take=worst, worst_take_a_db=per_take[worst])
        if "recovery_s" in rs[0]:
            times = {name: max(np.inf if r["recovery_s"] is None else r["recovery_s"] for r in t)
                     for name, t in takes.items()}
            slowest = max(times, key=times.get)
            med = float(np.median([np.inf if r["recovery_s"] is None else r["recovery_s"]
                                   for r in rs]))
            fig.update(median_recovery_s=None if np.isinf(med) else med, slowest_take=slowest,
                       slowest_recovery_s=None if np.isinf(times[slowest]) else times[slowest],
                       never=sum(r["recovery_s"] is None for r in rs))
        out[key] = fig
    return out


def worse_than_notches(runs):
    """Runs where tracking removes less than the notches do, while the
    notches remove under COMPARE_BELOW_DB: the notches' weak cases, where
    tracking should not lose to them. The largest shortfall first."""
    notches = {(r["take"], r["rate"], r["mains"], r["case"]): r for r in runs
               if r["mode"] == "notches"}
    rows = []
    for r in runs:
        n = notches.get((r["take"], r["rate"], r["mains"], r["case"]))
        if (r["mode"] == "tracking" and n is not None and n["removal_a_db"] < COMPARE_BELOW_DB
                and r["removal_a_db"] < n["removal_a_db"]):
            rows.append(dict(take=r["take"], rate=r["rate"], mains=r["mains"], case=r["case"],
                             label=r["label"], tracking_a_db=r["removal_a_db"],
                             notches_a_db=n["removal_a_db"]))
    return sorted(rows, key=lambda x: x["tracking_a_db"] - x["notches_a_db"])


def quick(process, mode, seed, settle, rate=48000, mains=60):
    """The buzz on the first 10 s of the two clean takes, with both mains, the
    step of the mains halfway through them, the buzz's onset at 5 s at the
    other rate, and the step with 50 Hz mains halfway through the whole clean
    takes; the buzz on the random walk and the buzz swinging, and a note
    stopping beside a line (over hum alone)."""
    todo = case_dict(cases(rate, mains, seed, QUICK_SECONDS))
    c, s = todo["buzz"], todo["step"]
    c2 = case_dict(cases(rate, QUICK_OTHER_MAINS, seed, QUICK_SECONDS))["buzz"]
    o = case_dict(cases(QUICK_ONSET_RATE, mains, seed, QUICK_SECONDS))["onset"]
    # The step again with 50 Hz mains over the whole of the clean takes: late
    # in them, partials beside the third and seventh harmonics make the jump
    # hard to see.
    s2 = case_dict(cases(rate, QUICK_OTHER_MAINS, seed))["step"]
    walk, swing = todo["buzz_walk"], todo["buzz_swing"]
    given = process
    process = stand_in_for(process, [c, c2, s, o, s2, walk, swing])
    out_guitar = process(as_input(c.guitar), rate, mains, mode)
    fig, _, _ = removal(process, c.guitar, c.interference, rate, mains, mode, settle, out_guitar)
    fig.update(rate=rate, mains=mains, seconds=QUICK_SECONDS, label=c.label)
    # The first seconds after hum is found, where each line's estimate forms,
    # differ with the mains: 50 Hz puts other lines beside the guitar's notes.
    fig2, _, _ = removal(process, c2.guitar, c2.interference, rate, QUICK_OTHER_MAINS, mode, settle)
    fig.update(mains2=QUICK_OTHER_MAINS, removal2_a_db=fig2["removal_a_db"],
               removal2_db=fig2["removal_db"])
    _, in_a, left_a = removal(process, s.guitar, s.interference, rate, mains, mode, settle,
                              out_guitar)
    starts, r = windowed_removal(in_a, left_a, rate, s.event)
    fig.update(step_label=s.label, step_at_s=s.event,
               step_removal_a_db=span_removal(in_a, left_a, rate, s.event,
                                              s.event + QUICK_STEP_SPAN),
               step_recovery_s=recovery_time(starts, r, s.event))
    _, in_a, left_a = removal(process, o.guitar, o.interference, QUICK_ONSET_RATE, mains, mode,
                              settle)
    fig.update(onset_label=o.label, onset_rate=QUICK_ONSET_RATE,
               onset_removal_a_db=span_removal(in_a, left_a, QUICK_ONSET_RATE,
                                               o.event + QUICK_ONSET_SPAN[0],
                                               o.event + QUICK_ONSET_SPAN[1]))
    _, in_a, left_a = removal(process, s2.guitar, s2.interference, rate, QUICK_OTHER_MAINS, mode,
                              settle)
    fig.update(step2_mains=QUICK_OTHER_MAINS, step2_at_s=s2.event,
               step2_removal_a_db=span_removal(in_a, left_a, rate, s2.event,
                                               s2.event + QUICK_STEP_SPAN))
    for key, case in (("walk", walk), ("swing", swing)):
        f, _, _ = removal(process, case.guitar, case.interference, rate, mains, mode, settle,
                          out_guitar)
        fig.update({key + "_label": case.label, key + "_removal_a_db": f["removal_a_db"]})
    ghost = measure_ghost(given, [mode], rate, QUICK_GHOST[0], QUICK_GHOST[1], seed,
                          with_guitar=False)[0]
    fig.update(ghost_hz=QUICK_GHOST[1], ghost_mains=QUICK_GHOST[0],
               ghost_after_s=GHOST_AFTER[0], ghost_db=ghost["under_db"][0])
    return fig


# ---- printing

def dec(v, digits=1):
    """v rounded for printing, without a minus sign on a zero."""
    return round(v, digits) + 0.0


def column_name(rate, mains):
    return "%gk %d Hz" % (rate / 1000, mains)


def table_row(label, cells, width):
    print(("  %-28s" % label + "".join("  %*s" % (width, c) for c in cells)).rstrip())


def print_mode(results, settle):
    cols = [(r, m) for r in RATES for m in MAINS]
    names = [column_name(r, m) for r, m in cols]
    first = results[cols[0]]["cases"]
    print("Removal, dB A-weighted / unweighted, after the first %g s (onset: %g s after it):"
          % (settle, settle))
    table_row("", names, 15)
    for key in first:
        table_row(first[key]["label"], [
            "%.1f / %.1f" % (dec(results[c]["cases"][key]["removal_a_db"]),
                               dec(results[c]["cases"][key]["removal_db"])) for c in cols], 15)
        if "by_take" in first[key]:
            by = [results[c]["cases"][key]["by_take"] for c in cols]
            for name in [n for n in ALL_TAKES if any(n in b for b in by)]:
                table_row("  on %s" % name,
                          ["%.1f" % dec(b[name]) if name in b else "" for b in by], 15)
        if "by_line" in first[key]:
            by = [results[c]["cases"][key]["by_line"] for c in cols]
            for i in range(LEFT_LINES_SHOWN):
                table_row("  line, share left (its own)" if i == 0 else "", [
                    "%d: %2.0f%% (%.1f)" % (b[i]["k"], 100 * b[i]["share"], dec(b[i]["removal_db"]))
                    for b in by], 15)
    print("Time until removal is %g dB A and stays (%g s windows every %g s):"
          % (THRESHOLD_DB, WINDOW_SECONDS, HOP_SECONDS))
    for key in [k for k in first if "recovery_s" in first[k]]:
        figs = [results[c]["cases"][key] for c in cols]
        table_row("after the %s" % key, [
            "never" if f["recovery_s"] is None else "%.1f s" % f["recovery_s"] for f in figs], 15)
        table_row("  worst window after it",
                  ["%.1f dB A" % dec(f["worst_window_a_db"]) for f in figs], 15)

    print("Guitar alone, third-octave bands within %g dB of the strongest, out - in (dB)"
          % BAND_SPAN_DB)
    print("  (%s):" % " and ".join(CLEAN_TAKES))
    table_row("", names, 15)
    changes = [{b["band"]: b["change_db"] for b in results[c]["guitar"]["bands"]} for c in cols]
    for _, label in THIRD_OCTAVES:
        if any(label in ch for ch in changes):
            table_row("%s Hz" % label,
                      ["%+.2f" % dec(ch[label], 2) if label in ch else "" for ch in changes], 15)
    table_row("largest |change|", [
        "%+.2f @ %s" % (dec(results[c]["guitar"]["largest_change_db"], 2),
                        results[c]["guitar"]["largest_band"]) for c in cols], 15)

    real = [results[c]["real_hum"] for c in cols if "real_hum" in results[c]]
    print("Own hum of %s, within +-%g Hz of each line, after the first %g s,"
          % (" and ".join(HUMMING_TAKES), LINE_HALF_WIDTH, REAL_SKIP))
    print("  before -> after (dBFS); the bands hold whatever the guitar plays there too:")
    table_row("", [column_name(*c) for c in cols if "real_hum" in results[c]], 30)
    lines = [{line["k"]: line for line in r["lines"]} for r in real]
    for k in sorted(set().union(*lines)):
        table_row("line %d" % k, [
            "%.2f Hz %6.1f -> %6.1f" % (ls[k]["hz"], ls[k]["before_dbfs"], ls[k]["after_dbfs"])
            if k in ls else "" for ls in lines], 30)
    table_row("all lines", ["(%.1f dB less) %6.1f -> %6.1f"
                            % (r["removed_db"], r["before_dbfs"], r["after_dbfs"])
                            for r in real], 30)


def time_cell(t):
    return "never" if t is None else "%.1f s" % t


def dbs_cell(v):
    return "> 150" if v >= 150 else "%.1f" % dec(v)


def print_summary(runs, settle):
    """Per case, per mains: pooled, median run, worst take; then the times
    back to 20 dB A."""
    per_mains = {m: summarise([r for r in runs if r["mains"] == m]) for m in MAINS}
    keys = list(per_mains[MAINS[0]])
    print("Removal, dB A after the first %g s (onset: %g s after it): all the takes and both "
          "rates pooled, the median run, the worst take (its rates pooled):" % (settle, settle))
    head = "%6s %6s %6s %-17s" % ("pooled", "median", "worst", "")
    table_row("", ["%-38s" % ("%d Hz mains" % m) for m in MAINS], 38)
    table_row("", [head for _ in MAINS], 38)
    for key in keys:
        table_row(per_mains[MAINS[0]][key]["label"], [
            "%6s %6s %6s %-17s" % (dbs_cell(f["pooled_a_db"]), dbs_cell(f["median_a_db"]),
                                   dbs_cell(f["worst_take_a_db"]), f["worst_take"])
            for f in (per_mains[m][key] for m in MAINS)], 38)
    print("Time until removal is %g dB A and stays (%g s windows every %g s): the median run, "
          "the slowest take (its slower rate), runs never back:"
          % (THRESHOLD_DB, WINDOW_SECONDS, HOP_SECONDS))
    for key in [k for k in keys if "never" in per_mains[MAINS[0]][k]]:
        table_row("after the %s" % key, [
            "%6s %6s %-17s %d of %d" % (time_cell(f["median_recovery_s"]),
                                        time_cell(f["slowest_recovery_s"]), f["slowest_take"],
                                        f["never"], f["runs"])
            for f in (per_mains[m][key] for m in MAINS)], 38)
    return per_mains


def print_guitar_alone(bands):
    """The largest third-octave change of each take alone, per column, and
    the worst of all: {take: {(rate, mains): band changes}}."""
    cols = [(r, m) for r in RATES for m in MAINS]
    print("Guitar alone, the largest change of a third-octave band within %g dB of the "
          "strongest, out - in (dB):" % BAND_SPAN_DB)
    table_row("", [column_name(*c) for c in cols], 15)
    worst = None
    for name, by_col in bands.items():
        table_row(name, ["%+.2f @ %s" % (dec(by_col[c]["largest_change_db"], 2),
                                         by_col[c]["largest_band"]) for c in cols], 15)
        for c in cols:
            v = by_col[c]["largest_change_db"]
            if worst is None or abs(v) > abs(worst[0]):
                worst = (v, by_col[c]["largest_band"], name, c)
    if worst:
        print("  worst: %+.2f dB in the %s Hz band, %s at %s"
              % (dec(worst[0], 2), worst[1], worst[2], column_name(*worst[3])))
    return worst


def print_adds(runs, shown=12):
    adding = [r for r in runs if r["adds"]]
    print("Runs that add (within +-%g Hz of a mains harmonic 1-%d, what is left over %g dB above "
          "the interference there and above %g dBFS): %d of %d"
          % (ADD_HALF_WIDTH, BUZZ_HARMONICS, ADD_ABOVE_DB, ADD_FLOOR_DBFS, len(adding),
             len(runs)))
    for r in sorted(adding, key=lambda r: -r["adds"][0]["left_dbfs"])[:shown]:
        a = r["adds"][0]
        print("  %s, %s, %s: harmonic %d at %.1f dBFS (%s dB over what went in)%s"
              % (case_title(r), r["take"], column_name(r["rate"], r["mains"]), a["k"],
                 a["left_dbfs"], dbs_cell(a["above_db"]),
                 ", %d lines" % len(r["adds"]) if len(r["adds"]) > 1 else ""))
    return len(adding)


def print_compare(runs, shown=12):
    rows = worse_than_notches(runs)
    weak = sum(r["mode"] == "notches" and r["removal_a_db"] < COMPARE_BELOW_DB for r in runs)
    print("Tracking below the notches: %d of the %d runs where the notches remove under %g dB A"
          % (len(rows), weak, COMPARE_BELOW_DB))
    for r in rows[:shown]:
        print("  %s, %s, %s: tracking %.1f, notches %.1f dB A"
              % (case_title(r), r["take"], column_name(r["rate"], r["mains"]),
                 r["tracking_a_db"], r["notches_a_db"]))
    return rows


def print_set(set_name, data, modes, settle):
    """One set's tables, from its own runs alone."""
    takes = list(dict.fromkeys(r["take"] for r in data["runs"]))
    sonic = sonic_runs(data["sonic_pi"]) if "sonic_pi" in data else []
    print()
    print("==== %s set: %d takes (%s), each on its own, at %s kHz, %s Hz mains%s ===="
          % (set_name, len(takes), ", ".join(takes), " and ".join("%g" % (r / 1000) for r in RATES),
             " and ".join(str(m) for m in MAINS),
             "; and the four sonic-pi takes" if sonic else ""))
    summary = {}
    for mode in modes:
        runs = [r for r in data["runs"] if r["mode"] == mode]
        print()
        print("-- %s set, mode %s --" % (set_name, mode))
        summary[mode] = {str(m): v for m, v in print_summary(runs, settle).items()}
        print_guitar_alone(data["guitar"][mode])
        if sonic:
            print()
            print("-- %s set, mode %s: the sonic-pi takes --" % (set_name, mode))
            print_mode(data["sonic_pi"][mode], settle)
    print()
    adds = {}
    for mode in modes:
        print("%s set, mode %s: " % (set_name, mode), end="")
        adds[mode] = print_adds([r for r in data["runs"] + sonic if r["mode"] == mode])
    compare = None
    if len(modes) == len(MODES):
        print("%s set: " % set_name, end="")
        compare = print_compare(data["runs"] + sonic)
    return dict(summary=summary, adds_count=adds, worse_than_notches=compare)


def print_ghost(rows, modes):
    print()
    print("==== a note stopping beside a line ====")
    print("A %g dBFS note from %g to %g s over hum on frequency (harmonics 1-6), alone and over "
          "the first %g s of the clean takes;" % (GHOST_DBFS, GHOST_SPAN[0], GHOST_SPAN[1],
                                                 GHOST_SECONDS))
    print("what the output holds within +-%g Hz of it (out(hum + note) - out(hum)), dB under the "
          "note: while it plays (kept), %s s after it stops (larger is better):"
          % (GHOST_HALF_BAND, " and ".join("%g" % a for a in GHOST_AFTER)))
    for mode in modes:
        print("mode %s" % mode)
        table_row("", ["%-28s" % ("%gk" % (r / 1000)) for r in RATES], 28)
        table_row("", ["%6s %9s %9s" % (("kept",) + tuple("%g s" % a for a in GHOST_AFTER))
                       for _ in RATES], 28)
        for mains, hz in GHOST_NOTES:
            for label in ("alone", "guitar"):
                cells = []
                for rate in RATES:
                    f = [r for r in rows if r["mode"] == mode and r["rate"] == rate
                         and r["mains"] == mains and r["hz"] == hz and r["guitar"] == label]
                    if not f:
                        cells.append("")
                        continue
                    f = f[0]
                    cells.append("%+6.1f %9s %9s" % ((dec(f["kept_db"]),) +
                                                     tuple(dbs_cell(v) for v in f["under_db"])))
                table_row("%g Hz @ %d Hz, %s" % (hz, mains, label), cells, 28)


def json_keys(x):
    """x with tuple keys as 'rate/mains' strings, for JSON."""
    if isinstance(x, dict):
        return {("%d/%d" % k if isinstance(k, tuple) else k): json_keys(v) for k, v in x.items()}
    if isinstance(x, list):
        return [json_keys(v) for v in x]
    if isinstance(x, float) and not np.isfinite(x):
        return None
    return x


def print_quick(fig, mode):
    buzzes = (("removal", fig["mains"]), ("removal2", fig["mains2"]))
    for key, hz in buzzes:
        print("%s: %s at 48 kHz, %d Hz mains, %g s of %s: removal %.1f dB "
              "A-weighted (%.1f dB unweighted)"
              % (mode, fig["label"], hz, QUICK_SECONDS, " and ".join(CLEAN_TAKES),
                 fig[key + "_a_db"], fig[key + "_db"]))
    back = fig["step_recovery_s"]
    print("%s: %s at %g s: removal %.1f dB A-weighted over the %g s after it; %s"
          % (mode, fig["step_label"], fig["step_at_s"], fig["step_removal_a_db"],
             QUICK_STEP_SPAN,
             "not back to %g dB A for good within this short take" % THRESHOLD_DB
             if back is None else
             "back to %g dB A for good after %.1f s" % (THRESHOLD_DB, back)))
    print("%s: %s at %g kHz: removal %.1f dB A-weighted from %g to %g s after it"
          % (mode, fig["onset_label"], fig["onset_rate"] / 1000,
             fig["onset_removal_a_db"], *QUICK_ONSET_SPAN))
    print("%s: the step with %d Hz mains at %g s, over the whole of the clean takes: "
          "removal %.1f dB A-weighted over the %g s after it"
          % (mode, fig["step2_mains"], fig["step2_at_s"], fig["step2_removal_a_db"],
             QUICK_STEP_SPAN))
    for key in ("walk", "swing"):
        print("%s: %s at 48 kHz, %d Hz mains, %g s of the clean takes: removal %.1f dB A-weighted"
              % (mode, fig[key + "_label"], fig["mains"], QUICK_SECONDS,
                 fig[key + "_removal_a_db"]))
    print("%s: a %g dBFS note at %g Hz stopping over hum on %d Hz mains, 48 kHz: %s dB under it "
          "%g s after" % (mode, GHOST_DBFS, fig["ghost_hz"], fig["ghost_mains"],
                          dbs_cell(fig["ghost_db"]), fig["ghost_after_s"]))


def quick_below(fig, mode, args):
    """The quick figures under the limits asked for, printed; True if any."""
    below = []
    for key, hz in (("removal", fig["mains"]), ("removal2", fig["mains2"])):
        if args.min_removal is not None and fig[key + "_a_db"] < args.min_removal:
            below.append("the %.1f dB asked for with %d Hz mains" % (args.min_removal, hz))
    for key, what in (("step_removal_a_db", "the step"),
                      ("step2_removal_a_db", "the step with 50 Hz mains")):
        if args.min_step_removal is not None and fig[key] < args.min_step_removal:
            below.append("the %.1f dB asked for after %s" % (args.min_step_removal, what))
    for limit, key, what in ((args.min_onset_removal, "onset_removal_a_db", "after the onset"),
                             (args.min_walk_removal, "walk_removal_a_db", "on the random walk"),
                             (args.min_swing_removal, "swing_removal_a_db",
                              "with the level swinging"),
                             (args.min_ghost_db, "ghost_db", "under the stopped note")):
        if limit is not None and fig[key] < limit:
            below.append("the %.1f dB asked for %s" % (limit, what))
    for b in below:
        print("%s: below %s" % (mode, b))
    return bool(below)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mode", choices=MODES + ["both"], default="both")
    ap.add_argument("--set", choices=SET_NAMES + ["all"], default="all",
                    help="the full tables of the held-out set, the tuning set (with the sonic-pi "
                    "takes) or both, each apart (default: all)")
    ap.add_argument("--quick", action="store_true",
                    help="only the buzz and the step at 48 kHz, and the buzz's onset at 44.1 kHz, "
                    "60 Hz, on 10 s of the two clean takes, and the buzz again with 50 Hz mains; "
                    "the step with 50 Hz mains at 48 kHz over the whole of them; the buzz on "
                    "the random walk and swinging; a note stopping at 659.7 Hz over 60 Hz hum")
    ap.add_argument("--min-removal", type=float, metavar="DB",
                    help="exit 1 when either quick buzz's A-weighted removal is below DB")
    ap.add_argument("--min-step-removal", type=float, metavar="DB",
                    help="exit 1 when either quick step's A-weighted removal over the 2 s after "
                    "it is below DB")
    ap.add_argument("--min-onset-removal", type=float, metavar="DB",
                    help="exit 1 when the quick onset's A-weighted removal from 2 to 5 s after "
                    "it is below DB")
    ap.add_argument("--min-walk-removal", type=float, metavar="DB",
                    help="exit 1 when the quick buzz on the random walk is removed by less")
    ap.add_argument("--min-swing-removal", type=float, metavar="DB",
                    help="exit 1 when the quick buzz swinging in level is removed by less")
    ap.add_argument("--min-ghost-db", type=float, metavar="DB",
                    help="exit 1 when the quick stopped note's band holds less than DB under "
                    "it 1 s after")
    ap.add_argument("--json", metavar="FILE", help="write every figure to FILE")
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--settle", type=float, default=SETTLE_SECONDS, metavar="S")
    ap.add_argument("--host", default=DEFAULT_HOST, help="utility_host (default: build/release)")
    ap.add_argument("--plugin", default=DEFAULT_PLUGIN, help="the module (default: build/release)")
    ap.add_argument("--processor", default="utility_host",
                    help="utility_host (the module), pass-through, ideal, follower-bound, "
                    "or FILE.py:FUNCTION")
    args = ap.parse_args()
    limits = (args.min_removal, args.min_step_removal, args.min_onset_removal,
              args.min_walk_removal, args.min_swing_removal, args.min_ghost_db)
    if any(v is not None for v in limits) and not args.quick:
        ap.error("the --min-... limits go with --quick")
    modes = MODES if args.mode == "both" else [args.mode]
    sets = SET_NAMES if args.set == "all" else [args.set]
    started = time.time()

    host = None
    try:
        if args.processor == "utility_host":
            host = process = UtilityHost(args.host, args.plugin)
            for mode in modes:
                host.check(mode)
            what = "%s running %s" % (args.host, args.plugin)
        elif args.processor == "pass-through":
            process, what = pass_through, "pass-through (stand-in)"
        elif args.processor == "ideal":
            process, what = IDEAL, "ideal (stand-in: subtracts the exact interference it knows)"
        elif args.processor == FOLLOWER:
            process, what = FOLLOWER, ("follower bound (stand-in: cancels at the exact mains it "
                                       "knows, the guitar alone at the nominal mains)")
        else:
            process, what = load_processor(args.processor), "stand-in " + args.processor
        print("Processor: %s" % what)
        print("Seed %d (the phases of the buzz's and the hum's harmonics, the random walk, the "
              "swing); settle %g s" % (args.seed, args.settle))
        figures = dict(processor=what, seed=args.seed, settle_s=args.settle,
                       window_s=WINDOW_SECONDS, hop_s=HOP_SECONDS, threshold_db=THRESHOLD_DB)
        below = False
        if args.quick:
            for mode in modes:
                fig = quick(process, mode, args.seed, args.settle)
                figures.setdefault("quick", {})[mode] = fig
                print_quick(fig, mode)
                below |= quick_below(fig, mode, args)
        else:
            out = full_tables(process, modes, sets, args.seed, args.settle)
            # The held-out set first, and each set from its own runs alone.
            for set_name in sets:
                data = out["sets"][set_name]
                shown = print_set(set_name, data, modes, args.settle)
                figures.setdefault("sets", {})[set_name] = dict(data, **shown)
            print_ghost(out["ghost"], modes)
            figures["ghost"] = out["ghost"]
    except ProcessorError as e:
        print("hum_quality: %s" % e, file=sys.stderr)
        sys.exit(2)
    finally:
        if host is not None:
            host.close()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(json_keys(figures), f, indent=1)
    print("(%.1f s)" % (time.time() - started))
    sys.exit(1 if below else 0)


if __name__ == "__main__":
    main()
