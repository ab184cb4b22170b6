#!/usr/bin/python3
"""Guitar takes rendered from General MIDI, in two sets that are never mixed.

Each take is written as MIDI with mido (notes, velocities, strums as chord
notes spread over 10-40 ms, pitch bends) and rendered by fluidsynth with
Debian's FluidR3_GM soundfont, reverb and chorus off so that it is dry, then
mixed to mono and brought to a peak of -6 dBFS, as the sonic-pi takes are.

  held_out(rate)  the judging set: 8 takes nobody tunes on
  tuning(rate)    the set the hum stage is tuned on: other chords, keys and
                  voicings

Every take is rendered at 44.1 kHz and resampled (polyphase) for other rates,
as hum_quality.py's take() does with the sonic-pi takes, so that both rates
hear the same performance. Renders are cached under build/guitar-takes/, keyed
by the MIDI bytes, the rate, the fluidsynth command and its version. Rendering
is deterministic: two renders of every take here gave the same samples bit for
bit (the files differ only in the timestamp of libsndfile's PEAK chunk).

Usage: guitar_takes.py [--write DIR]   lists the takes; --write saves them at
                                       44.1 kHz for listening
"""
import argparse
import hashlib
import io
import os
import shutil
import subprocess
import sys
from fractions import Fraction
from functools import lru_cache

import mido
import numpy as np
import scipy.signal
import soundfile as sf

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "build", "guitar-takes")
SOUNDFONT = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
RENDER_RATE = 44100
PEAK = 0.5  # -6 dBFS
FADE_SECONDS = 0.1  # the end of a take, where ringing strings are cut off

# General MIDI guitars, zero-based program numbers.
NYLON, STEEL, JAZZ, CLEAN, MUTED, OVERDRIVEN, DISTORTION = range(24, 31)

TICKS = 1000  # a tick a millisecond: 1000 ticks a beat at 60 bpm
BEND_RANGE = 2  # semitones, set through RPN 0
BEND_STEP = 0.01  # s between pitch-bend messages


def midi_note(name):
    """'E2', 'G#3', 'Bb4' -> MIDI note number."""
    pc = dict(C=0, D=2, E=4, F=5, G=7, A=9, B=11)[name[0]]
    rest = name[1:]
    while rest and rest[0] in "#b":
        pc += 1 if rest[0] == "#" else -1
        rest = rest[1:]
    return 12 * (int(rest) + 1) + pc


def notes(names):
    return [midi_note(n) for n in names.split()]


class Score:
    """Notes and controller events in seconds, turned into a one-track MIDI
    file. A note struck again on its channel ends the one still sounding."""

    def __init__(self, seconds, seed):
        self.seconds = seconds
        self.rng = np.random.default_rng(seed)
        self.notes = []  # (start, end, channel, note, velocity)
        self.events = []  # (time, channel, message)

    def program(self, channel, program):
        self.events.append((0.0, channel, mido.Message("program_change", channel=channel,
                                                       program=program)))
        # Pitch-bend range, RPN 0, then the null RPN so that later data
        # entries go nowhere.
        for number, value in ((101, 0), (100, 0), (6, BEND_RANGE), (38, 0), (101, 127),
                              (100, 127)):
            self.events.append((0.0, channel, mido.Message("control_change", channel=channel,
                                                           control=number, value=value)))

    def note(self, start, length, note, velocity, channel=0):
        velocity = int(np.clip(round(velocity + self.rng.uniform(-4, 4)), 1, 127))
        self.notes.append((start, start + length, channel, note, velocity))

    def strum(self, start, length, chord, velocity, down=True, spread=0.03, channel=0):
        """The chord's notes spread over spread seconds, low to high for a
        downstroke, high to low for an upstroke, each a little softer."""
        order = chord if down else chord[::-1]
        spread *= self.rng.uniform(0.8, 1.2)
        for i, n in enumerate(order):
            at = start + spread * i / max(len(order) - 1, 1)
            self.note(at, length - (at - start), n, velocity - 3 * i, channel)

    def bend(self, start, end, cents_from, cents_to, channel=0):
        """A pitch bend gliding from cents_from to cents_to, a message every
        10 ms."""
        steps = max(int(round((end - start) / BEND_STEP)), 1)
        for i in range(steps + 1):
            cents = cents_from + (cents_to - cents_from) * i / steps
            value = int(np.clip(round(8192 * cents / (100 * BEND_RANGE)), -8192, 8191))
            self.events.append((start + i * (end - start) / steps, channel,
                                mido.Message("pitchwheel", channel=channel, pitch=value)))

    def midi(self):
        """The MIDI file's bytes: note-offs before note-ons at the same tick,
        the end of the track at the take's length."""
        starts = {}
        for s, _, ch, n, _ in self.notes:
            starts.setdefault((ch, n), []).append(s)
        timed = [(t, 1, msg) for t, _, msg in self.events]
        for s, e, ch, n, v in self.notes:
            later = [t for t in starts[(ch, n)] if t > s]
            e = min([e, self.seconds - 0.5] + [t - 0.002 for t in later])
            timed.append((s, 2, mido.Message("note_on", channel=ch, note=n, velocity=v)))
            timed.append((e, 0, mido.Message("note_off", channel=ch, note=n, velocity=0)))
        track = mido.MidiTrack()
        track.append(mido.MetaMessage("set_tempo", tempo=1000000, time=0))
        now = 0
        for t, _, msg in sorted(timed, key=lambda e: (int(round(e[0] * TICKS)), e[1])):
            tick = int(round(t * TICKS))
            track.append(msg.copy(time=tick - now))
            now = tick
        track.append(mido.MetaMessage("end_of_track", time=int(self.seconds * TICKS) - now))
        f = mido.MidiFile(type=0, ticks_per_beat=TICKS)
        f.tracks.append(track)
        out = io.BytesIO()
        f.save(file=out)
        return out.getvalue()


