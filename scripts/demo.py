"""Runs a guitar through the plug-in in a real LV2 host (lv2file), with the hum
filter in both its modes (six notches; tracking the mains) and with a voicing,
and says what came out, with a picture.

Built-in material: real guitar takes (CC0, from Debian's sonic-pi-samples),
mixed to mono, once with mains hum (harmonics 1-6) added and once with a buzz
(harmonics 1-40), the mains frequency wandering slowly, as mains does. With
--file: the user's own recording, mixed to mono at its own rate.

Levels, A weighting and removal come from tools/hum_quality.py's own functions,
so that the demo and that tool measure the same way.

Usage: demo.py OUTDIR MAINS_HZ [--file FILE] [--seconds S]
The bundle must be on LV2_PATH. Besides the audio and the picture, OUTDIR gets
figures.json with every figure printed.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import scipy.signal  # noqa: E402
import soundfile as sf  # noqa: E402
from PIL import Image  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


# The demo measures with the quality tool's own cases and figures.
sys.path.insert(0, os.path.join(ROOT, "tools"))
import hum_quality as hq  # noqa: E402

URI = "https://calvorine.audio/calvorine-suite/utility"
SAMPLES = "/usr/share/sonic-pi/samples"
TAKES = ["guit_e_fifths.flac", "guit_em9.flac", "guit_harmonics.flac", "guit_e_slide.flac"]
GAP_SECONDS = 0.25
GUITAR_PEAK = 0.5  # -6 dBFS
# Mains hum at the fundamental and harmonics 2-6: fundamental at -43 dBFS RMS,
# odd harmonics stronger than even ones; in all about 17 dB under the guitar.
HUM_AMPS = [0.01, 0.0032, 0.0048, 0.0016, 0.0024, 0.0012]
# Mains frequency swings sinusoidally by this much (Hz) over WANDER_PERIOD.
WANDERS = [0.0, 0.05, 0.2]
WANDER_PERIOD = 10.0
# The buzz is hum_quality.py's: harmonics 1-40, -35 dBFS, its mains wandering
# +-0.02 Hz once every 1 / WANDER_RATE s.
BUZZ_WANDER = 0.02
MODES = ["notches", "tracking"]
# Tracking waits 1-2 s to find the hum before it subtracts anything, and the
# notches ring when the hum starts: the measurements leave out the same first
# seconds as hum_quality.py does.
SETTLE_SECONDS = hq.SETTLE_SECONDS
# Level in the mains bands: within this many Hz of each harmonic, up to the
# highest harmonic tracking removes.
MAINS_BAND_HZ = 1.0
LINES = hq.BUZZ_HARMONICS
NOTCHED = 6
EDGE_FADE_SECONDS = 0.1
OCTAVES = [31.5, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000]
# High enough for the buzz's harmonics to show (the 40th of 60 Hz is 2.4 kHz).
PLOT_TOP_HZ = 2500.0
PLOT_BOTTOM_HZ = 30.0

VOICING = dict(pickup_on=1, pickup_type=1, pickup_amount=0.6)
VOICING_NAME = "voicing 1 (thick mids, dark top) at amount 0.6"


def step(msg):
    print("==> " + msg, flush=True)


# Levels as the quality tool measures them.
db = hq.db
rms_db = hq.level_db


def peak_db(x):
    return 20.0 * np.log10(np.max(np.abs(x)) + 1e-30)


def mono(path):
    data, rate = sf.read(path, dtype="float64", always_2d=True)
    return data.mean(axis=1), rate


def write(path, x, rate):
    sf.write(path, x.astype(np.float32), rate, subtype="FLOAT")
    return path


def controls(mains, **extra):
    c = dict(hum_on=1, hum_50hz=1 if mains == 50 else 0, pickup_on=0, level_db=0, enabled=1)
    c.update(extra)
    return c


def run_plugin(src, dst, ctl):
    """The plug-in in lv2file (float in and out, never clamped)."""
    cmd = ["lv2file", "--ignore-clipping", "-i", src, "-o", dst]
    for sym, val in ctl.items():
        cmd += ["-p", "%s:%s" % (sym, val)]
    subprocess.run(cmd + [URI], check=True, stdout=subprocess.DEVNULL)
    out, _ = mono(dst)
    return out


class Lv2File:
    """The plug-in in lv2file as hum_quality.py calls a processor,
    process(x, rate, mains, mode) -> y, a fresh instance each call with that
    tool's controls for the mode. Outputs are kept by input and mode, so that
    the guitar alone runs once per mode and the demo can save what it heard."""

    def __init__(self, work):
        self.work, self.runs = work, {}

    def _key(self, x, rate, mains, mode):
        return hashlib.sha1(hq.as_input(x).tobytes()).hexdigest(), rate, mains, mode

    def __call__(self, x, rate, mains, mode):
        key = self._key(x, rate, mains, mode)
        if key not in self.runs:
            n = len(self.runs)
            src = write(os.path.join(self.work, "in_%d.wav" % n), hq.as_input(x), rate)
            dst = os.path.join(self.work, "out_%d_%s.wav" % (n, mode))
            ctl = controls(mains, **hq.UtilityHost.CONTROLS[mode])
            self.runs[key] = (dst, run_plugin(src, dst, ctl))
        return self.runs[key][1]

    def save(self, x, rate, mains, mode, path):
        """lv2file's own output file for x, copied to path."""
        self(x, rate, mains, mode)
        shutil.copyfile(self.runs[self._key(x, rate, mains, mode)][0], path)
        return path


