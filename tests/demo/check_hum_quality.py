"""Checks tools/hum_quality.py's measures without the module: the A curve
against the IEC 61672 table, and removal, recovery time, band changes and the
hum-line finder with stand-in processors whose answers are known; the random
walk of the mains and the level swing within their bounds; the lines a
residual adds; the stopped note's measure; and the two sets' tables kept
apart.

Usage: check_hum_quality.py TOOLS_DIR
"""
import contextlib
import io
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

    # The follower bound cancels the buzz alone at the mains it knows; over a
    # note 0.3 Hz from a line the guitar-alone run, held at the nominal mains,
    # leaks the note otherwise, and the measure counts that as buzz left.
    follow = lambda: hq.mains_phase(len(g), RATE, 60, 0.02)  # noqa: E731
    for name, base, lo, hi in (("alone", np.zeros(len(g)), 40.0, 60.0),
                               ("note by a line", sine(180.3, 12.0), 5.0, 20.0)):
        fig, _, _ = hq.removal(hq.follower_for([hq.Case("buzz", "", base, i, theta=follow)]),
                               base, i, RATE, 60, "tracking", 3.0)
        print("follower bound, %s: %.2f dB A" % (name, fig["removal_a_db"]))
        expect(lo <= fig["removal_a_db"] <= hi, "follower bound, %s: %.2f dB A, not in [%g, %g]"
               % (name, fig["removal_a_db"], lo, hi))

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


def models():
    # The walk's offset and its rate, read back from the phase it gives (so
    # that its integration is checked too), over 10 minutes at 1 kHz.
    rate, mains, seconds = 1000, 50, 600
    for seed in (hq.SEED, 1):
        theta = hq.walk_phase(seconds * rate, rate, mains, seed)
        step = rate // 10
        offset = np.diff(theta[::step]) / (2 * np.pi * step / rate) - mains
        slope = np.abs(np.diff(offset)) / (step / rate)
        print("walk, seed %d: offset %+.4f to %+.4f Hz, rate up to %.4f Hz/s"
              % (seed, offset.min(), offset.max(), slope.max()))
        expect(np.all(np.abs(offset) <= hq.WALK_HZ + 1e-6) and slope.max() <= hq.WALK_RATE + 1e-4,
               "walk, seed %d: beyond +-%g Hz or %g Hz/s" % (seed, hq.WALK_HZ, hq.WALK_RATE))
        # A walk that never meets its bounds would not be one.
        expect(offset.max() > 0.8 * hq.WALK_HZ and offset.min() < -0.8 * hq.WALK_HZ,
               "walk, seed %d: does not reach its bounds" % seed)
    swing = 20 * np.log10(hq.swing_gain(20 * rate, rate, hq.SEED))
    expect(abs(swing.max() - hq.SWING_DB) < 0.05 and abs(swing.min() + hq.SWING_DB) < 0.05,
           "swing: %.2f to %.2f dB" % (swing.min(), swing.max()))
    decay = 20 * np.log10(hq.decay_gain(8 * rate, rate))
    expect(abs(decay.min() + hq.DECAY_DB_PER_S * hq.DECAY_SECONDS) < 0.1 and decay.max() == 0,
           "decay: %.2f to %.2f dB" % (decay.min(), decay.max()))


def adds_and_ghost():
    x = sine(60.0, 4.0, 0.01) + sine(180.0, 4.0, 0.003)
    # Three times the interference is not adding; a 420 Hz line where none
    # went in is, but not under -40 dBFS.
    for left, want in ((3 * x, []), (0.1 * x + sine(420.0, 4.0, 0.02), [7]),
                       (sine(420.0, 4.0, 0.001), [])):
        got = [r["k"] for r in hq.added_lines(x, left, RATE, 60, RATE // 2)]
        expect(got == want, "lines added: %s, not %s" % (got, want))

    # A note's band after it stops: nothing there, the note held on, a tail
    # 20 dB under it.
    n, hz = int(hq.GHOST_SECONDS * RATE), 659.7
    s = hq.note(n, RATE, hz)
    held = 10 ** (hq.GHOST_DBFS / 20) * np.sin(2 * np.pi * hz * np.arange(n) / RATE)
    for name, residual, lo, hi in (("nothing", s, 150, np.inf), ("held", held, -0.3, 0.3),
                                   ("tail", s + 0.1 * held * (np.arange(n) >= 6 * RATE),
                                    19.5, 20.5)):
        under = hq.ghost_figures(residual, s, RATE, hz)["under_db"]
        expect(all(lo <= u <= hi for u in under), "ghost, %s: %s dB under" % (name, under))
    rows = hq.measure_ghost(hq.pass_through, ["tracking"], RATE, 60, hz, hq.SEED)
    print("ghost, pass-through: %s" % [(r["guitar"], round(r["kept_db"], 2), r["under_db"])
                                       for r in rows])
    expect(len(rows) == 2 and all(abs(r["kept_db"]) < 0.1 and min(r["under_db"]) >= 150
                                  for r in rows), "ghost through pass-through: %s" % rows)


def sets_apart():
    """Each set's tables from its own takes alone: a stand-in that mutes loud
    input removes everything from the loud held-out take and nothing from the
    quiet tuning one, so a pooled figure of both would read about 3 dB."""
    seconds = 8.0
    t = np.arange(int(seconds * RATE)) / RATE
    loud, quiet = 0.5 * np.sin(2 * np.pi * 110 * t), 0.05 * np.sin(2 * np.pi * 110 * t)

    def mutes_loud(x, rate, mains, mode):
        return np.zeros_like(x) if np.max(np.abs(x)) > 0.3 else hq.as_input(x)

    hq.SETS = {"held-out": lambda rate: [("loud_take", loud)],
               "tuning": lambda rate: [("quiet_take", quiet)]}
    hq.RATES, hq.MAINS, hq.GHOST_NOTES = [RATE], [60], [(60, 659.7)]
    out = hq.full_tables(mutes_loud, ["tracking"], hq.SET_NAMES, hq.SEED, 1.0, sonic=False)
    printed = {}
    for name in hq.SET_NAMES:
        with contextlib.redirect_stdout(io.StringIO()) as f:
            summary = hq.print_set(name, out["sets"][name], ["tracking"], 1.0)["summary"]
        printed[name] = f.getvalue()
        pooled = [v["pooled_a_db"] for v in summary["tracking"]["60"].values()]
        print("%s: %d cases, pooled %.1f to %.1f dB A" % (name, len(pooled), min(pooled),
                                                           max(pooled)))
        ok = all(p > 150 for p in pooled) if name == "held-out" else all(abs(p) < 0.01
                                                                         for p in pooled)
        expect(len(pooled) == 14 and ok, "%s set's pooled figures: %s" % (name, pooled))
    expect("quiet_take" not in printed["held-out"] and "loud_take" not in printed["tuning"],
           "a set's tables name the other's take")


a_curve()
removal()
lines()
models()
adds_and_ghost()
sets_apart()
for f in failures:
    print("FAIL: " + f)
sys.exit(1 if failures else 0)
