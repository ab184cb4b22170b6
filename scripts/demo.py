"""Runs a guitar through the plug-in in a real LV2 host (lv2file), with the hum
filter on and then with a voicing, and says what came out, with a picture.

Built-in material: real guitar takes (CC0, from Debian's sonic-pi-samples),
mixed to mono, with mains hum added whose frequency wanders slowly, as mains
does. With --file: the user's own recording, mixed to mono at its own rate.

Usage: demo.py OUTDIR MAINS_HZ [--file FILE] [--seconds S]
The bundle must be on LV2_PATH. Besides the audio and the picture, OUTDIR gets
figures.json with every figure printed.
"""
import argparse
import json
import os
import subprocess
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import soundfile as sf  # noqa: E402
from PIL import Image  # noqa: E402

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
# The notches ring for a few hundred ms when the hum starts; their start-up is
# left out of the hum measurements (at 50 Hz it has decayed by 150 dB by 2 s).
SETTLE_SECONDS = 2.0
# Level in the mains bands: within this many Hz of each harmonic.
MAINS_BAND_HZ = 1.0
OCTAVES = [31.5, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000]
PLOT_TOP_HZ = 500.0

VOICING = dict(pickup_on=1, pickup_type=1, pickup_amount=0.6)
VOICING_NAME = "voicing 1 (thick mids, dark top) at amount 0.6"


def step(msg):
    print("==> " + msg, flush=True)


def db(ms):
    return 10.0 * np.log10(ms + 1e-30)


def rms_db(x):
    return db(np.mean(np.square(x)))


def peak_db(x):
    return 20.0 * np.log10(np.max(np.abs(x)) + 1e-30)


def band_ms(x, rate, bands):
    """Mean square of x within each (lo, hi) band, from one Hann-windowed FFT;
    a sine inside a band gives its own mean square."""
    w = np.hanning(len(x))
    power = np.abs(np.fft.rfft(x * w)) ** 2 * 2.0 / (len(x) * np.sum(w * w))
    freqs = np.fft.rfftfreq(len(x), 1.0 / rate)
    return [float(np.sum(power[(freqs >= lo) & (freqs < hi)])) for lo, hi in bands]


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


def guitar_takes(seconds):
    parts, rate = [], None
    for name in TAKES:
        x, r = mono(os.path.join(SAMPLES, name))
        if rate is not None and r != rate:
            sys.exit("%s: %d Hz, the other takes %d Hz" % (name, r, rate))
        rate = r
        parts += [x, np.zeros(int(GAP_SECONDS * r))]
    g = np.concatenate(parts[:-1])
    g *= GUITAR_PEAK / np.max(np.abs(g))
    if seconds:
        g = g[: int(seconds * rate)]
    return g, rate


def mains_hum(n, rate, mains, wander):
    """Hum whose frequency is mains + wander * sin(2 pi t / WANDER_PERIOD)."""
    t = np.arange(n) / rate
    swing = np.cos(2 * np.pi * t / WANDER_PERIOD) - 1
    phase = 2 * np.pi * mains * t - wander * WANDER_PERIOD * swing
    return sum(a * np.sin((k + 1) * phase + k) for k, a in enumerate(HUM_AMPS))


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


def picture(path, rate, mains, before, after, title, note):
    fig, axes = plt.subplots(2, 1, figsize=(10, 7.5), sharex=True)
    grams = [spectrogram(before, rate), spectrogram(after, rate)]
    vmax = np.ceil(max(s[2].max() for s in grams) / 10) * 10
    harmonics = [mains * k for k in range(1, 7)]
    for ax, (t, f, level), label in zip(axes, grams, ["before", "after the hum filter"]):
        im = ax.pcolormesh(t, f, level, shading="nearest", cmap="magma", vmin=vmax - 100,
                           vmax=vmax, rasterized=True)
        ax.set_ylim(0, PLOT_TOP_HZ)
        ax.set_ylabel("frequency (Hz)")
        ax.set_title(label, loc="left", fontsize=11)
        # The mains harmonics, marked at the edges so the lines themselves stay visible.
        edge = matplotlib.transforms.blended_transform_factory(ax.transAxes, ax.transData)
        for x, marker in ((0.0, ">"), (1.0, "<")):
            ax.scatter([x] * len(harmonics), harmonics, marker=marker, s=40, color="cyan",
                       transform=edge, clip_on=False, zorder=3)
        marks = ax.secondary_yaxis("right")
        marks.set_yticks(harmonics)
        marks.set_yticklabels(["%d Hz" % h for h in harmonics], fontsize=8, color="darkcyan")
        marks.set_ylabel("mains and harmonics 2-6", color="darkcyan")
        fig.colorbar(im, ax=ax, pad=0.1, label="level (dBFS)")
    axes[1].text(0.01, 0.97, note, transform=axes[1].transAxes, va="top", fontsize=9,
                 color="white", bbox=dict(facecolor="black", alpha=0.6, edgecolor="none"))
    axes[1].set_xlabel("time (s)")
    fig.suptitle(title, fontsize=12)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)
    # 256 colours look the same here and make the file a third of the size.
    Image.open(path).convert("RGB").quantize(256).save(path, optimize=True)