def guitar_takes(seconds):
    """The takes in turn, and where each one is: (name, first, end) samples."""
    parts, spans, rate, at = [], [], None, 0
    for name in TAKES:
        x, r = mono(os.path.join(SAMPLES, name))
        if rate is not None and r != rate:
            sys.exit("%s: %d Hz, the other takes %d Hz" % (name, r, rate))
        rate = r
        parts += [x, np.zeros(int(GAP_SECONDS * r))]
        spans.append((os.path.splitext(name)[0], at, at + len(x)))
        at += len(x) + len(parts[-1])
    g = np.concatenate(parts[:-1])
    g *= GUITAR_PEAK / np.max(np.abs(g))
    if seconds:
        g = g[: int(seconds * rate)]
    return g, rate, spans


def mains_hum(n, rate, mains, wander):
    """Hum whose frequency is mains + wander * sin(2 pi t / WANDER_PERIOD)."""
    t = np.arange(n) / rate
    swing = np.cos(2 * np.pi * t / WANDER_PERIOD) - 1
    phase = 2 * np.pi * mains * t - wander * WANDER_PERIOD * swing
    return sum(a * np.sin((k + 1) * phase + k) for k, a in enumerate(HUM_AMPS))


def octave_changes(on, off, rate):
    """Octave bands of the guitar with the hum filter on against off (dB), every
    moment of the take weighing the same."""
    nyquist = rate / 2
    octaves = [c for c in OCTAVES if c / np.sqrt(2) < nyquist]
    edges = [(c / np.sqrt(2), min(c * np.sqrt(2), nyquist)) for c in octaves]
    # Short fades at the ends: a take cut off mid-note would otherwise end in a
    # step whose spread, different in and out, swamps the quiet bands.
    fade = scipy.signal.windows.tukey(len(on), min(1.0, 2 * EDGE_FADE_SECONDS * rate / len(on)))
    change = db(hq.band_power(on * fade, rate, edges)) - db(hq.band_power(off * fade, rate, edges))
    return {"%g" % c: float(v) for c, v in zip(octaves, change)}


def band_label(band):
    c = float(band)
    return "%g" % c if c < 1000 else "%gk" % (c / 1000)


