"""Checks tools/hum_quality.py's measures without the module: the A curve
against the IEC 61672 table, and removal, recovery time, band changes and the
hum-line finder with stand-in processors whose answers are known.

Usage: check_hum_quality.py TOOLS_DIR
"""
import sys

import numpy as np

sys.path.insert(0, sys.argv[1])
import hum_quality as hq  # noqa: E402

RATE = 48000
# IEC 61672-1's A weighting (dB) at the exact midbands 1000 * 10^(k/10),
# 10 Hz (k = -20) to 20 kHz (k = 13).
A_TABLE = [-70.4, -63.4, -56.7, -50.5, -44.7, -39.4, -34.6, -30.2, -26.2, -22.5, -19.1,
           -16.1, -13.4, -10.9, -8.6, -6.6, -4.8, -3.2, -1.9, -0.8, 0.0, 0.6, 1.0, 1.2, 1.3,
           1.2, 1.0, 0.5, -0.1, -1.1, -2.5, -4.3, -6.6, -9.3]
failures = []


def expect(ok, what):
    if not ok:
        failures.append(what)


def sine(hz, seconds, amp=0.1):
    return amp * np.sin(2 * np.pi * hz * np.arange(int(seconds * RATE)) / RATE)


def a_curve():
    freqs = 1000.0 * 10 ** (np.arange(-20, 14) / 10)
    worst = np.max(np.abs(hq.a_weighting_db(freqs) - A_TABLE))
    print("A curve: largest difference from the table %.3f dB" % worst)
    expect(worst <= 0.1, "A curve off the table by %.3f dB" % worst)
    # Applied to whole signals, as the removal measure does.
    for hz, want in ((1000.0, 0.0), (100.0, -19.14), (50.0, -30.28)):
        x = sine(hz, 2.0)
        got = hq.level_db(hq.a_weight(x, RATE)[RATE // 2:-RATE // 2]) - hq.level_db(x)
        expect(abs(got - want) < 0.05, "A-weighted %g Hz sine: %.2f dB, not %.2f" % (hz, got, want))


def guitar(seconds=12.0):
    """Plucked E2 notes with harmonics, one every 2 s, and a little noise."""
    t = np.arange(int(seconds * RATE)) / RATE
    g = 1e-3 * np.random.default_rng(7).standard_normal(len(t))
    for start in np.arange(0.0, seconds, 2.0):
        u = np.maximum(t - start, 0.0)
        env = (t >= start) * np.exp(-2.0 * u)
        g += sum(0.2 / k * env * np.sin(2 * np.pi * 82.41 * k * u) for k in range(1, 9))
    return g


def removal():
    g = guitar()
    i = hq.buzz(len(g), RATE, 60, 0.02, hq.SEED)
    clean = hq.as_input(g).tobytes()

    def half(x, rate, mains, mode):
        return hq.as_input(0.5 * x)

    def mutes_on_interference(x, rate, mains, mode):
        return hq.as_input(x) if hq.as_input(x).tobytes() == clean else np.zeros_like(x)

    ideal = hq.ideal_for([hq.Case("buzz", "buzz", g, i)])
    want = {"pass-through": (hq.pass_through, -0.01, 0.01), "ideal": (ideal, 100.0, 400.0),
            "half": (half, 6.0, 6.04),
            # The guitar lost to the interference counts as interference left.
            "mutes": (mutes_on_interference, -400.0, -5.0)}
    for name, (process, lo, hi) in want.items():
        fig, _, _ = hq.removal(process, g, i, RATE, 60, "tracking", 3.0)
        print("removal, %s: %.2f dB A, %.2f dB" % (name, fig["removal_a_db"], fig["removal_db"]))
        for key in ("removal_a_db", "removal_db"):
            expect(lo <= fig[key] <= hi, "%s: %s %.2f, not in [%g, %g]" % (name, key, fig[key],
                                                                             lo, hi))

    # A stand-in that lets the interference through for 1.5 s after a step.
    step_at, late = 6.0, 1.5
    i = hq.buzz(len(g), RATE, 60, 0.02, hq.SEED, step_at)
    t = np.arange(len(g)) / RATE
    kept = (t >= step_at) & (t < step_at + late)

    def slow(x, rate, mains, mode):
        known = hq.as_input(x).tobytes() != clean
        return hq.as_input(x - i * ~kept) if known else hq.as_input(x)

    times = {}
    for name, process in (("slow", slow), ("pass-through", hq.pass_through)):
        _, in_a, left_a = hq.removal(process, g, i, RATE, 60, "tracking", 3.0)
        starts, r = hq.windowed_removal(in_a, left_a, RATE, step_at)
        times[name] = hq.recovery_time(starts, r, step_at)
    print("recovery: %s" % times)
    expect(times["slow"] is not None and late <= times["slow"] <= late + 0.1,
           "recovery after %g s read %s" % (late, times["slow"]))
    expect(times["pass-through"] is None, "pass-through recovered: %s" % times["pass-through"])

    # Each take's part of a figure: its rounds together, from the settle on.
    x = np.ones(4 * RATE)
    left = np.concatenate([np.full(RATE, 0.5), np.full(RATE, 0.1), np.full(RATE, 0.25),
                           np.full(RATE, 0.1)])
    spans = [("a", 0, RATE), ("b", RATE, 2 * RATE), ("a", 2 * RATE, 3 * RATE),
             ("c", 3 * RATE, 4 * RATE)]
    got = hq.per_take(x, left, spans, RATE // 2, RATE)
    want = {"a": -10 * np.log10((0.5 ** 2 / 2 + 0.25 ** 2) / 1.5), "b": 20.0, "c": 20.0}
    expect(got.keys() == want.keys() and all(abs(got[k] - want[k]) < 1e-9 for k in want),
           "per take: %s, not %s" % (got, want))
    expect(hq.per_take(x, left, spans, RATE // 2, 2 * RATE) == {},
           "per take: a take shorter than asked for was kept")
    # Each line's part of what is left: lines 2 and 3 of 50 Hz mains, 20 and
    # 10 dB down, and as much again between the lines, which is no line's.
    went_in = sine(100.0, 4.0) + sine(150.0, 4.0)
    left = 0.1 * sine(100.0, 4.0) + 0.3 * sine(150.0, 4.0) + 0.316 * sine(125.0, 4.0)
    rows = hq.per_line(went_in, left, RATE, 50, RATE // 2)
    total = 0.1 ** 2 + 0.3 ** 2 + 0.316 ** 2
    got = [(r["k"], r["share"], r["removal_db"]) for r in rows[:3]]
    want = [(3, 0.09 / total, 10.46), (2, 0.01 / total, 20.0)]
    expect([k for k, _, _ in got[:2]] == [3, 2] and got[2][1] < 1e-3
           and all(abs(g[1] - w[1]) < 2e-3 and abs(g[2] - w[2]) < 0.05
                   for g, w in zip(got, want)), "per line: %s, not %s" % (got, want))
    names = ["guit_harmonics", "guit_e_slide"]
    spans = hq.take_spans(names, RATE, 2)
    edges = [(first, end) for _, first, end in spans]
    gaps = {b[0] - a[1] for a, b in zip(edges, edges[1:])}
    expect([n for n, _, _ in spans] == names * 2 and edges[0][0] == 0
           and edges[-1][1] == len(hq.guitar(names, RATE, 2))
           and gaps == {int(hq.GAP_SECONDS * RATE)}, "take spans: %s" % spans)

    bands = hq.band_changes(g, half(g, RATE, 60, ""), RATE)["bands"]
    off = [b["band"] for b in bands if abs(b["change_db"] + 6.02) > 0.01]
    expect(len(bands) >= 5 and not off, "half the guitar: bands %s not -6.02 dB" % off)


def lines():
    x = sine(60.0, 10.0, 0.01) + sine(180.0, 10.0, 0.003)
    x += 3e-4 * np.random.default_rng(3).standard_normal(len(x))
    found = hq.hum_lines(x, RATE)
    print("lines found: %s" % [(k, round(f, 2)) for k, f in found])
    expect([k for k, _ in found] == [1, 3], "lines found: %s, not 1 and 3" % found)
    levels = hq.db(hq.band_power(x, RATE, [(f - 0.5, f + 0.5) for _, f in found], pad=2))
    want = hq.db([0.01 ** 2 / 2, 0.003 ** 2 / 2])
    expect(np.all(np.abs(levels - want) < 0.2), "line levels %s, not %s" % (levels, want))


a_curve()
removal()
lines()
for f in failures:
    print("FAIL: " + f)
sys.exit(1 if failures else 0)