def strum_pattern(s, start, beat, pattern, chord, accent=96, upper=4):
    """Strums at the pattern's beats ('D' down, 'U' up: the top strings),
    each ringing until the next reaches its strings; returns the end."""
    for i, (at, kind) in enumerate(pattern):
        down = kind == "D"
        strings = chord if down else chord[-upper:]
        v = (accent if at == 0 else accent - 10) if down else accent - 25
        s.strum(start + at * beat, 8 * beat, strings, v, down,
                spread=s.rng.uniform(0.025, 0.04) if down else s.rng.uniform(0.01, 0.02))
    return start + 4 * beat


FOLK = [(0, "D"), (1, "D"), (1.5, "U"), (2.5, "U"), (3, "D"), (3.5, "U")]


# ---- the held-out set

def g_major_steel():
    # Open G: G2 98, B2 123.5, D3 146.8, G3 196, B3 246.9, G4 392 Hz, partials
    # 1-6 Hz from 50 Hz lines 2-5 and more.
    s = Score(12.0, 101)
    s.program(0, STEEL)
    g = notes("G2 B2 D3 G3 B3 G4")
    t = 0.3
    for _ in range(3):
        t = strum_pattern(s, t, 0.75, FOLK, g)
    s.strum(t, 2.4, g, 100, spread=0.035)
    return "g_major_steel", s


def e_b_major_clean():
    # E5 659.26 Hz (E4's second partial) lies 0.74 Hz from 660, a 60 Hz line.
    s = Score(12.4, 102)
    s.program(0, CLEAN)
    e, b = notes("E2 B2 E3 G#3 B3 E4"), notes("B2 F#3 B3 D#4 F#4")
    t = 0.3
    for chord in (e, b, e, b):
        t = strum_pattern(s, t, 0.6, FOLK, chord, upper=3)
    s.strum(t, 2.0, e, 100, spread=0.03)
    return "e_b_major_clean", s


def jazz_melody():
    # A ii-V-I line in Bb, swung eighths (2:1) at 110 bpm, single notes.
    s = Score(12.4, 103)
    s.program(0, JAZZ)
    beat = 60 / 110
    line = [("G4 Eb4 C4 D4 Eb4 F4 G4 Bb4", 0.5), ("A4 F4 Eb4 C4 A3 C4", 0.5), ("Eb4", 1.0),
            ("D4", 2.0), ("F4 A4", 1.0), ("Bb4", 3.0), ("A4 G4 F4 D4", 0.5), ("C4", 1.0),
            ("Bb3", 3.0)]
    t, half = 0.3, 0
    for names, beats in line:
        for n in notes(names):
            if beats == 0.5:
                length = beat * (2 / 3 if half == 0 else 1 / 3)
                half ^= 1
            else:
                length, half = beat * beats, 0
            s.note(t, 0.92 * length, n, 84 if half == 1 else 72)
            t += length
    return "jazz_melody", s


