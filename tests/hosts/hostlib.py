"""Shared pieces of the host matrix: the test signal, the reference runs
through utility_host, bit-for-bit comparison, and process handling.

Every host gets the built bundle through LV2_PATH, and its output is compared
with utility_host (our own dlopen host) run on the same float WAV input with
the same controls. Controls are held constant within a run, so the hosts'
block sizes do not change the result.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import soundfile as sf

URI = "https://calvorine.audio/calvorine-suite/utility"

# The control inputs in index order, their defaults and the optional ones,
# the toggles among them, the control outputs (which the plug-in writes and no
# host sets), and every control port, inputs and outputs, in index order, as
# the module's own table gives them (utility_host --ports); filled in place by
# load_ports(), so that names imported from here stay valid.
SYMBOLS = []
DEFAULTS = {}
OPTIONAL = []
TOGGLES = []
OUTPUTS = []
CONTROLS = []


def load_ports(utility_host):
    ports = json.loads(subprocess.check_output([utility_host, "--ports"]))
    controls = [p for p in ports if p["kind"] not in ("audio-in", "audio-out", "meter")]
    SYMBOLS[:] = [p["symbol"] for p in controls]
    DEFAULTS.clear()
    DEFAULTS.update((p["symbol"], float(p["default"])) for p in controls)
    OPTIONAL[:] = [p["symbol"] for p in controls if p["optional"]]
    TOGGLES[:] = [p["symbol"] for p in controls if p["kind"] == "toggle"]
    OUTPUTS[:] = [p["symbol"] for p in ports if p["kind"] == "meter"]
    CONTROLS[:] = [p["symbol"] for p in ports if not p["kind"].startswith("audio")]

# Every stage on, in two different voicings of the whole chain, the hum
# filter with its notches in one and tracking in the other; each sets every
# control input, since ecasound and Ardour take them all in port order.
# The values are exact in float, so every host passes the same bits to the
# plug-in.
ALL_ON_50 = dict(level_db=-2.0, invert=1.0, hum_on=1.0, pickup_type=1.0, pickup_amount=0.5,
                 pickup_on=1.0, boost_on=1.0, boost_db=4.0, lowpass_amount=0.3125,
                 hum_50hz=1.0, enabled=1.0, hum_track=0.0)
ALL_ON_60 = dict(level_db=3.0, invert=0.0, hum_on=1.0, pickup_type=3.0, pickup_amount=1.25,
                 pickup_on=1.0, boost_on=1.0, boost_db=-3.5, lowpass_amount=0.75,
                 hum_50hz=0.0, enabled=1.0, hum_track=1.0)
RATES = (44100, 48000)


def bypass_fade_length(rate):
    """Samples in the fade that a switch of `enabled` starts (20 ms: src/dsp/bypass.h)."""
    return max(1, int(round(rate * 0.02)))


class Failure(Exception):
    pass


class Context:
    """Paths and environment shared by the checks of one host."""

    def __init__(self, bundle, utility_host, workdir):
        self.bundle = os.path.abspath(bundle)
        self.module = os.path.join(self.bundle, "calvorine_utility.so")
        self.utility_host = os.path.abspath(utility_host)
        load_ports(self.utility_host)
        self.work = os.path.abspath(workdir)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.lv2_path = self._make_lv2_path()
        self.env = dict(os.environ)
        self.env["LV2_PATH"] = self.lv2_path
        self.results = []
        self.failures = 0

    def _make_lv2_path(self):
        """A folder with our bundle and the LV2 vocabularies, nothing else.

        The system's other plug-in bundles are left out: hosts start faster
        (Ardour scans every bundle), and a broken third-party bundle cannot
        fail this test."""
        world = os.path.join(self.work, "lv2")
        os.makedirs(world)
        os.symlink(self.bundle, os.path.join(world, os.path.basename(self.bundle)))
        system = "/usr/lib/lv2"
        found = []
        for name in sorted(os.listdir(system)):
            manifest = os.path.join(system, name, "manifest.ttl")
            if os.path.isfile(manifest):
                with open(manifest, encoding="utf-8", errors="replace") as f:
                    # LV2's own vocabularies are typed lv2:Specification.
                    if "lv2:Specification" in f.read():
                        os.symlink(os.path.join(system, name), os.path.join(world, name))
                        found.append(name)
        if "core.lv2" not in found:
            raise Failure("LV2 core vocabulary not found in %s (install lv2-dev)" % system)
        return world

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def record(self, host, rate, case, ok, detail):
        line = "%-9s %5d  %-44s %s  %s" % (host, rate, case, "PASS" if ok else "FAIL", detail)
        print(line, flush=True)
        self.results.append(line)
        if not ok:
            self.failures += 1

    def finish(self):
        print("\n%d checks, %d failed" % (len(self.results), self.failures))
        return 1 if self.failures else 0


def require(*tools):
    """A missing host is a failure, never a skip."""
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        raise Failure("host tools not installed: %s (run scripts/deps.sh)" % " ".join(missing))


def test_signal(rate, seconds, seed=7):
    """Plucked-string-like notes over mains hum (50 and 60 Hz with harmonics)
    and a little noise, about -6 dBFS at its peak. No exact zeros inside, so
    that a change of settings shows from the first sample it touches."""
    rng = np.random.default_rng(seed)
    n = int(round(rate * seconds))
    t = np.arange(n) / rate
    x = 0.01 * rng.standard_normal(n)
    for mains in (50.0, 60.0):
        for k in range(1, 7):
            x += (0.02 / k) * np.sin(2 * np.pi * mains * k * t + k)
    for start, freq in ((0.0, 82.41), (0.1, 196.0), (0.35, 329.63), (0.6, 1318.5)):
        s = int(start * rate)
        tail = t[: n - s]
        env = np.exp(-tail * 3.0)
        x[s:] += 0.12 * env * (np.sin(2 * np.pi * freq * tail) +
                               0.5 * np.sin(2 * np.pi * 3 * freq * tail) +
                               0.25 * np.sin(2 * np.pi * 7 * freq * tail))
    x *= 0.5 / np.max(np.abs(x))
    return x.astype(np.float32)


def write_wav(path, x, rate):
    sf.write(path, np.asarray(x, dtype=np.float32), rate, subtype="FLOAT")


def read_wav(path, rate=None, channels=None):
    info = sf.info(path)
    if info.subtype != "FLOAT":
        raise Failure("%s: expected 32-bit float samples, got %s" % (path, info.subtype))
    data, file_rate = sf.read(path, dtype="float32", always_2d=True)
    if rate is not None and file_rate != rate:
        raise Failure("%s: rate %d, expected %d" % (path, file_rate, rate))
    if channels is not None and data.shape[1] != channels:
        raise Failure("%s: %d channels, expected %d" % (path, data.shape[1], channels))
    return data


def run(cmd, ctx, timeout=120, env=None, **kw):
    """Runs a host to completion; a non-zero exit or a timeout is a failure."""
    try:
        r = subprocess.run(cmd, env=env or ctx.env, timeout=timeout, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, errors="replace", **kw)
    except subprocess.TimeoutExpired as e:
        raise Failure("%s timed out after %d s" % (cmd[0], timeout)) from e
    except FileNotFoundError as e:
        raise Failure("%s: not installed" % cmd[0]) from e
    if r.returncode != 0:
        raise Failure("%s exited with %d:\n%s" % (" ".join(cmd), r.returncode, r.stdout[-3000:]))
    return r.stdout


def reference(ctx, inp, out, controls, unconnected=(), block=None):
    """utility_host run: the expected output for one constant setting."""
    cmd = [ctx.utility_host, ctx.module, inp, out]
    if block is not None:
        cmd += ["-b", str(block)]
    for sym, val in controls.items():
        if sym not in unconnected:
            cmd += ["-c", "%s=%r" % (sym, float(val))]
    for sym in unconnected:
        cmd += ["-u", sym]
    run(cmd, ctx)
    return read_wav(out, channels=1)[:, 0]


def tracking(controls):
    """Whether a setting runs the hum filter's tracking mode."""
    return controls.get("hum_on", 0.0) > 0.5 and controls.get("hum_track", 0.0) > 0.5