def built_in(outdir, mains, seconds):
    step("Reading the guitar takes from %s (CC0): %s; mixing to mono"
         % (SAMPLES, ", ".join(TAKES)))
    guitar, rate = guitar_takes(seconds)
    step("Adding mains hum (%d Hz and harmonics 2-6), at exactly %d Hz and wandering %s Hz "
         "around it (one swing every %g s)"
         % (mains, mains, " and ".join("+-%g" % w for w in WANDERS[1:]), WANDER_PERIOD))
    hums = {w: mains_hum(len(guitar), rate, mains, w) for w in WANDERS}
    listen = WANDERS[1]
    work = os.path.join(outdir, "work")
    os.makedirs(work, exist_ok=True)
    src_guitar = write(os.path.join(work, "guitar.wav"), guitar, rate)

    on, off = controls(mains), controls(mains, hum_on=0)
    step("Running the plug-in in lv2file: the guitar alone with the hum filter on and off, "
         "and the guitar with each hum, hum filter on")
    guitar_on = run_plugin(src_guitar, os.path.join(work, "guitar_hum_filter_on.wav"), on)
    guitar_off = run_plugin(src_guitar, os.path.join(work, "guitar_hum_filter_off.wav"), off)
    # The plug-in is linear, so its output for guitar + hum minus its output
    # for the guitar alone is what is left of the hum in the mix.
    skip = int(SETTLE_SECONDS * rate)
    removed, mixes, outs = {}, {}, {}
    for w in WANDERS:
        mixes[w] = guitar + hums[w]
        name = "guitar_with_hum" if w == listen else "work/guitar_with_hum_%g" % w
        src = write(os.path.join(outdir, name + ".wav"), mixes[w], rate)
        dst = os.path.join(outdir, "processed.wav" if w == listen else "work/processed_%g.wav" % w)
        outs[w] = run_plugin(src, dst, on)
        removed[w] = rms_db(hums[w][skip:]) - rms_db(outs[w][skip:] - guitar_on[skip:])
    before, after = mixes[listen], outs[listen]
    src_before = os.path.join(outdir, "guitar_with_hum.wav")
    processed_path = os.path.join(outdir, "processed.wav")
    step("Then with the hum filter and %s" % VOICING_NAME)
    voiced_path = os.path.join(outdir, "processed_voiced.wav")
    voiced = run_plugin(src_before, voiced_path, controls(mains, **VOICING))

    nyquist = rate / 2
    octaves = [c for c in OCTAVES if c / np.sqrt(2) < nyquist]
    edges = [(c / np.sqrt(2), min(c * np.sqrt(2), nyquist)) for c in octaves]
    bands = [db(a) - db(b)
             for a, b in zip(band_ms(guitar_on, rate, edges), band_ms(guitar_off, rate, edges))]
    hum_in = rms_db(hums[listen][skip:])
    hum_left = rms_db(after[skip:] - guitar_on[skip:])

    print()
    print("Hum removed by the hum filter (%d Hz mains, after the first %g s while the notches"
          " settle):" % (mains, SETTLE_SECONDS))
    print("  the hum's level in, against what is left of it out: the output for guitar + hum")
    print("  minus the output for the guitar alone (the plug-in is linear, so that difference")
    print("  is the hum).")
    for w in WANDERS:
        label = "mains at exactly %d.000 Hz" % mains if w == 0 else "mains wandering +-%g Hz" % w
        print("  %-32s %6.1f dB" % (label, removed[w]))
    print("In the take to listen to (hum wandering +-%g Hz): hum %.1f dBFS in, %.1f dBFS left out."
          % (listen, hum_in, hum_left))
    print("What the notches take from the guitar (guitar alone, hum filter on vs off),"
          " per octave band:")
    for c, change in zip(octaves, bands):
        print("  %7s Hz  %+6.2f dB" % ("%g" % c if c < 1000 else "%gk" % (c / 1000), change))
    print("Guitar level with %s: %+.1f dB (peak %.1f dBFS)."
          % (VOICING_NAME, rms_db(voiced) - rms_db(after), peak_db(voiced)))

    png = os.path.join(outdir, "spectrogram.png")
    step("Drawing the spectrograms")
    note = ("hum removed: %.0f dB at exactly %d Hz, %.0f dB wandering \u00b1%g Hz, "
            "%.0f dB at \u00b1%g Hz" % (removed[0.0], mains, removed[WANDERS[1]], WANDERS[1],
                                         removed[WANDERS[2]], WANDERS[2]))
    picture(png, rate, mains, before, after,
            "Guitar takes with %d Hz mains hum wandering \u00b1%g Hz, through the hum filter "
            "in lv2file" % (mains, listen), note)
    return dict(mode="built-in", mains=mains, rate=rate, input=src_before,
                processed=processed_path, voiced=voiced_path,
                png=png, hum_removed_db={"%g" % w: removed[w] for w in WANDERS},
                hum_in_dbfs=hum_in, hum_left_dbfs=hum_left,
                band_change_db={"%g" % c: b for c, b in zip(octaves, bands)})


