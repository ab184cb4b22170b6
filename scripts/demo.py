"""Makes a guitar-like test signal with mains hum, runs it through the
plug-in in lv2apply (a real LV2 host) and says what came out.

Usage: demo.py OUTDIR MAINS_HZ
"""
import subprocess
import sys

import numpy as np
import soundfile as sf

URI = "https://calvorine.audio/calvorine-suite/utility"
RATE = 48000
SECONDS = 4.0


def pluck(freq, length, rng):
    """Karplus-Strong string: a noise burst in a damped delay loop."""
    period = int(round(RATE / freq))
    buf = rng.uniform(-1.0, 1.0, period)
    out = np.empty(length)
    for i in range(length):
        j = i % period
        out[i] = buf[j]
        buf[j] = 0.996 * 0.5 * (buf[j] + buf[(j + 1) % period])
    return out


def guitar(rng):
    n = int(RATE * SECONDS)
    sig = np.zeros(n)
    # An open E-minor chord, strummed, then a few single notes.
    notes = [(0.0, 82.41), (0.02, 123.47), (0.04, 164.81), (0.06, 196.0),
             (0.08, 246.94), (0.10, 329.63), (2.0, 220.0), (2.5, 261.63), (3.0, 293.66)]
    for start, freq in notes:
        s = int(start * RATE)
        sig[s:] += pluck(freq, n - s, rng)
    return 0.25 * sig / np.max(np.abs(sig))


def hum(mains):
    t = np.arange(int(RATE * SECONDS)) / RATE
    # Fundamental about -32 dBFS, harmonics falling off, odd ones stronger.
    amps = [0.025, 0.008, 0.012, 0.004, 0.006, 0.003]
    return sum(a * np.sin(2 * np.pi * mains * (k + 1) * t + k) for k, a in enumerate(amps))


def db(x):
    return 20.0 * np.log10(np.sqrt(np.mean(np.square(x))) + 1e-30)


def run_host(src, dst, controls):
    cmd = ["lv2apply", "-i", src, "-o", dst]
    for sym, val in controls.items():
        cmd += ["-c", sym, str(val)]
    subprocess.run(cmd + [URI], check=True)
    data, _ = sf.read(dst, dtype="float32")
    return data.astype(np.float64)


def main():
    outdir, mains = sys.argv[1], int(sys.argv[2])
    rng = np.random.default_rng(7)
    clean = guitar(rng).astype(np.float32)
    humsig = hum(mains).astype(np.float32)
    dirty = clean + humsig
    sf.write(f"{outdir}/guitar_clean.wav", clean, RATE, subtype="FLOAT")
    sf.write(f"{outdir}/guitar_with_hum.wav", dirty, RATE, subtype="FLOAT")

    controls = {"hum_on": 1, "hum_50hz": 1 if mains == 50 else 0,
                "pickup_on": 1, "pickup_type": 1, "pickup_amount": 1.0,
                "level_db": 0, "enabled": 1}
    out_dirty = run_host(f"{outdir}/guitar_with_hum.wav", f"{outdir}/processed.wav", controls)
    out_clean = run_host(f"{outdir}/guitar_clean.wav", f"{outdir}/processed_clean.wav", controls)
    voiced_only = dict(controls, hum_on=0)
    out_hum_kept = run_host(f"{outdir}/guitar_with_hum.wav", f"{outdir}/voiced_hum_kept.wav",
                            voiced_only)

    # The chain is linear, so its output on (guitar + hum) minus its output
    # on the guitar alone is what is left of the hum. Skip the first second,
    # while the notches settle.
    skip = RATE
    hum_in = db(humsig[skip:])
    hum_voiced = db(out_hum_kept[skip:] - out_clean[skip:])
    hum_out = db(out_dirty[skip:] - out_clean[skip:])
    voicing = db(out_clean[skip:]) - db(clean[skip:].astype(np.float64))

    print(f"Mains hum at {mains} Hz and harmonics 2-6, through the hum filter and voicing 1 "
          f"(thick mids, dark top) in lv2apply:")
    print(f"  hum level in the input          : {hum_in:7.1f} dBFS")
    print(f"  hum after the voicing alone     : {hum_voiced:7.1f} dBFS")
    print(f"  hum after hum filter + voicing  : {hum_out:7.1f} dBFS")
    print(f"  hum removed by the hum filter   : {hum_voiced - hum_out:7.1f} dB")
    print(f"  level change of the guitar      : {voicing:+7.1f} dB (voicing at amount 1)")
    print(f"Listen: {outdir}/guitar_with_hum.wav (before), {outdir}/processed.wav (after)")
    if not hum_voiced - hum_out > 20.0:
        print("The hum filter removed less than 20 dB: something is wrong.")
        sys.exit(1)


if __name__ == "__main__":
    main()