def palm_muted_riff():
    # Eighths at 140 bpm, palm-muted overdrive doubled by the muted guitar,
    # with an open E5 let ring at the end of every second bar.
    s = Score(12.4, 104)
    s.program(0, OVERDRIVEN)
    s.program(1, MUTED)
    eighth = 60 / 140 / 2
    a, b = "E2 E2 E2 E2 E2 E2 G2 A2", "E2 E2 E2 E2 G2 G2 A2 A2"
    bars = [a, b, a, b, a]
    t = 0.3
    for i, bar in enumerate(bars):
        for j, n in enumerate(notes(bar)):
            if i % 2 == 1 and j == 7:
                s.strum(t, 4 * eighth, notes("E2 B2 E3"), 104, spread=0.012)
                continue
            v = 100 if j % 2 == 0 else 88
            s.note(t, 0.11, n, v)
            s.note(t, 0.11, n, v - 10, channel=1)
            t += eighth
        if i % 2 == 1:
            t += 4 * eighth
    s.strum(t, 1.5, notes("E2 B2 E3"), 106, spread=0.012)
    return "palm_muted_riff", s


def power_chords_dist():
    # Root-fifth-octave on the distortion guitar: E5, G5, A5, C5, one a bar
    # at 120 bpm: a held hit, three chugs, a hit let ring.
    s = Score(11.8, 105)
    s.program(0, DISTORTION)
    beat = 0.5
    t = 0.3
    for name in ("E2 B2 E3", "G2 D3 G3", "A2 E3 A3", "C3 G3 C4"):
        chord = notes(name)
        for at, beats, v in ((0, 1.0, 104), (1.5, 0.2, 92), (2.0, 0.2, 92), (2.5, 0.2, 92),
                             (3.0, 1.0, 100)):
            s.strum(t + at * beat, beats * beat, chord, v, spread=0.012)
        t += 4 * beat
    s.strum(t, 2.5, notes("E2 B2 E3"), 106, spread=0.015)
    return "power_chords_dist", s


def nylon_arpeggio():
    # Am-C-G-E fingerpicked in eighths at 90 bpm, each chord's notes ringing
    # until the next chord.
    s = Score(13.0, 106)
    s.program(0, NYLON)
    eighth = 60 / 90 / 2
    order = [0, 2, 3, 4, 3, 2, 1, 2]
    t = 0.3
    for name in ("A2 E3 A3 C4 E4", "C3 E3 G3 C4 E4", "G2 B2 D3 G3 B3", "E2 B2 E3 G#3 B3"):
        chord = notes(name)
        for i, k in enumerate(order):
            s.note(t + i * eighth, (8 - i) * eighth, chord[k], 78 if i == 0 else 66)
        t += 8 * eighth
    s.strum(t, 1.8, notes("A2 E3 A3 C4 E4"), 80, spread=0.04)
    return "nylon_arpeggio", s


def phrases_silence():
    # Four 2 s phrases (A minor pentatonic, clean electric), 1.5 s of silence
    # between them.
    s = Score(13.6, 107)
    s.program(0, CLEAN)
    phrases = ["A3 C4 D4 E4 G4", "A4 G4 E4 D4 C4", "E4 G4 A4 C5 A4", "D4 C4 A3 G3 A3"]
    t = 0.3
    for p in phrases:
        ns = notes(p)
        for i, n in enumerate(ns[:-1]):
            s.note(t + 0.25 * i, 0.24, n, 80)
        s.note(t + 0.25 * (len(ns) - 1), 2.0 - 0.25 * (len(ns) - 1), ns[-1], 88)
        t += 3.5
    return "phrases_silence", s