def own_file(outdir, mains, path):
    step("Reading %s, mixing it to mono" % path)
    x, rate = mono(path)
    info = sf.info(path)
    print("    %d channel(s), %d Hz, %.1f s" % (info.channels, rate, len(x) / rate))
    src = write(os.path.join(outdir, "input_mono.wav"), x, rate)
    step("Running the plug-in in lv2file with the %d Hz hum filter on" % mains)
    processed_path = os.path.join(outdir, "processed.wav")
    after = run_plugin(src, processed_path, controls(mains))
    step("Then with the hum filter and %s" % VOICING_NAME)
    voiced_path = os.path.join(outdir, "processed_voiced.wav")
    voiced = run_plugin(src, voiced_path, controls(mains, **VOICING))

    skip = int(SETTLE_SECONDS * rate) if len(x) >= 2 * SETTLE_SECONDS * rate else 0
    harmonics = [mains * k for k in range(1, 7) if mains * k + MAINS_BAND_HZ < rate / 2]
    edges = [(h - MAINS_BAND_HZ, h + MAINS_BAND_HZ) for h in harmonics]
    ins = [db(m) for m in band_ms(x[skip:], rate, edges)]
    outs = [db(m) for m in band_ms(after[skip:], rate, edges)]
    total_in = db(sum(10 ** (v / 10) for v in ins))
    total_out = db(sum(10 ** (v / 10) for v in outs))

    print()
    print("Levels (RMS, and peak):")
    for label, sig in (("input (mono)", x), ("hum filter", after),
                       ("hum filter + voicing", voiced)):
        print("  %-22s %6.1f dBFS  (peak %6.1f dBFS)" % (label, rms_db(sig), peak_db(sig)))
    settled = " (from %g s on, once the notches have settled)" % SETTLE_SECONDS if skip else ""
    print("Level within +-%g Hz of each mains harmonic%s, before -> after the hum filter:"
          % (MAINS_BAND_HZ, settled))
    for h, a, b in zip(harmonics, ins, outs):
        print("  %4d Hz  %7.1f -> %7.1f dBFS" % (h, a, b))
    print("  all       %7.1f -> %7.1f dBFS  (%.1f dB less)"
          % (total_in, total_out, total_in - total_out))
    if peak_db(voiced) > 0:
        print("The voiced output goes over full scale: lower Level before playing it back.")

    png = os.path.join(outdir, "spectrogram.png")
    step("Drawing the spectrograms")
    picture(png, rate, mains, x, after,
            "%s through the %d Hz hum filter in lv2file" % (os.path.basename(path), mains),
            "within \u00b1%g Hz of the mains harmonics: %.1f -> %.1f dBFS"
            % (MAINS_BAND_HZ, total_in, total_out))
    return dict(mode="file", mains=mains, rate=rate, input=src, processed=processed_path,
                voiced=voiced_path, png=png, input_dbfs=rms_db(x), output_dbfs=rms_db(after),
                voiced_dbfs=rms_db(voiced),
                mains_bands=[dict(hz=h, before_dbfs=a, after_dbfs=b)
                             for h, a, b in zip(harmonics, ins, outs)],
                mains_before_dbfs=total_in, mains_after_dbfs=total_out)


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
    print("Processed audio: %s (hum filter), %s (and voicing)"
          % (figures["processed"], figures["voiced"]))
    print("Picture:         %s" % figures["png"])


if __name__ == "__main__":
    main()
