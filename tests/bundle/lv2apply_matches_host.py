"""lv2apply (a real LV2 host, one frame per run call, controls by symbol,
defaults from the bundle) and tools/utility_host (our dlopen host, 256-frame
blocks, defaults from its own table) must write bit-identical float WAVs for
the same input and controls.

Usage: lv2apply_matches_host.py --uri URI --plugin SO --host UTILITY_HOST --workdir DIR
(LV2_PATH must point at the folder holding the built bundle.)
"""
import argparse
import os
import shutil
import subprocess
import sys

import numpy as np
import soundfile as sf

RATE = 48000

# (name, controls): every case sets its controls in both hosts; controls not
# given come from each host's defaults, which must agree too.
CASES = [
    ("defaults", {}),
    ("every_stage_on", {
        "level_db": "-3", "invert": "1", "hum_on": "1", "hum_50hz": "1",
        "pickup_on": "1", "pickup_type": "1", "pickup_amount": "0.8",
        "boost_on": "1", "boost_db": "7.5", "lowpass_amount": "0.6", "enabled": "1"}),
    ("stages_on_at_default_amounts", {"hum_on": "1", "pickup_on": "1", "boost_on": "1"}),
    ("hum60_voicing3_lowpass_fade", {
        "hum_on": "1", "pickup_on": "1", "pickup_type": "3", "pickup_amount": "1.5",
        "lowpass_amount": "0.1", "level_db": "6"}),
    ("boost_cut_invert", {"boost_on": "1", "boost_db": "-8", "invert": "1"}),
    ("hum_tracking_60_voiced", {"hum_on": "1", "hum_track": "1", "pickup_on": "1"}),
    ("disabled", {"enabled": "0", "hum_on": "1", "boost_on": "1", "level_db": "-20"}),
]


def synthetic_input(path):
    """0.4 s: a plucked-string-like decaying tone, 60 Hz hum with harmonics,
    seeded noise, a click and a short burst near full scale."""
    n = int(0.4 * RATE)
    t = np.arange(n) / RATE
    rng = np.random.default_rng(20240611)
    x = 0.5 * np.exp(-6.0 * t) * np.sin(2 * np.pi * 196.0 * t)
    x += 0.25 * np.exp(-9.0 * t) * np.sin(2 * np.pi * 392.0 * t + 0.3)
    for k in range(1, 7):
        x += (0.08 / k) * np.sin(2 * np.pi * 60.0 * k * t + k)
    x += 0.02 * rng.standard_normal(n)
    x[n // 4] += 0.6
    burst = slice(n // 2, n // 2 + 200)
    x[burst] = 0.98 * np.sign(np.sin(2 * np.pi * 1000.0 * t[burst]))
    sf.write(path, x.astype(np.float32), RATE, subtype="FLOAT")
    return x.astype(np.float32)


def read(path):
    data, rate = sf.read(path, dtype="float32", always_2d=True)
    if rate != RATE or data.shape[1] != 1:
        sys.exit(f"{path}: {rate} Hz, {data.shape[1]} channels")
    return data[:, 0]


def run(cmd):
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        sys.exit(f"failed ({done.returncode}): {' '.join(cmd)}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--uri", required=True)
    ap.add_argument("--plugin", required=True)
    ap.add_argument("--host", required=True)
    ap.add_argument("--workdir", required=True)
    args = ap.parse_args()

    lv2apply = shutil.which("lv2apply")
    if lv2apply is None:
        sys.exit("lv2apply not found: install the Debian package lilv-utils (scripts/deps.sh)")
    os.makedirs(args.workdir, exist_ok=True)
    in_path = os.path.join(args.workdir, "input.wav")
    x = synthetic_input(in_path)

    failures = 0
    for name, controls in CASES:
        a_path = os.path.join(args.workdir, f"{name}.lv2apply.wav")
        b_path = os.path.join(args.workdir, f"{name}.utility_host.wav")
        cmd_a = [lv2apply, "-i", in_path, "-o", a_path]
        cmd_b = [args.host, args.plugin, in_path, b_path]
        for sym, val in controls.items():
            cmd_a += ["-c", sym, val]
            cmd_b += ["-c", f"{sym}={val}"]
        run(cmd_a + [args.uri])
        run(cmd_b)
        a = read(a_path)
        b = read(b_path)
        if a.shape != b.shape:
            print(f"{name}: lengths differ: {a.shape[0]} vs {b.shape[0]}")
            failures += 1
            continue
        diff = np.flatnonzero(a.view(np.uint32) != b.view(np.uint32))
        if name == "disabled":
            same_as_input = np.array_equal(a.view(np.uint32), x.view(np.uint32))
        else:
            same_as_input = None
        if diff.size:
            i = diff[0]
            print(f"{name}: {diff.size} samples differ, first at {i}: "
                  f"lv2apply {a[i]!r} vs utility_host {b[i]!r}")
            failures += 1
        elif not np.all(np.isfinite(a)):
            print(f"{name}: non-finite output")
            failures += 1
        elif same_as_input is False:
            print(f"{name}: disabled output is not the input")
            failures += 1
        elif name != "disabled" and controls and np.array_equal(a, x):
            print(f"{name}: output equals input; the controls did nothing")
            failures += 1
        else:
            print(f"{name}: {a.shape[0]} samples bit-identical, peak {np.max(np.abs(a)):.4f}")
    if failures:
        sys.exit(f"{failures} of {len(CASES)} cases differ")


if __name__ == "__main__":
    main()