def first_difference(a, b):
    """Index of the first sample whose bits differ, or None."""
    n = min(len(a), len(b))
    diff = np.nonzero(a[:n].view(np.uint32) != b[:n].view(np.uint32))[0]
    return int(diff[0]) if len(diff) else None


def same_bits(got, want):
    """(ok, detail) for a bit-for-bit comparison of two float32 arrays."""
    if len(got) != len(want):
        return False, "length %d, expected %d" % (len(got), len(want))
    i = first_difference(got, want)
    if i is None:
        return True, "bit-exact, %d samples" % len(got)
    err = np.max(np.abs(got.astype(np.float64) - want.astype(np.float64)))
    return False, "first differing sample %d (%r vs %r), max |error| %.3g" % (
        i, float(got[i]), float(want[i]), err)


def differs_from(a, b):
    """True when two outputs differ in any bit or in length."""
    return first_difference(a, b) is not None or len(a) != len(b)


class Processes:
    """Background processes of one check; stopped in reverse order at exit."""

    def __init__(self):
        self.procs = []

    def start(self, cmd, env, log, **kw):
        f = open(log, "w")
        try:
            p = subprocess.Popen(cmd, env=env, stdout=f, stderr=subprocess.STDOUT,
                                 start_new_session=True, **kw)
        except FileNotFoundError as e:
            raise Failure("%s: not installed" % cmd[0]) from e
        self.procs.append((p, f))
        return p

    def stop(self):
        for p, f in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
            f.close()
        self.procs = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise Failure("timed out waiting for %s" % what)


def log_tail(path, lines=30):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def main(checks):
    """Command line shared by the host scripts:
    SCRIPT BUNDLE_DIR UTILITY_HOST WORKDIR [CHECK...]"""
    if len(sys.argv) < 4:
        sys.exit("usage: %s BUNDLE_DIR UTILITY_HOST WORKDIR [CHECK...]" % sys.argv[0])
    ctx = Context(*sys.argv[1:4])
    names = sys.argv[4:] or list(checks)
    started = time.monotonic()
    for name in names:
        try:
            checks[name](ctx)
        except Failure as e:
            ctx.record(name, 0, "could not run", False, str(e))
    print("elapsed %.1f s" % (time.monotonic() - started))
    return ctx.finish()