def spectrogram(x, rate):
    """Times, frequencies and levels (dBFS for a sine) up to PLOT_TOP_HZ; a
    window about 0.37 s long resolves harmonics 50 Hz apart."""
    nfft = 1 << int(round(np.log2(rate * 0.37)))
    while nfft > len(x) and nfft > 256:
        nfft //= 2
    x = np.pad(x, (0, max(0, nfft - len(x))))
    hop = max(nfft // 8, (len(x) - nfft) // 400 + 1)
    frames = np.lib.stride_tricks.sliding_window_view(x, nfft)[::hop]
    w = np.hanning(nfft)
    top = int(PLOT_TOP_HZ * nfft / rate) + 1
    power = np.abs(np.fft.rfft(frames * w, axis=1)[:, :top]) ** 2 * 2.0 / np.sum(w) ** 2
    times = (np.arange(len(frames)) * hop + nfft / 2) / rate
    return times, np.arange(top) * rate / nfft, db(power).T


def picture(path, rate, mains, panels, title):
    """One spectrogram per (label, signal, note) in panels, on a log frequency
    axis (the notched harmonics get room, the buzz's upper ones still show), the
    mains harmonics marked at the right edge so that the lines stay visible."""
    fig, axes = plt.subplots(len(panels), 1, figsize=(10, 0.9 + 2.8 * len(panels)), sharex=True,
                             layout="constrained")
    grams = [spectrogram(x, rate) for _, x, _ in panels]
    vmax = np.ceil(max(s[2].max() for s in grams) / 10) * 10
    shown = [k for k in range(1, LINES + 1) if k * mains < PLOT_TOP_HZ]
    labelled = [k for k in shown if k in (1, 2, 3, 6) or k % 10 == 0]
    for ax, (t, f, level), (label, _, note) in zip(axes, grams, panels):
        im = ax.pcolormesh(t, f, level, shading="nearest", cmap="magma", vmin=vmax - 100,
                           vmax=vmax, rasterized=True)
        ax.set_yscale("log")
        ax.set_ylim(PLOT_BOTTOM_HZ, PLOT_TOP_HZ)
        ax.set_yticks([50, 100, 200, 500, 1000, 2000])
        ax.set_yticklabels(["50", "100", "200", "500", "1k", "2k"])
        ax.minorticks_off()
        ax.set_ylabel("frequency (Hz)")
        ax.set_title(label, loc="left", fontsize=11)
        # A tick at every harmonic, numbered at a few; the six the notches sit on
        # also marked with a triangle.
        marks = ax.secondary_yaxis("right")
        marks.set_yticks([k * mains for k in shown], minor=True)
        marks.set_yticks([k * mains for k in labelled])
        marks.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        marks.set_yticklabels(["%d" % k for k in labelled], fontsize=8, color="darkcyan")
        marks.tick_params(which="both", color="darkcyan")
        marks.set_ylabel("mains harmonic", color="darkcyan")
        edge = matplotlib.transforms.blended_transform_factory(ax.transAxes, ax.transData)
        ax.scatter([1.0] * NOTCHED, [k * mains for k in range(1, NOTCHED + 1)], marker="<",
                   s=25, color="cyan", transform=edge, clip_on=False, zorder=3)
        if note:
            ax.text(0.01, 0.96, note, transform=ax.transAxes, va="top", fontsize=9,
                    color="white", bbox=dict(facecolor="black", alpha=0.6, edgecolor="none"))
    fig.colorbar(im, ax=axes, pad=0.01, shrink=0.6, label="level (dBFS)")
    axes[-1].set_xlabel("time (s)")
    fig.suptitle(title, fontsize=12)
    fig.savefig(path, dpi=80)
    plt.close(fig)
    # 256 colours look the same here and make the file a third of the size.
    Image.open(path).convert("RGB").quantize(256).save(path, optimize=True)


def case_label(key, mains):
    if key == "buzz":
        return "buzz (1-%d), wandering +-%g Hz" % (hq.BUZZ_HARMONICS, BUZZ_WANDER)
    if float(key) == 0:
        return "hum, mains at exactly %d.000 Hz" % mains
    return "hum, mains wandering +-%s Hz" % key


def built_in(outdir, mains, seconds):
    step("Reading the guitar takes from %s (CC0): %s; mixing to mono"
         % (SAMPLES, ", ".join(TAKES)))
    guitar, rate, spans = guitar_takes(seconds)
    n = len(guitar)
    step("Adding mains hum (%d Hz and harmonics 2-6), at exactly %d Hz and wandering %s Hz "
         "around it (one swing every %g s)"
         % (mains, mains, " and ".join("+-%g" % w for w in WANDERS[1:]), WANDER_PERIOD))
    step("And, separately, a buzz: harmonics 1-%d of %d Hz mains, 1/h, odd ones 6 dB above "
         "even ones, %g dBFS in all, wandering +-%g Hz (one swing every %g s)"
         % (hq.BUZZ_HARMONICS, mains, hq.BUZZ_DBFS, BUZZ_WANDER, 1 / hq.WANDER_RATE))
    interference = {"%g" % w: mains_hum(n, rate, mains, w) for w in WANDERS}
    interference["buzz"] = hq.buzz(n, rate, mains, BUZZ_WANDER, hq.SEED)
    listen = "%g" % WANDERS[1]
    work = os.path.join(outdir, "work")
    os.makedirs(work, exist_ok=True)
    process = Lv2File(work)

    step("Running the plug-in in lv2file, a fresh instance each time: the guitar alone with "
         "the hum filter off; the guitar alone, with each hum and with the buzz, in both modes "
         "of the hum filter (notches: hum_on=1; tracking: hum_on=1 hum_track=1)")
    src_guitar = write(os.path.join(work, "guitar.wav"), guitar, rate)
    guitar_off = run_plugin(src_guitar, os.path.join(work, "guitar_hum_filter_off.wav"),
                            controls(mains, hum_on=0))
    skip = int(SETTLE_SECONDS * rate)
    modes = {}
    for mode in MODES:
        out_guitar = process(guitar, rate, mains, mode)
        removal, takes = {}, {}
        for key, i in interference.items():
            removal[key], in_a, left_a = hq.removal(process, guitar, i, rate, mains, mode,
                                                    SETTLE_SECONDS, out_guitar)
            takes[key] = hq.per_take(in_a, left_a, spans, skip, rate)
        modes[mode] = dict(removal=removal, per_take_a_db=takes,
                           band_change_db=octave_changes(out_guitar, guitar_off, rate))

    hum_path = write(os.path.join(outdir, "guitar_with_hum.wav"),
                     guitar + interference[listen], rate)
    buzz_path = write(os.path.join(outdir, "guitar_with_buzz.wav"),
                      guitar + interference["buzz"], rate)
    after = process(guitar + interference[listen], rate, mains, "notches")
    processed_path = process.save(guitar + interference[listen], rate, mains, "notches",
                                  os.path.join(outdir, "processed.wav"))
    buzz_outs, buzz_paths = {}, {}
    for mode in MODES:
        buzz_outs[mode] = process(guitar + interference["buzz"], rate, mains, mode)
        buzz_paths[mode] = process.save(guitar + interference["buzz"], rate, mains, mode,
                                        os.path.join(outdir, "processed_%s.wav" % mode))
    step("Then with the hum filter (notches) and %s" % VOICING_NAME)
    voiced_path = os.path.join(outdir, "processed_voiced.wav")
    voiced = run_plugin(hum_path, voiced_path, controls(mains, **VOICING))

    print()
    print("Removed by the hum filter (%d Hz mains), dB unweighted / A-weighted, after the first"
          " %g s" % (mains, SETTLE_SECONDS))
    print("(tracking waits 1-2 s to find the hum before it subtracts anything): the level in,")
    print("against the output for guitar + interference minus the output for the guitar alone.")
    print("The notches are linear, so that difference is the hum left; tracking adapts, so any")
    print("change the interference makes to how it treats the guitar counts as left too.")
    print("  %-34s %15s %15s" % ("", "notches", "tracking"))
    for key in interference:
        print("  %-34s" % case_label(key, mains) + "".join(
            " %15s" % ("%.1f / %.1f" % (modes[m]["removal"][key]["removal_db"],
                                        modes[m]["removal"][key]["removal_a_db"]))
            for m in MODES))
    hum = {m: modes[m]["removal"][listen] for m in MODES}
    bz = {m: modes[m]["removal"]["buzz"] for m in MODES}
    print("Hum take to listen to (wandering +-%s Hz): %.1f dBFS in; left %s." % (
        listen, hum["notches"]["in_dbfs"],
        ", ".join("%.1f dBFS (%s)" % (hum[m]["left_dbfs"], m) for m in MODES)))
    print("Buzz take: %.1f dBFS (%.1f dB A) in; left %s." % (
        bz["notches"]["in_dbfs"], bz["notches"]["in_dba"],
        ", ".join("%.1f dBFS (%.1f dB A, %s)" % (bz[m]["left_dbfs"], bz[m]["left_dba"], m)
                  for m in MODES)))
    shown = [(name, max(first, skip), min(end, n)) for name, first, end in spans
             if name in modes["notches"]["per_take_a_db"]["buzz"]]
    print("Removed while each take plays, dB A-weighted (from %g s on):" % SETTLE_SECONDS)
    print("  %-26s" % "" + "".join("%15s" % name for name, _, _ in shown))
    print("  %-26s" % "" + "".join("%15s" % ("%.1f-%.1f s" % (a / rate, b / rate))
                                   for _, a, b in shown))
    for key in interference:
        short = ("buzz +-%g Hz" % BUZZ_WANDER if key == "buzz" else
                 "hum %d.000 Hz" % mains if float(key) == 0 else "hum +-%s Hz" % key)
        for m in MODES:
            print("  %-26s" % ("%s, %s" % (short, m)) + "".join(
                "%15.1f" % modes[m]["per_take_a_db"][key][name] for name, _, _ in shown))
    print("What each mode takes from the guitar (guitar alone, hum filter on vs off, whole take),"
          " dB per octave band:")
    bands = list(modes["notches"]["band_change_db"])
    print("  %-9s" % "" + "".join("%7s" % band_label(b) for b in bands))
    for m in MODES:
        print("  %-9s" % m + "".join("%+7.2f" % modes[m]["band_change_db"][b] for b in bands))
    print("Guitar level with %s: %+.1f dB (peak %.1f dBFS)."
          % (VOICING_NAME, rms_db(voiced) - rms_db(after), peak_db(voiced)))

    png = os.path.join(outdir, "spectrogram.png")
    step("Drawing the spectrograms")
    note = "buzz removed: %.1f dB, %.1f dB A-weighted (from %g s on)"
    picture(png, rate, mains, [
        ("before", guitar + interference["buzz"], None),
        ("hum filter, notches (harmonics 1-%d)" % NOTCHED, buzz_outs["notches"],
         note % (bz["notches"]["removal_db"], bz["notches"]["removal_a_db"], SETTLE_SECONDS)),
        ("hum filter, tracking (hum_track on)", buzz_outs["tracking"],
         note % (bz["tracking"]["removal_db"], bz["tracking"]["removal_a_db"], SETTLE_SECONDS))],
        "Guitar takes with %d Hz buzz (harmonics 1-%d) wandering \u00b1%g Hz, through the "
        "hum filter in lv2file" % (mains, hq.BUZZ_HARMONICS, BUZZ_WANDER))
    notches = modes["notches"]
    return dict(mode="built-in", mains=mains, rate=rate, settle_s=SETTLE_SECONDS,
                input=hum_path, processed=processed_path, voiced=voiced_path, png=png,
                hum_removed_db={k: notches["removal"][k]["removal_db"] for k in interference
                                if k != "buzz"},
                hum_in_dbfs=hum["notches"]["in_dbfs"], hum_left_dbfs=hum["notches"]["left_dbfs"],
                band_change_db=notches["band_change_db"],
                buzz_input=buzz_path, processed_notches=buzz_paths["notches"],
                processed_tracking=buzz_paths["tracking"], modes=modes)


def own_file(outdir, mains, path):
    step("Reading %s, mixing it to mono" % path)
    x, rate = mono(path)
    info = sf.info(path)
    print("    %d channel(s), %d Hz, %.1f s" % (info.channels, rate, len(x) / rate))
    src = write(os.path.join(outdir, "input_mono.wav"), x, rate)
    work = os.path.join(outdir, "work")
    os.makedirs(work, exist_ok=True)
    process = Lv2File(work)
    step("Running the plug-in in lv2file with the %d Hz hum filter on, in both modes "
         "(notches: hum_on=1; tracking: hum_on=1 hum_track=1)" % mains)
    outs = {m: process(x, rate, mains, m) for m in MODES}
    processed_path = process.save(x, rate, mains, "notches", os.path.join(outdir, "processed.wav"))
    tracking_path = process.save(x, rate, mains, "tracking",
                                 os.path.join(outdir, "processed_tracking.wav"))
    step("Then with the hum filter (notches) and %s" % VOICING_NAME)
    voiced_path = os.path.join(outdir, "processed_voiced.wav")
    voiced = run_plugin(src, voiced_path, controls(mains, **VOICING))

    skip = int(SETTLE_SECONDS * rate) if len(x) >= 2 * SETTLE_SECONDS * rate else 0
    harmonics = [mains * k for k in range(1, LINES + 1) if mains * k + MAINS_BAND_HZ < rate / 2]
    edges = [(h - MAINS_BAND_HZ, h + MAINS_BAND_HZ) for h in harmonics]
    # Hann-windowed, so that a line's level does not leak into its neighbours.
    levels = {"before": db(hq.band_power(x[skip:], rate, edges, pad=2))}
    for m in MODES:
        levels[m] = db(hq.band_power(outs[m][skip:], rate, edges, pad=2))
    totals = {k: float(db(np.sum(10 ** (v / 10)))) for k, v in levels.items()}

    print()
    print("Levels (RMS, and peak):")
    for label, sig in (("input (mono)", x), ("hum filter, notches", outs["notches"]),
                       ("hum filter, tracking", outs["tracking"]),
                       ("notches + voicing", voiced)):
        print("  %-22s %6.1f dBFS  (peak %6.1f dBFS)" % (label, rms_db(sig), peak_db(sig)))
    if skip:
        print("Level within +-%g Hz of each mains harmonic, from %g s on (once tracking has found"
              " the hum), dBFS:" % (MAINS_BAND_HZ, SETTLE_SECONDS))
    else:
        print("Level within +-%g Hz of each mains harmonic, over the whole file (under %g s: the"
              " time tracking takes to find the hum counts too), dBFS:"
              % (MAINS_BAND_HZ, 2 * SETTLE_SECONDS))
    # Two columns of lines, so that forty of them fit on a screen.
    rows = (len(harmonics) + 1) // 2
    cell = "  %7s %8s %8s %8s"
    print((cell % ("", "before", "notches", "tracking")) * min(2, len(harmonics)))
    for r in range(rows):
        print("".join(cell % ("%d Hz" % harmonics[i], "%.1f" % levels["before"][i],
                              "%.1f" % levels["notches"][i], "%.1f" % levels["tracking"][i])
                      for i in (r, r + rows) if i < len(harmonics)))
    print("  %7s %8.1f %8.1f %8.1f  (%.1f and %.1f dB less)"
          % ("all", totals["before"], totals["notches"], totals["tracking"],
             totals["before"] - totals["notches"], totals["before"] - totals["tracking"]))
    print("  (the bands hold whatever the guitar itself plays there too)")
    if peak_db(voiced) > 0:
        print("The voiced output goes over full scale: lower Level before playing it back.")

    png = os.path.join(outdir, "spectrogram.png")
    step("Drawing the spectrograms")
    note = "within \u00b1%g Hz of mains harmonics 1-%d: %.1f -> %.1f dBFS"
    picture(png, rate, mains, [
        ("before", x, None),
        ("hum filter, notches", outs["notches"],
         note % (MAINS_BAND_HZ, len(harmonics), totals["before"], totals["notches"])),
        ("hum filter, tracking (hum_track on)", outs["tracking"],
         note % (MAINS_BAND_HZ, len(harmonics), totals["before"], totals["tracking"]))],
        "%s through the %d Hz hum filter in lv2file" % (os.path.basename(path), mains))
    return dict(mode="file", mains=mains, rate=rate, settle_s=SETTLE_SECONDS if skip else 0.0,
                input=src, processed=processed_path, processed_tracking=tracking_path,
                voiced=voiced_path, png=png, input_dbfs=rms_db(x),
                output_dbfs=rms_db(outs["notches"]), tracking_dbfs=rms_db(outs["tracking"]),
                voiced_dbfs=rms_db(voiced),
                mains_bands=[dict(hz=h, before_dbfs=float(levels["before"][i]),
                                  after_dbfs=float(levels["notches"][i]),
                                  tracking_dbfs=float(levels["tracking"][i]))
                             for i, h in enumerate(harmonics)],
                mains_before_dbfs=totals["before"], mains_after_dbfs=totals["notches"],
                mains_tracking_dbfs=totals["tracking"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("outdir")
    ap.add_argument("mains", type=int, choices=[50, 60])
    ap.add_argument("--file", help="your own recording (anything libsndfile reads)")
    ap.add_argument("--seconds", type=float,
                    help="use only the first S seconds of the guitar takes")
    args = ap.parse_args()
    os.makedirs(args.outdir, exist_ok=True)
    if args.file:
        figures = own_file(args.outdir, args.mains, args.file)
    else:
        figures = built_in(args.outdir, args.mains, args.seconds)
    with open(os.path.join(args.outdir, "figures.json"), "w") as f:
        json.dump(figures, f, indent=1)
    print()
    if args.file:
        print("Processed audio: %s (hum filter, notches), %s (tracking), %s (notches and voicing)"
              % (figures["processed"], figures["processed_tracking"], figures["voiced"]))
    else:
        print("Processed audio: %s (hum take, notches), %s (and voicing),"
              % (figures["processed"], figures["voiced"]))
        print("                 %s and %s (buzz take, notches and tracking)"
              % (figures["processed_notches"], figures["processed_tracking"]))
    print("Picture:         %s" % figures["png"])


if __name__ == "__main__":
    main()
