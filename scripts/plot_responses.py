"""Draws the plug-in's magnitude responses from the built module itself.

An impulse is run through the real calvorine_utility.so by the dlopen host
(utility_host) with one setting at a time, and the FFT of what comes out is
plotted. Nothing here models the filters: the pictures show what the code does.

Usage: plot_responses.py UTILITY_HOST PLUGIN_SO OUTDIR
"""
import os
import subprocess
import sys
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import soundfile as sf  # noqa: E402

RATE = 48000
# The 50 Hz notch (Q 18) rings for about 5500 samples per neper: 2^17 samples
# leave its tail some 200 dB down, far below what the plots show.
LENGTH = 1 << 17

VOICINGS = [
    (0, "Presence, soft top"),
    (1, "Thick mids, dark top"),
    (2, "Hollow mids"),
    (3, "Gentle upper-mid lift (3 and 4)"),
]
VOICING_AMOUNTS = [0.25, 0.5, 1.0]
BOOST_DB = [-6.0, 3.0, 6.0, 12.0, 24.0]
LOWPASS_AMOUNTS = [0.05, 0.1, 0.25, 0.5, 0.75, 1.0]


class Plugin:
    def __init__(self, host, module, workdir):
        self.host = host
        self.module = module
        self.workdir = workdir
        self.impulse = os.path.join(workdir, "impulse.wav")
        x = np.zeros(LENGTH, dtype=np.float32)
        x[0] = 1.0
        sf.write(self.impulse, x, RATE, subtype="FLOAT")
        self.count = 0

    def response(self, fft_size=LENGTH, **controls):
        """Frequencies (Hz) and magnitude (dB) of the plug-in at these controls.

        An fft_size above LENGTH zero-pads the impulse response, which samples
        the same response on a finer frequency grid (for the narrow notches)."""
        self.count += 1
        out = os.path.join(self.workdir, "ir%d.wav" % self.count)
        cmd = [self.host, self.module, self.impulse, out, "-b", "4096"]
        for sym, val in controls.items():
            cmd += ["-c", "%s=%r" % (sym, float(val))]
        subprocess.run(cmd, check=True)
        ir, rate = sf.read(out, dtype="float64")
        assert rate == RATE and len(ir) == LENGTH
        spectrum = np.fft.rfft(ir, fft_size)
        freqs = np.fft.rfftfreq(fft_size, 1.0 / RATE)
        return freqs[1:], 20.0 * np.log10(np.maximum(np.abs(spectrum[1:]), 1e-12))


def audio_axis(ax, lo=20.0, hi=20000.0):
    ax.set_xscale("log")
    ax.set_xlim(lo, hi)
    ticks = [t for t in (20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000) if lo <= t <= hi]
    ax.set_xticks(ticks)
    ax.set_xticklabels(["%gk" % (t / 1000) if t >= 1000 else "%g" % t for t in ticks])
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("gain (dB)")
    ax.grid(True, which="major", alpha=0.5)
    ax.grid(True, which="minor", alpha=0.15)


def save(fig, outdir, name):
    path = os.path.join(outdir, name)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print("wrote", path)


def plot_voicings(plug, outdir):
    fig, axes = plt.subplots(2, 2, figsize=(11, 7), sharey=True)
    for ax, (kind, name) in zip(axes.flat, VOICINGS):
        for amount in VOICING_AMOUNTS:
            f, db = plug.response(pickup_on=1, pickup_type=kind, pickup_amount=amount)
            ax.plot(f, db, label="amount %g" % amount)
        audio_axis(ax)
        ax.set_ylim(-20, 12)
        ax.set_title("Voicing %d: %s" % (kind, name))
        ax.legend(loc="lower left", fontsize="small")
    fig.suptitle("Pickup voicer (Voicer on, level 0 dB, 48 kHz)")
    save(fig, outdir, "voicings.png")


def plot_hum(plug, outdir):
    fig, (wide, zoom) = plt.subplots(2, 1, figsize=(11, 7))
    for mains, colour in ((50, "tab:blue"), (60, "tab:orange")):
        # A 0.02 Hz grid, so that the plot reaches into the bottom of each notch;
        # above 1 kHz, where the response is flat, every 64th point is enough.
        f, db = plug.response(fft_size=1 << 21, hum_on=1, hum_50hz=1 if mains == 50 else 0)
        sparse = (f < 1000) | (np.arange(len(f)) % 64 == 0)
        wide.plot(f[sparse], db[sparse], color=colour, label="%d Hz mains" % mains)
        near = (f > 20) & (f < 420)
        zoom.plot(f[near], db[near], color=colour, label="%d Hz mains" % mains)
        for k in range(1, 7):
            zoom.axvline(k * mains, color=colour, alpha=0.25, linestyle=":")
    audio_axis(wide)
    wide.set_ylim(-80, 3)
    wide.set_title("Hum filter: six notches at the mains frequency and harmonics 2 to 6")
    wide.legend(loc="lower right")
    zoom.set_xlim(25, 400)
    zoom.set_ylim(-80, 3)
    zoom.set_xlabel("frequency (Hz, linear)")
    zoom.set_ylabel("gain (dB)")
    zoom.grid(True, alpha=0.5)
    zoom.set_title("Zoom on the notches (dotted lines: 50/60 Hz and their harmonics)")
    zoom.legend(loc="lower right")
    save(fig, outdir, "hum_filter.png")


def plot_boost(plug, outdir):
    fig, ax = plt.subplots(figsize=(11, 5))
    for amount in BOOST_DB:
        f, db = plug.response(boost_on=1, boost_db=amount)
        ax.plot(f, db, label="boost %+g dB" % amount)
    audio_axis(ax)
    ax.set_ylim(-12, 33)
    ax.set_title("Boost: flat gain plus a quarter of it again as a broad lift at 250 Hz")
    ax.legend(loc="upper right", fontsize="small")
    save(fig, outdir, "boost.png")


def plot_lowpass(plug, outdir):
    fig, ax = plt.subplots(figsize=(11, 5))
    for amount in LOWPASS_AMOUNTS:
        f, db = plug.response(lowpass_amount=amount)
        ax.plot(f, db, label="blend %g" % amount)
    audio_axis(ax)
    ax.set_ylim(-40, 9)
    ax.set_title("Resonant low-pass blend: fades in up to 0.25, then the corner and peak fall")
    ax.legend(loc="lower left", fontsize="small")
    save(fig, outdir, "lowpass_blend.png")


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    host, module, outdir = sys.argv[1:]
    os.makedirs(outdir, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        plug = Plugin(host, module, work)
        plot_voicings(plug, outdir)
        plot_hum(plug, outdir)
        plot_boost(plug, outdir)
        plot_lowpass(plug, outdir)


if __name__ == "__main__":
    main()