def bends_300_250():
    # D4 293.7 Hz bent slowly up a whole tone to E4 329.6 (passing 300 Hz
    # 0.47 s into the bend, at 4.5 s), held, let down; then B3 246.9 Hz up to
    # C#4 277.2 (passing 250 Hz at 8.8 s).
    s = Score(13.0, 108)
    s.program(0, OVERDRIVEN)
    s.note(0.5, 0.9, midi_note("A3"), 90)
    s.note(1.5, 0.9, midi_note("B3"), 90)
    s.note(2.5, 5.0, midi_note("D4"), 96)
    s.bend(4.0, 6.5, 0, 200)
    s.bend(7.0, 7.4, 200, 0)
    s.note(8.0, 4.5, midi_note("B3"), 96)
    s.bend(8.5, 11.0, 0, 200)
    s.bend(12.0, 12.4, 200, 0)
    return "bends_300_250", s


# ---- the tuning set

def d_a_major_steel():
    s = Score(12.6, 201)
    s.program(0, STEEL)
    d, a = notes("D3 A3 D4 F#4"), notes("A2 E3 A3 C#4 E4")
    t = 0.3
    for chord in (d, a, d, a):
        t = strum_pattern(s, t, 60 / 90, FOLK, chord, accent=92, upper=3)
    s.strum(t, 1.6, d, 96, spread=0.03)
    return "d_a_major_steel", s


def c_arpeggio_clean():
    # Cmaj7-Fmaj7-Dm7-G7 picked in eighths at 100 bpm.
    s = Score(12.0, 202)
    s.program(0, CLEAN)
    eighth = 0.3
    order = [0, 1, 2, 3, 4, 3, 2, 1]
    t = 0.3
    for name in ("C3 G3 B3 E4 G4", "F2 C3 E3 A3 C4", "D3 A3 C4 F4 A4", "G2 D3 F3 B3 D4"):
        chord = notes(name)
        for i, k in enumerate(order):
            s.note(t + i * eighth, (8 - i) * eighth, chord[k], 80 if i == 0 else 68)
        t += 8 * eighth
    s.strum(t, 1.6, notes("C3 G3 B3 E4 G4"), 82, spread=0.03)
    return "c_arpeggio_clean", s


def overdriven_line():
    # D minor pentatonic, eighths and quarters at 96 bpm.
    s = Score(13.2, 203)
    s.program(0, OVERDRIVEN)
    beat = 60 / 96
    line = [("D3 F3 G3 A3", 0.5), ("C4", 1.0), ("A3 G3", 0.5), ("F3", 1.0), ("D3 F3", 0.5),
            ("G3 A3 C4 D4", 0.5), ("F4", 1.5), ("D4", 0.5), ("C4 A3", 0.5), ("G3", 1.0),
            ("A3", 2.0), ("D4 C4 A3 G3", 0.5), ("F3 G3", 0.5), ("A3", 1.0), ("D3", 2.0)]
    t = 0.3
    for names, beats in line:
        for n in notes(names):
            s.note(t, 0.9 * beats * beat, n, 92)
            t += beats * beat
    return "overdriven_line", s


def bend_350():
    # E4 329.6 Hz bent up a whole tone to F#4 370.0 (through 350 and 360 Hz),
    # then G3 196 Hz up to A3 220 (through 200 Hz).
    s = Score(11.5, 204)
    s.program(0, CLEAN)
    s.note(0.5, 5.0, midi_note("E4"), 98)
    s.bend(1.5, 4.0, 0, 200)
    s.bend(5.0, 5.4, 200, 0)
    s.note(6.0, 4.6, midi_note("G3"), 98)
    s.bend(6.8, 9.3, 0, 200)
    return "bend_350", s


def funk_muted():
    # An E9 scratch rhythm in sixteenths at 100 bpm on the muted guitar: stabs
    # on some sixteenths, ghost strokes on the others.
    s = Score(11.0, 205)
    s.program(0, MUTED)
    sixteenth = 0.15
    chord = notes("E2 G#3 D4 F#4")
    stabs = {0, 3, 6, 10, 12, 14}
    t = 0.3
    for _ in range(4):
        for i in range(16):
            if i in stabs:
                s.strum(t + i * sixteenth, 0.13, chord, 96, down=i % 2 == 0, spread=0.015)
            else:
                s.strum(t + i * sixteenth, 0.05, chord[1:], 40, down=i % 2 == 0, spread=0.01)
        t += 16 * sixteenth
    return "funk_muted", s


HELD_OUT = [g_major_steel, e_b_major_clean, jazz_melody, palm_muted_riff, power_chords_dist,
            nylon_arpeggio, phrases_silence, bends_300_250]
TUNING = [d_a_major_steel, c_arpeggio_clean, overdriven_line, bend_350, funk_muted]


