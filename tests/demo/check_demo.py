"""Checks the demo's figures on a 6 s stretch of the built-in takes (60 Hz
mains) and on a small generated stereo file (50 Hz mains, its own rate).

Usage: check_demo.py DEMO_PY WORKDIR   (LV2_PATH must lead to the bundle)
"""
import json
import os
import subprocess
import sys

import numpy as np
import soundfile as sf

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def run_demo(demo, outdir, *args):
    subprocess.run(["/usr/bin/python3", demo, outdir] + list(args), check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(outdir, "figures.json")) as f:
        return json.load(f)


def check_outputs(fig, source, failures):
    """Mono outputs as long as the input and at its rate, and a PNG."""
    src = sf.info(source)
    for key in ("processed", "voiced"):
        out = sf.info(fig[key])
        if (out.frames, out.samplerate, out.channels) != (src.frames, src.samplerate, 1):
            failures.append("%s: %d frames at %d Hz, %d channels; input %d frames at %d Hz"
                            % (fig[key], out.frames, out.samplerate, out.channels, src.frames,
                               src.samplerate))
    with open(fig["png"], "rb") as f:
        if f.read(8) != PNG_MAGIC:
            failures.append("%s is not a PNG" % fig["png"])


def main():
    demo, work = sys.argv[1], sys.argv[2]
    failures = []

    fig = run_demo(demo, os.path.join(work, "built_in"), "60", "--seconds", "6")
    check_outputs(fig, fig["input"], failures)
    removed = fig["hum_removed_db"]
    print("hum removed: exact %.1f dB, +-0.05 Hz %.1f dB, +-0.2 Hz %.1f dB"
          % (removed["0"], removed["0.05"], removed["0.2"]))
    if removed["0"] < 60:
        failures.append("exact mains: only %.1f dB of hum removed" % removed["0"])
    if not 20 <= removed["0.05"] <= 60:
        failures.append("mains wandering +-0.05 Hz: %.1f dB removed, not 20-60" % removed["0.05"])
    if not removed["0.2"] < removed["0.05"]:
        failures.append("wider wander removed as much hum (%.1f dB)" % removed["0.2"])
    # Notches never add level, and leave everything from 1 kHz up alone.
    for band, change in fig["band_change_db"].items():
        if change > 0.05 or (float(band) >= 1000 and change < -0.1):
            failures.append("octave band %s Hz changed by %+.2f dB" % (band, change))

    # A recording of the user's: stereo, 16 bit, 48 kHz, two notes over exact 50 Hz hum.
    rate = 48000
    t = np.arange(int(4.5 * rate)) / rate
    notes = 0.2 * np.sin(2 * np.pi * 110 * t) * np.exp(-t) + 0.1 * np.sin(2 * np.pi * 440 * t)
    hum = 0.01 * np.sin(2 * np.pi * 50 * t) + 0.004 * np.sin(2 * np.pi * 150 * t)
    source = os.path.join(work, "mine.wav")
    os.makedirs(work, exist_ok=True)
    sf.write(source, np.stack([notes + hum, 0.5 * notes + hum], axis=1), rate, subtype="PCM_16")
    fig = run_demo(demo, os.path.join(work, "file"), "50", "--file", source)
    check_outputs(fig, source, failures)
    fundamental = fig["mains_bands"][0]
    drop = fundamental["before_dbfs"] - fundamental["after_dbfs"]
    print("own file: 50 Hz band %.1f -> %.1f dBFS"
          % (fundamental["before_dbfs"], fundamental["after_dbfs"]))
    if fundamental["hz"] != 50 or drop < 40:
        failures.append("own file: %g Hz band only %.1f dB lower" % (fundamental["hz"], drop))

    for f in failures:
        print("FAIL: " + f)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