# ---- rendering

def fluidsynth_command(rate, midi_path, out_path):
    # -R 0 -C 0: reverb and chorus off; -O float: no 16-bit dither.
    return ["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-r", str(rate), "-O", "float",
            "-T", "wav", "-F", out_path, SOUNDFONT, midi_path]


@lru_cache(maxsize=None)
def fluidsynth_version():
    if shutil.which("fluidsynth") is None:
        raise SystemExit("guitar_takes: fluidsynth is not installed (scripts/deps.sh "
                         "fluidsynth fluid-soundfont-gm python3-mido installs it)")
    if not os.path.exists(SOUNDFONT):
        raise SystemExit("guitar_takes: %s is missing (scripts/deps.sh fluid-soundfont-gm "
                         "installs it)" % SOUNDFONT)
    run = subprocess.run(["fluidsynth", "--version"], capture_output=True, text=True)
    if run.returncode != 0:
        raise SystemExit("guitar_takes: fluidsynth --version failed: " + run.stderr.strip())
    return run.stdout


def render(name, midi, rate=RENDER_RATE):
    """fluidsynth's render of midi (stereo float), from the cache when the
    same MIDI was rendered at the same rate by the same fluidsynth before."""
    key = hashlib.sha256(b"\0".join([midi, str(rate).encode(), fluidsynth_version().encode(),
                                     " ".join(fluidsynth_command(rate, "", "")).encode()]))
    path = os.path.join(CACHE, "%s-%s.wav" % (name, key.hexdigest()[:16]))
    if not os.path.exists(path):
        os.makedirs(CACHE, exist_ok=True)
        tmp = "%s.%d" % (path, os.getpid())
        with open(tmp + ".mid", "wb") as f:
            f.write(midi)
        run = subprocess.run(fluidsynth_command(rate, tmp + ".mid", tmp + ".wav"),
                             capture_output=True, text=True)
        os.remove(tmp + ".mid")
        if run.returncode != 0 or not os.path.exists(tmp + ".wav"):
            raise SystemExit("guitar_takes: fluidsynth failed on %s: %s"
                             % (name, (run.stderr or run.stdout).strip()))
        os.replace(tmp + ".wav", path)
    data, r = sf.read(path, dtype="float64", always_2d=True)
    if r != rate:
        raise SystemExit("guitar_takes: %s is at %d Hz, not %d" % (path, r, rate))
    return data


@lru_cache(maxsize=None)
def take(make, rate):
    """One take: mono, the score's length (fluidsynth renders the release
    tails past it), faded out at the end, peak -6 dBFS; read-only."""
    name, score = make()
    data = render(name, score.midi())
    x = data.mean(axis=1)
    n = int(round(score.seconds * RENDER_RATE))
    x = np.concatenate([x, np.zeros(max(n - len(x), 0))])[:n]
    fade = int(FADE_SECONDS * RENDER_RATE)
    x[-fade:] *= 0.5 + 0.5 * np.cos(np.pi * np.arange(fade) / fade)
    if rate != RENDER_RATE:
        ratio = Fraction(rate, RENDER_RATE)
        x = scipy.signal.resample_poly(x, ratio.numerator, ratio.denominator)
    x *= PEAK / np.max(np.abs(x))
    x.setflags(write=False)
    return name, x


def held_out(rate):
    """The judging set: [(name, take)] at rate."""
    return [take(make, rate) for make in HELD_OUT]


def tuning(rate):
    """The set to tune on: [(name, take)] at rate."""
    return [take(make, rate) for make in TUNING]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--write", metavar="DIR", help="write the takes there as 44.1 kHz WAV files")
    args = ap.parse_args()
    for label, takes in (("held-out", held_out(RENDER_RATE)), ("tuning", tuning(RENDER_RATE))):
        for name, x in takes:
            print("%-9s %-18s %5.1f s  %6.1f dBFS RMS"
                  % (label, name, len(x) / RENDER_RATE, 10 * np.log10(np.mean(x * x))))
            if args.write:
                os.makedirs(args.write, exist_ok=True)
                sf.write(os.path.join(args.write, "%s-%s.wav" % (label, name)), x, RENDER_RATE,
                         subtype="FLOAT")


if __name__ == "__main__":
    sys.exit(main())
