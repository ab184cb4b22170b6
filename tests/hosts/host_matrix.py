"""Host matrix: the built bundle run in real LV2 hosts, each output compared
with utility_host on the same input and controls; and the PipeWire config as
installed, in a private PipeWire daemon, compared with lv2apply.

Usage: host_matrix.py BUNDLE_DIR UTILITY_HOST WORKDIR [CHECK...]
Checks: lv2apply lv2file lv2proc ffmpeg gstreamer ecasound jalv ardour presets
pipewire (default: all).
Each line printed is one comparison: host, rate, case, PASS/FAIL and what was
found. A host that is missing or fails to start is a FAIL.
"""
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hostlib import (ALL_ON_50, ALL_ON_60, CONTROLS, DEFAULTS, OPTIONAL, OUTPUTS,  # noqa: E402
                     RATES, SYMBOLS, TOGGLES, URI, Failure, Processes, bypass_fade_length,
                     differs_from, first_difference, log_tail, main, read_wav, reference,
                     require, run, same_bits, test_signal, tracking, wait_for,
                     write_wav)

HERE = os.path.dirname(os.path.abspath(__file__))
SECONDS = 1.5


def setting_for(rate):
    """Each rate gets a different whole-chain setting; both have every stage on,
    the hum filter's notches at 44.1 kHz and its tracking at 48 kHz."""
    return ("all stages, 50 Hz", ALL_ON_50) if rate == 44100 else \
        ("all stages, 60 Hz, tracking", ALL_ON_60)


def make_input(ctx, rate, seconds=SECONDS, name=None):
    path = ctx.path(name or "in%d.wav" % rate)
    x = test_signal(rate, seconds)
    write_wav(path, x, rate)
    return path, x


def compare_file(ctx, host, rate, case, out_path, want):
    got = read_wav(out_path, rate=rate, channels=1)[:, 0]
    ok, detail = same_bits(got, want)
    ctx.record(host, rate, case, ok, detail)


# ---- lv2apply: one frame per run() call, every port connected.
def check_lv2apply(ctx):
    require("lv2apply")
    for rate in RATES:
        inp, x = make_input(ctx, rate)
        for case, controls in (setting_for(rate), ("bundle defaults (no -c)", {})):
            out = ctx.path("lv2apply_%d_%d.wav" % (rate, len(controls)))
            cmd = ["lv2apply", "-i", inp, "-o", out]
            for sym, val in controls.items():
                cmd += ["-c", sym, repr(val)]
            run(cmd + [URI], ctx)
            want = reference(ctx, inp, ctx.path("ref_%d_%d.wav" % (rate, len(controls))),
                             controls or DEFAULTS)
            if not controls:
                # Defaults must leave the signal untouched: enabled on, level 0 dB, all off.
                ok, detail = same_bits(want, x)
                ctx.record("utilhost", rate, "bundle defaults are an exact copy", ok, detail)
            compare_file(ctx, "lv2apply", rate, case + ", 1 frame/run", out, want)


# ---- lv2file: fixed block sizes, last block padded.
def check_lv2file(ctx):
    require("lv2file")
    for rate in RATES:
        inp, x = make_input(ctx, rate)
        case, controls = setting_for(rate)
        want = reference(ctx, inp, ctx.path("ref_%d.wav" % rate), controls)
        for block in (1, 64, 4096):
            out = ctx.path("lv2file_%d_%d.wav" % (rate, block))
            # lv2file clamps its output to +-1 unless told not to; the
            # plug-in's output is what is under test.
            cmd = ["lv2file", "--ignore-clipping", "-b", str(block), "-i", inp, "-o", out]
            for sym, val in controls.items():
                cmd += ["-p", "%s:%r" % (sym, val)]
            run(cmd + [URI], ctx)
            compare_file(ctx, "lv2file", rate, "%s, block %d" % (case, block), out, want)


# ---- lv2proc: leaves connectionOptional ports unconnected unless they are set.
def check_lv2proc(ctx):
    require("lv2proc")
    for rate in RATES:
        inp, x = make_input(ctx, rate)
        case, controls = setting_for(rate)
        for label, unconnected in (("optional inputs unconnected", OPTIONAL),
                                   ("optional inputs set", ())):
            out = ctx.path("lv2proc_%d_%d.wav" % (rate, len(unconnected)))
            cmd = ["lv2proc", "-n", "333", "-i", inp, "-o", out]
            for sym, val in controls.items():
                if sym not in unconnected:
                    cmd += ["-c", "%s:%r" % (sym, val)]
            run(cmd + [URI], ctx)
            # Unconnected, the low-pass blend is off, the hum bank at 60 Hz and
            # not tracking: the reference leaves the same ports unconnected
            # (utility_host -u).
            want = reference(ctx, inp, ctx.path("ref_%d_%d.wav" % (rate, len(unconnected))),
                             controls, unconnected=unconnected)
            compare_file(ctx, "lv2proc", rate, "%s, %s, block 333" % (case, label), out, want)


# ---- ffmpeg: the lv2 filter processes in place, in the frame sizes it is given.
def check_ffmpeg(ctx):
    require("ffmpeg")
    escaped_uri = URI.replace(":", "\\\\:")  # escaped for the filter graph, then the option
    for rate in RATES:
        inp, x = make_input(ctx, rate)
        case, controls = setting_for(rate)
        want = reference(ctx, inp, ctx.path("ref_%d.wav" % rate), controls)
        for frame in (997, 61):
            out = ctx.path("ffmpeg_%d_%d.wav" % (rate, frame))
            ctl = "|".join("%s=%r" % kv for kv in controls.items())
            graph = "asetnsamples=n=%d:p=0,lv2=p=%s:c=%s" % (frame, escaped_uri, ctl)
            run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", inp,
                 "-af", graph, "-c:a", "pcm_f32le", out], ctx)
            compare_file(ctx, "ffmpeg", rate, "%s, in place, %d-frame blocks" % (case, frame),
                         out, want)


# ---- GStreamer and ecasound: both start toggles at 0, `enabled` included.
GST_ELEMENT = "calvorine-audio-calvorine-suite-utility"  # the URI's host and path, dashed


def check_gstreamer(ctx):
    require("gst-launch-1.0")
    # A private plug-in registry: the user's cache is neither read nor changed.
    env = dict(ctx.env, GST_REGISTRY=ctx.path("gst-registry.bin"))

    def launch(inp, out, controls):
        props = []
        for sym, val in controls.items():
            name = sym.replace("_", "-")
            if sym == "pickup_type":
                props.append("%s=%d" % (name, int(val)))
            elif sym in TOGGLES:
                props.append("%s=%s" % (name, "true" if val > 0.5 else "false"))
            else:
                props.append("%s=%r" % (name, val))
        run(["gst-launch-1.0", "-q", "filesrc", "location=" + inp, "!", "wavparse", "!",
             "audioconvert", "!", GST_ELEMENT] + props +
            ["!", "audioconvert", "!", "audio/x-raw,format=F32LE", "!", "wavenc", "!",
             "filesink", "location=" + out], ctx, env=env)

    # Its properties: the symbols with dashes, the control output read-only.
    listed = run(["gst-inspect-1.0", GST_ELEMENT], ctx, env=env)
    flags = dict(re.findall(r"^  ([a-z0-9-]+)\s+: .*\n\s+flags: ([a-z, ]+)$", listed, re.M))
    want = dict([(sym.replace("_", "-"), True) for sym in SYMBOLS] +
                [(sym.replace("_", "-"), False) for sym in OUTPUTS])
    got = {name: "writable" in flags[name] for name in want if name in flags}
    ctx.record("gstreamer", 0, "properties as the README names them", got == want,
               "%d settable, %s read-only" % (sum(got.values()), ", ".join(
                   n for n, w in got.items() if not w)) if got == want else
               "expected %s, listed %s" % (want, got))
    for rate in RATES:
        inp, x = make_input(ctx, rate)
        case, controls = setting_for(rate)
        out = ctx.path("gst_%d.wav" % rate)
        launch(inp, out, controls)
        want = reference(ctx, inp, ctx.path("ref_%d.wav" % rate), controls)
        compare_file(ctx, "gstreamer", rate, case + ", enabled=true", out, want)
        # Without enabled=true the element keeps its toggles false: a plain copy.
        out = ctx.path("gst_noenable_%d.wav" % rate)
        launch(inp, out, {k: v for k, v in controls.items() if k != "enabled"})
        compare_file(ctx, "gstreamer", rate, "enabled not set: passes the input through", out, x)


def check_ecasound(ctx):
    require("ecasound")
    for rate in RATES:
        inp, x = make_input(ctx, rate)
        case, controls = setting_for(rate)
        want = reference(ctx, inp, ctx.path("ref_%d.wav" % rate), controls)
        values = [controls[s] for s in SYMBOLS]
        for label, given, expect in (
                (case + ", all %d values given" % len(values), values, want),
                # ecasound lists the control output as one parameter more; a
                # value given for it changes nothing.
                ("%d values, one for %s too" % (len(values) + 1, OUTPUTS[0]), values + [33.0],
                 want),
                # Values not listed are set to 0, enabled with them: a plain copy.
                ("only 3 values: passes the input through", values[:3], x)):
            out = ctx.path("eca_%d_%d.wav" % (rate, len(given)))
            run(["ecasound", "-q", "-f:f32_le,1,%d" % rate, "-i", inp, "-o", out,
                 "-elv2:%s,%s" % (URI, ",".join("%r" % v for v in given))], ctx)
            compare_file(ctx, "ecasound", rate, label, out, expect)
        # Its interactive mode shows the parameters after a run, the control
        # output with what the plug-in wrote there last.
        shown = run(["ecasound", "-c", "-f:f32_le,1,%d" % rate, "-i", inp, "-o", "null",
                     "-elv2:%s,%s" % (URI, ",".join("%r" % v for v in values))], ctx,
                    input="run\ncop-status\nquit\n").replace("\n... ", " ")
        m = re.search(r"\[%d\] [^,\[]*? (-?[0-9.]+)" % (CONTROLS.index(OUTPUTS[0]) + 1), shown)
        got = float(m.group(1)) if m else None
        mains = 50.0 if controls["hum_50hz"] > 0.5 else 60.0
        ok = got is not None and (abs(got - mains) < 0.5 if tracking(controls) else got == 0.0)
        ctx.record("ecasound", rate, "cop-status: %s %s" % (
            OUTPUTS[0], "near %g Hz" % mains if tracking(controls) else "0, not tracking"), ok,
            "%s after the run" % (m.group(0) if m else "no such parameter in:\n" + shown[-800:]))


# ---- jalv on a JACK dummy server.
class Jack:
    """A private JACK server (unique name, dummy driver, no real-time)."""

    PERIOD = 256

    def __init__(self, ctx, procs, rate, tag):
        self.ctx = ctx
        self.procs = procs
        self.rate = rate
        self.name = "calvorine-%d-%s-%d" % (os.getpid(), tag, rate)
        self.env = dict(ctx.env, JACK_DEFAULT_SERVER=self.name, JACK_NO_AUDIO_RESERVATION="1",
                        JACK_NO_START_SERVER="1")
        self.log = ctx.path("jackd_%s_%d.log" % (tag, rate))
        procs.start(["jackd", "-n", self.name, "--no-realtime", "--sync", "-t", "10000",
                     "-d", "dummy", "-r", str(rate),
                     "-p", str(self.PERIOD)], self.env, self.log)
        try:
            run(["jack_wait", "-s", self.name, "-w", "-t", "10"], ctx, timeout=15, env=self.env)
        except Failure as e:
            raise Failure("JACK server did not start: %s\n%s" % (e, log_tail(self.log))) from e

    def ports(self, connections=False):
        # On a busy machine the server can stall a query while a client
        # registers (seen once on two cores, with other hosts running): that
        # is "not yet" to the callers, which poll until their own deadline.
        try:
            r = subprocess.run(["jack_lsp"] + (["-c"] if connections else []), env=self.env,
                               capture_output=True, text=True, timeout=5)
        except subprocess.TimeoutExpired:
            return ""
        return r.stdout

    def jalv(self, client, controls=None):
        """Starts jalv with its console on a pipe; returns the process once its
        ports exist."""
        cmd = ["jalv", "-x", "-n", client]
        for sym, val in (controls or {}).items():
            cmd += ["-c", "%s=%r" % (sym, val)]
        log = self.ctx.path("jalv_%s_%d.log" % (client, self.rate))
        p = self.procs.start(cmd + [URI], self.env, log, stdin=subprocess.PIPE, text=True)
        try:
            wait_for(lambda: "%s:out" % client in self.ports() or p.poll() is not None, 15,
                     "jalv ports")
        except Failure as e:
            raise Failure("%s\n%s" % (e, log_tail(log))) from e
        if p.poll() is not None:
            raise Failure("jalv exited with %d:\n%s" % (p.returncode, log_tail(log)))
        return p

    def capture(self, clients, path):
        """Routes the player through a copying instance ("src": the plug-in
        with `enabled` off, a plain copy) to every client, and records src's
        output followed by each client's output. Every connection exists
        before playback starts, and each recorded port is connected the
        ordinary way, so JACK runs src, then the clients, then the recorder
        in every cycle: the recorded channels are sample-aligned and channel 0
        is exactly what each client was given."""
        self.jalv("src", {"enabled": 0.0})
        p = self.procs.start(["jack_capture", "--manual-connections", "-c",
                              str(1 + len(clients)), "-d", "120", "--daemon", path],
                             self.env, self.ctx.path("capture_%d.log" % self.rate))
        last = "jack_capture:input%d" % (1 + len(clients))
        wait_for(lambda: last in self.ports(), 15, "jack_capture's ports")
        pairs = [("src:out", "jack_capture:input1")]
        for i, c in enumerate(clients):
            pairs += [("src:out", "%s:in" % c), ("%s:out" % c, "jack_capture:input%d" % (i + 2))]
        for a, b in pairs:
            run(["jack_connect", a, b], self.ctx, timeout=10, env=self.env)
        return p

    def play(self, path):
        return self.procs.start(["sndfile-jackplay", "--autoconnect=src:in", path], self.env,
                                self.ctx.path("play_%d.log" % self.rate))

    @staticmethod
    def finish(player, recorder, timeout):
        """Waits for the file to play out, then stops the recorder (SIGINT
        makes jack_capture close its file properly)."""
        try:
            player.wait(timeout)
        except subprocess.TimeoutExpired as e:
            raise Failure("sndfile-jackplay did not finish in %d s" % timeout) from e
        time.sleep(0.3)
        recorder.send_signal(signal.SIGINT)
        try:
            recorder.wait(15)
        except subprocess.TimeoutExpired as e:
            raise Failure("jack_capture did not stop") from e


def send(p, line):
    p.stdin.write(line + "\n")
    p.stdin.flush()


def padded_input(ctx, rate, seconds, name):
    """Half a second of silence on each side of the test signal, so that the
    capture holds the whole signal and the plug-in sees only silence before."""
    x = test_signal(rate, seconds)
    pad = np.zeros(rate // 2, dtype=np.float32)
    path = ctx.path(name)
    write_wav(path, np.concatenate([pad, x, pad]), rate)
    return path, x


def find_signal(captured, x):
    """Offset of the test signal inside a captured input channel, checked bit for bit."""
    nz = np.nonzero(captured)[0]
    if len(nz) == 0:
        raise Failure("the capture holds no signal")
    start = int(nz[0]) - int(np.nonzero(x)[0][0])
    ok, detail = same_bits(captured[start:start + len(x)], x)
    if not ok:
        raise Failure("captured input is not the played signal: %s" % detail)
    return start


def check_jalv(ctx):
    """A live level change, then `enabled` off and on again, sent through
    jalv's console while the signal plays.

    Alignment: the recorder takes the signal that jalv was given and jalv's
    output in the same JACK cycle (see Jack.capture), so the two channels are
    sample-aligned; the references are utility_host runs on the recorded
    input channel itself.
    The boundaries are found from the data: k1 is the first sample that
    differs from the before-settings reference, k2 the first that then differs
    from the after-settings reference (the `enabled` off block, which fades to
    a copy of the input), k3 the first after that fade that differs from the
    input (the fade back in). Controls take effect at the start of a run()
    call, so k1 must fall on a JACK period boundary; a fade's first samples
    can round to the values they fade from, so k2 and k3 must lie within a
    few samples after one. Once faded out the output equals the input; while
    disabled the plug-in's state is frozen, so once faded back in the output
    must equal utility_host on the input with the disabled stretch cut out.
    """
    require("jackd", "jack_wait", "jack_lsp", "jack_capture", "sndfile-jackplay", "jalv")
    seconds = 4.0
    for rate in RATES:
        case, before = setting_for(rate)
        if tracking(before):
            # Tracking starts afresh when Enabled comes back on, which no run
            # on the input with the disabled stretch cut out can give: it is
            # compared in jalv with the presets.
            case, before = case.replace(", tracking", ""), dict(before, hum_track=0.0)
        after = dict(before, level_db=before["level_db"] + 4.5)
        path, x = padded_input(ctx, rate, seconds, "jalv_in_%d.wav" % rate)
        cap = ctx.path("jalv_cap_%d.wav" % rate)
        with Processes() as procs:
            jack = Jack(ctx, procs, rate, "live")
            p = jack.jalv("live", before)
            recorder = jack.capture(["live"], cap)
            player = jack.play(path)
            # The player starts playing as soon as its port exists.
            wait_for(lambda: "jackplay:" in jack.ports(), 15, "the player")
            for delay, line in ((1.7, "level_db = %r" % after["level_db"]),
                                (1.0, "enabled = 0"), (0.8, "enabled = 1")):
                time.sleep(delay)
                send(p, line)
            jack.finish(player, recorder, seconds + 30)
        data = read_wav(cap, rate=rate, channels=2)
        cin, cout = data[:, 0].copy(), data[:, 1].copy()
        start = find_signal(cin, x)
        ref_in = ctx.path("jalv_capin_%d.wav" % rate)
        write_wav(ref_in, cin, rate)
        ref_a = reference(ctx, ref_in, ctx.path("jalv_ref_a_%d.wav" % rate), before)
        ref_b = reference(ctx, ref_in, ctx.path("jalv_ref_b_%d.wav" % rate), after)

        def boundary(k, what):
            if k is None:
                raise Failure("jalv %d Hz: no %s found in the capture" % (rate, what))
            return k

        # Before the signal the recorder's ports may not all be connected yet,
        # and an unconnected port records +0 where the plug-in gives -0 (with
        # invert on): there only the values are compared, from `start` the bits.
        silent_ok = not np.any(cout[:start])
        k1 = start + boundary(first_difference(cout[start:], ref_a[start:]), "level change")
        fade = bypass_fade_length(rate)
        found2 = k1 + boundary(first_difference(cout[k1:], ref_b[k1:]), "disable")
        k2 = found2 - found2 % Jack.PERIOD
        found3 = k2 + fade + boundary(first_difference(cout[k2 + fade:], cin[k2 + fade:]),
                                      "re-enable")
        k3 = found3 - found3 % Jack.PERIOD
        end = start + len(x)
        order_ok = start + Jack.PERIOD <= k1 < k2 < k2 + fade <= k3 < end - rate // 4 - fade
        aligned = k1 % Jack.PERIOD == 0 and max(found2 - k2, found3 - k3) < 16
        ctx.record("jalv", rate, "%s before the change (%.2f s)" % (case, (k1 - start) / rate),
                   order_ok and silent_ok, "bit-exact up to sample %d of the signal%s" % (
                       k1 - start, "" if silent_ok else ", but not silent before the signal"))
        ctx.record("jalv", rate, "level_db %+g -> %+g live (%.2f s)" % (
            before["level_db"], after["level_db"], (k2 - k1) / rate), order_ok,
            "bit-exact with the new setting from sample %d" % (k1 - start))
        ctx.record("jalv", rate, "enabled = 0: fades to an exact copy (%.2f s)" % (
            (k3 - k2) / rate), order_ok, "out == in for samples %d..%d, after a %d-sample fade" % (
                k2 + fade - start, k3 - start, fade))
        resumed = np.concatenate([cin[:k2], cin[k3:]])
        cut_in = ctx.path("jalv_cut_%d.wav" % rate)
        write_wav(cut_in, resumed, rate)
        ref_c = reference(ctx, cut_in, ctx.path("jalv_ref_c_%d.wav" % rate), after)
        ok, detail = same_bits(cout[k3 + fade:], ref_c[k2 + fade:])
        ctx.record("jalv", rate, "enabled = 1: state resumes (%.2f s)" % ((len(cout) - k3) / rate),
                   ok and order_ok, detail + " after the fade back in (reference: input without "
                   "the disabled stretch)")
        ctx.record("jalv", rate, "changes land on %d-frame run() boundaries" % Jack.PERIOD,
                   aligned, "k1 %d; fades found %d and %d samples after a boundary" % (
                       k1, found2 - k2, found3 - k3))
        if not order_ok:
            ctx.record("jalv", rate, "event order", False,
                       "signal %d..%d, k1 %d, k2 %d, k3 %d: a change came too early or late "
                       "(machine too slow?)" % (start, end, k1, k2, k3))


# ---- Ardour 7, headless.
ARDOUR_RETRIES = 3


def ardour_env(ctx):
    # Ardour keeps its configuration and caches under XDG folders: give it
    # private ones, so a user's Ardour setup is neither read nor changed.
    env = dict(ctx.env)
    for var in ("XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"):
        env[var] = ctx.path("ardour_home", var.lower())
        os.makedirs(env[var], exist_ok=True)
    return env


def ardour_attempts(what, attempt, check):
    """Ardour 7.3's tools sometimes crash while shutting down, after their
    work is done. Judge a run by its files, and retry a bounded number of
    times when they are missing or incomplete."""
    notes = []
    for i in range(1, ARDOUR_RETRIES + 1):
        rc, log = attempt()
        problem = check()
        if problem is None:
            if rc != 0:
                notes.append("exit %d after complete output (shutdown crash), accepted" % rc)
            return notes
        notes.append("attempt %d: exit %d, %s" % (i, rc, problem))
        print("ardour: %s attempt %d failed: %s\n%s" % (what, i, problem, log[-2000:]), flush=True)
    raise Failure("%s failed %d times: %s" % (what, ARDOUR_RETRIES, "; ".join(notes)))


def run_rc(cmd, env, timeout):
    try:
        r = subprocess.run(cmd, env=env, timeout=timeout, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, errors="replace")
        return r.returncode, r.stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        return -1, out + "\n(timed out)"


# Ardour runs plug-ins with flush-to-zero and denormals-are-zero set, so once
# a decaying tail reaches float's subnormal range (below 2^-126) its last
# traces are flushed where utility_host keeps them, and the difference passes
# on through the filters at that scale. Below ARDOUR_TINY (2^-96, some 580 dB
# under full scale) samples may differ by up to ARDOUR_TINY; all others must
# match bit for bit.
ARDOUR_TINY = 2.0 ** -96

# Now and then one ardour7-export run writes garbage into the first sample or
# two of every 2048-sample chunk, in either master channel, the right one
# included, which no plug-in reaches in this session; exporting the same
# session again gives a clean file. A file that does not match (and that no
# shift below explains) is exported again, bounded like the shutdown crash,
# and what differed is noted: a fault of the plug-in's fails every time.
ARDOUR_EXPORT_CHUNK = 2048
ARDOUR_EXPORT_GARBAGE = 4  # samples at each chunk start that may hold it

# Under load an export now and then starts a few samples early (16 seen), the
# whole file shifted, though the session is the same. The signal sits in a
# quarter second of silence at each end, so a shift of up to this many
# samples only moves silence in or out; a shifted file must then match bit
# for bit, and the shift is reported.
ARDOUR_MAX_SHIFT = 64


def ardour_shift(data, expect, rel):
    """The shift that makes data match expect (data[i + s] = expect[i]),
    or None. Only tried when the file does not match as it is."""
    n = len(data)
    for s in range(-ARDOUR_MAX_SHIFT, ARDOUR_MAX_SHIFT + 1):
        if s == 0:
            continue
        lo, hi = max(0, -s), min(n, n - s)  # indices i with 0 <= i + s < n
        bad = np.zeros(hi - lo, dtype=bool)
        for ch in (0, 1):
            bad |= ardour_bad(data[lo + s:hi + s, ch], expect[ch][lo:hi], rel)
        edge = np.concatenate((expect[0][:lo], expect[0][hi:]))
        if not bad.any() and not np.any(edge != 0):
            return s
    return None


def ardour_bad(got, want, rel=0.0):
    """Per-sample mask of the samples that fail. Bits must match, with zeros
    compared by value (Ardour sums tracks into the master bus, and 0 + -0 is
    +0; flushing also turns -0 into +0), and the flushed tail above; with
    rel > 0, a relative tolerance instead of equal bits."""
    err = np.abs(got.astype(np.float64) - want.astype(np.float64))
    if rel > 0:
        good = err <= rel * np.abs(want.astype(np.float64))
    else:
        good = (got.view(np.uint32) == want.view(np.uint32)) | ((got == 0) & (want == 0))
    tiny = (np.abs(want) < ARDOUR_TINY) | (np.abs(got) < ARDOUR_TINY)
    return ~(good | (tiny & (err <= ARDOUR_TINY)))


def ardour_detail(data, expect, rel, bad):
    """What the comparison of both master channels found."""
    left = data[:, 0]
    want = expect[0]
    if bad.any():
        i = int(np.nonzero(bad)[0][0])
        return "%d samples fail, first at %d (L %r, R %r; expected %r, %r)" % (
            int(np.count_nonzero(bad)), i, float(data[i, 0]), float(data[i, 1]),
            float(expect[0][i]), float(expect[1][i]))
    if rel > 0:
        worst = 0.0
        for ch in (0, 1):
            e = expect[ch].astype(np.float64)
            big = np.abs(e) >= ARDOUR_TINY
            err = np.abs(data[big, ch].astype(np.float64) - e[big]) / np.abs(e[big])
            worst = max(worst, float(np.max(err, initial=0.0)))
        return "both sides = reference x 10^(-3/20) within relative %.2g (tolerance 2^-22)" % worst
    zero = (want == 0) & (left == 0)
    signs = int(np.count_nonzero(zero & (left.view(np.uint32) != want.view(np.uint32))))
    exact = left.view(np.uint32) == want.view(np.uint32)
    tail = int(np.count_nonzero(~exact & ~zero))
    return "bit-exact, %d samples; %d zeros differ in sign only, %d tail samples below 2^-96 " \
        "differ; right channel silent" % (len(left), signs, tail)


def check_ardour(ctx):
    """A mono track with the plug-in, in four snapshots: `matrix` (track with
    one output, so the master's left channel carries it at unity gain),
    `bypass` (Ardour's bypass, which drives the `enabled` port: an exact
    copy), `preset` (a preset loaded from Ardour's list) and `stereo` (the
    usual two-output track: the panner puts it at -3 dB on each side)."""
    require("ardour7-lua", "ardour7-export")
    env = ardour_env(ctx)
    name = "matrix"
    snapshots = (name, "bypass", "preset", "stereo")
    # A preset that sets the voicer, loaded from Ardour's own preset list.
    preset_label, preset_values = [(label, values) for _, label, values in read_presets(ctx)
                                   if values["pickup_on"] > 0.5][0]
    for rate in RATES:
        case, controls = setting_for(rate)
        folder = ctx.path("ardour_%d" % rate)
        # Ardour numbers a plug-in's control ports, outputs included, from 0
        # in port order; every input is set but enabled, Ardour's bypass.
        values = ["%d=%r" % (CONTROLS.index(s), controls[s]) for s in SYMBOLS if s != "enabled"]

        def create():
            shutil.rmtree(folder, ignore_errors=True)
            # Controls go through the environment: luasession would take a
            # negative value on its command line for an option.
            return run_rc(["ardour7-lua", os.path.join(HERE, "ardour_session.lua"), folder, name,
                           str(rate), "2.0"], dict(env, CALVORINE_CONTROLS=" ".join(values),
                                                   CALVORINE_PRESET=preset_label), 120)

        def created():
            files = [os.path.join(folder, s + ".ardour") for s in snapshots]
            if not all(os.path.isfile(f) for f in files):
                return "session snapshots missing"
            if take_file() is None:
                return "no recorded take"
            return None

        def take_file():
            takes = glob.glob(os.path.join(folder, "interchange", "*", "audiofiles", "*.wav"))
            return takes[0] if len(takes) == 1 else None

        notes = ardour_attempts("session %d Hz" % rate, create, created)
        # Put the test signal into the placeholder take, at the take's length.
        take = take_file()
        length = len(read_wav(take, rate=rate, channels=1))
        signal = test_signal(rate, 1.0)
        pad = rate // 4
        if length < len(signal) + 2 * pad:
            raise Failure("Ardour take of %d samples is too short" % length)
        x = np.zeros(length, dtype=np.float32)
        x[pad:pad + len(signal)] = signal
        write_wav(take, x, rate)
        inp = ctx.path("ardour_in_%d.wav" % rate)
        write_wav(inp, x, rate)
        want = reference(ctx, inp, ctx.path("ardour_ref_%d.wav" % rate), controls)

        def export(snap, out):
            def attempt():
                if os.path.exists(out):
                    os.remove(out)
                return run_rc(["ardour7-export", "-b", "float", "-o", out, folder, snap], env, 120)

            def complete():
                if not os.path.isfile(out):
                    return "no export file"
                try:
                    got = read_wav(out, rate=rate, channels=2)
                except Exception as e:  # an unfinished header reads as an error
                    return "unreadable export: %s" % e
                if len(got) != length:
                    return "export of %d samples, expected %d" % (len(got), length)
                return None

            notes.extend(ardour_attempts("export %s %d Hz" % (snap, rate), attempt, complete))
            return read_wav(out, rate=rate, channels=2)

        want_preset = reference(ctx, inp, ctx.path("ardour_ref_preset_%d.wav" % rate),
                                dict(DEFAULTS, **preset_values))
        silence = np.zeros(length, dtype=np.float32)
        panned = want.astype(np.float64) * 10.0 ** (-3.0 / 20.0)
        # Per snapshot: what is checked, the expected left and right channels,
        # and the relative tolerance (0: bit for bit). The panner applies its
        # -3 dB as a float gain, so the two-output track cannot be bit for
        # bit: 2^-22 leaves room for rounding the gain to float and rounding
        # the product.
        expected = {
            name: (case + ", mono-out track, master L", (want, silence), 0.0),
            "bypass": ("bypass (drives `enabled`): exact copy", (x, silence), 0.0),
            "preset": ("preset \"%s\" from Ardour's list" % preset_label,
                       (want_preset, silence), 0.0),
            "stereo": (case + ", stereo track (-3 dB pan law)", (panned, panned), 2.0 ** -22),
        }
        for snap in snapshots:
            label, expect, rel = expected[snap]
            out = ctx.path("ardour_%s_%d.wav" % (snap, rate))
            for attempt in range(1, ARDOUR_RETRIES + 1):
                data = export(snap, out)
                bad = ardour_bad(data[:, 0], expect[0], rel) | ardour_bad(data[:, 1], expect[1], rel)
                where = np.nonzero(bad)[0]
                shift = ardour_shift(data, expect, rel) if len(where) else None
                if len(where) and shift is None and attempt < ARDOUR_RETRIES:
                    what = "garbage at %d chunk starts" % len(where) if np.all(
                        where % ARDOUR_EXPORT_CHUNK < ARDOUR_EXPORT_GARBAGE) else \
                        ardour_detail(data, expect, rel, bad)
                    notes.append("export %s, attempt %d: %s; exported again" % (
                        snap, attempt, what))
                    continue
                break
            if shift is not None:
                ctx.record("ardour", rate, label, True,
                           "bit-exact once shifted by %d samples (Ardour's export offset)" % shift)
            else:
                ctx.record("ardour", rate, label, not bad.any(),
                           ardour_detail(data, expect, rel, bad))
        for n in notes:
            print("ardour %d Hz: %s" % (rate, n))


# ---- PipeWire's filter-chain: the shipped input "Guitar (hum removed)".
PW_SOURCE = "calvorine_utility.guitar"  # the input apps record from
PW_CAPTURE = "calvorine_utility.guitar.input"  # its side that takes the guitar
PW_CONF = "share/calvorine-utility/pipewire/calvorine-guitar-hum.conf"
PW_RATE, PW_QUANTUM = 48000, 4096
PW_PLAYER = "calvorine-test-guitar"
PW_ATTEMPTS = 3
# A desktop's daemon less what needs hardware, D-Bus or a session manager,
# at a fixed rate and quantum.
PW_DAEMON_CONF = """
context.properties = { core.daemon = true  core.name = pipewire-0
    default.clock.rate = %d  default.clock.quantum = %d
    default.clock.min-quantum = %d  default.clock.max-quantum = %d }
context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support }
context.modules = [ { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata } { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node } { name = libpipewire-module-access }
    { name = libpipewire-module-adapter } { name = libpipewire-module-link-factory } ]
context.objects = [ { factory = spa-node-factory
    args = { factory.name = support.node.driver  node.name = Dummy-Driver } } ]
""" % (PW_RATE, PW_QUANTUM, PW_QUANTUM, PW_QUANTUM)


class PipeWire:
    """A private PipeWire daemon with its own runtime and configuration
    folders; `dropin` goes into its pipewire.conf.d/, as a desktop's into
    ~/.config/pipewire/pipewire.conf.d/. With no session manager, the test
    gives stream nodes their ports and links them, as WirePlumber would."""

    def __init__(self, ctx, procs, tag, dropin, lv2_path):
        root = ctx.path("pw_" + tag)
        conf = os.path.join(root, "conf")
        os.makedirs(os.path.join(conf, "pipewire.conf.d"))
        for name, text in (("pipewire.conf", PW_DAEMON_CONF),
                           ("pipewire.conf.d/calvorine-guitar-hum.conf", dropin)):
            with open(os.path.join(conf, name), "w") as f:
                f.write(text)
        self.ctx, self.log = ctx, os.path.join(root, "daemon.log")
        self.env = {k: v for k, v in ctx.env.items() if not k.startswith("PIPEWIRE_")}
        self.env.update(XDG_RUNTIME_DIR=root, PIPEWIRE_RUNTIME_DIR=root, LV2_PATH=lv2_path,
                        XDG_CONFIG_HOME=os.path.join(root, "home"))
        self.daemon = procs.start(["pipewire"], dict(self.env, PIPEWIRE_CONFIG_DIR=conf),
                                  self.log)
        # Modules load before the socket is served: once a client gets an
        # answer, the filter-chain has loaded or failed.
        wait_for(lambda: self.daemon.poll() is not None or
                 self.ask("pw-cli", "info", "0").returncode == 0, 10, "pipewire")

    def ask(self, *cmd):
        return subprocess.run(cmd, env=self.env, capture_output=True, text=True, timeout=10)

    def nodes(self):
        """node.name -> properties, as pw-dump lists them."""
        return {o["info"]["props"].get("node.name"): o["info"]["props"]
                for o in json.loads(self.ask("pw-dump").stdout or "[]")
                if o.get("type") == "PipeWire:Interface:Node" and o.get("info")}

    def dsp_ports(self, node, direction):
        run(["pw-cli", "s", node, "PortConfig", json.dumps({
            "direction": direction, "mode": "dsp", "monitor": False,
            "format": {"mediaType": "audio", "mediaSubtype": "raw", "format": "F32P",
                       "rate": PW_RATE, "channels": 1, "position": ["MONO"]}})],
            self.ctx, timeout=10, env=self.env)

    def link(self, out_port, in_port):
        wait_for(lambda: {out_port, in_port} <= set(self.ask("pw-link", "-io").stdout.split()),
                 10, "ports %s and %s" % (out_port, in_port))
        run(["pw-link", out_port, in_port], self.ctx, timeout=10, env=self.env)

    def stream(self, procs, cmd, name, direction, wav):
        """pw-play or pw-record as a node of its own, not autoconnected, with its port."""
        log = wav[:-4] + ".log"
        p = procs.start([cmd, "-P", '{ node.name = "%s" node.autoconnect = false }' % name] + (
            ["--format", "f32", "--channels", "1", "--rate", str(PW_RATE)]
            if cmd == "pw-record" else []) + [wav], self.env, log)
        wait_for(lambda: p.poll() is not None or name in self.nodes(), 10, cmd)
        if p.poll() is not None:
            raise Failure("%s exited:\n%s" % (cmd, log_tail(log)))
        self.dsp_ports(name, direction)
        return p


def check_pipewire(ctx):
    """The config as installed, in a private PipeWire daemon, its input
    pointed at a test stream in the one marked place: the source as PipeWire
    lists it; its output bit for bit with lv2apply until a live change
    through pw-cli (the README's commands); after a change of mains, the new
    mains frequency is notched; then Enabled off, after which the output is the
    input. A missing plug-in must leave PipeWire running.

    As shipped the input tracks the mains; the README's pw-cli line that
    switches tracking off comes first: from its quantum on, the output is the
    notches' alone, started afresh, bit for bit; then the mains change."""
    require("pipewire", "pw-cli", "pw-dump", "pw-link", "pw-play", "pw-record", "lv2apply",
            "cmake")
    # Installed as scripts/package.sh installs: prefix /usr under a staging root.
    stage = ctx.path("stage")
    run(["cmake", "--install", os.path.dirname(os.path.dirname(ctx.bundle)), "--prefix", "/usr"],
        ctx, env=dict(ctx.env, DESTDIR=stage))
    installed = os.path.join(stage, "usr", PW_CONF)
    if not os.path.isfile(installed):
        raise Failure("cmake --install put no /usr/" + PW_CONF)
    ctx.record("install", 0, "PipeWire config", True, "in /usr/" + PW_CONF)
    with open(installed) as f:
        conf = f.read()
    controls = {k: float(v) for k, v in re.findall(
        r'^\s*"(\w+)"\s*=\s*([-0-9.]+)$', conf.split("control = {")[1].split("}")[0], re.M)}
    marked = r'^(\s*)#target\.object = "[^"]*"$'
    if len(re.findall(marked, conf, re.M)) != 1:
        raise Failure("the config has no single marked #target.object line")
    dropin = re.sub(marked, r'\1target.object = "%s"' % PW_PLAYER, conf, flags=re.M)

    with Processes() as procs:
        empty = ctx.path("lv2_empty")
        os.makedirs(empty)
        pw = PipeWire(ctx, procs, "noplugin", dropin, empty)
        up = pw.daemon.poll() is None
        said = "can't load plugin " + URI in log_tail(pw.log)
        ctx.record("pipewire", PW_RATE, "plug-in missing: PipeWire keeps running",
                   up and said and PW_SOURCE not in pw.nodes(),
                   "daemon up, no source, its log says why" if up and said else
                   "daemon %s:\n%s" % ("up" if up else "exited", log_tail(pw.log)))

    # The test signal between silences, in whole quanta (pw-play drops a
    # last partial one).
    x = test_signal(PW_RATE, 5.5)
    start = -(-PW_RATE // 2 // PW_QUANTUM) * PW_QUANTUM
    end = start + len(x)
    xp = np.zeros(-(-(end + PW_RATE // 2) // PW_QUANTUM) * PW_QUANTUM, dtype=np.float32)
    xp[start:end] = x
    inp = ctx.path("pw_play.wav")
    write_wav(inp, xp, PW_RATE)
    to_50 = int(controls.get("hum_50hz", 0.0) < 0.5)
    if not tracking(controls):
        ctx.record("pipewire", PW_RATE, "the input tracks the mains", False,
                   "hum_on and hum_track are not both 1: %s" % controls)

    # The daemon keeps time without real-time priority: on a busy machine a
    # client now and then misses a cycle and a quantum is lost. A take with
    # any fault is taken again, a bounded number of times.
    for attempt in range(1, PW_ATTEMPTS + 1):
        with Processes() as procs:
            pw = PipeWire(ctx, procs, "take%d" % attempt, dropin, ctx.lv2_path)
            wait_for(lambda: {PW_SOURCE, PW_CAPTURE} <= set(pw.nodes()), 10, "the source")
            src, cap = pw.nodes()[PW_SOURCE], pw.nodes()[PW_CAPTURE]
            if attempt == 1:
                ctx.record("pipewire", PW_RATE, "the source as pw-dump lists it",
                           (src.get("node.description"), src.get("media.class"),
                            src.get("audio.position"), cap.get("target.object")) ==
                           ("Guitar (hum removed)", "Audio/Source", "[ MONO ]", PW_PLAYER),
                           "node.name %s, node.description \"%s\", media.class %s, %s; "
                           "capture side %s, target.object %s" % (
                               PW_SOURCE, src.get("node.description"), src.get("media.class"),
                               src.get("audio.position"), cap.get("media.class"),
                               cap.get("target.object")))
            pw.dsp_ports(PW_CAPTURE, "Input")
            pw.dsp_ports(PW_SOURCE, "Output")
            rec = ctx.path("pw_rec%d.wav" % attempt)
            recorder = pw.stream(procs, "pw-record", "calvorine-test-rec", "Input", rec)
            pw.link(PW_SOURCE + ":capture_MONO", "calvorine-test-rec:input_MONO")
            player = pw.stream(procs, "pw-play", PW_PLAYER, "Output", inp)
            # What WirePlumber does with target.object.
            pw.link(cap.get("target.object") + ":output_MONO", PW_CAPTURE + ":input_MONO")
            # Each change is sent once the recording has reached its point
            # of the signal (the recording grows by 4 bytes a sample).
            linked = os.path.getsize(rec) // 4
            for at, param, value in ((1.5, "hum:hum_track", 0), (2.8, "hum:hum_50hz", to_50),
                                     (4.4, "hum:enabled", 0)):
                wait_for(lambda: os.path.getsize(rec) // 4 >= linked + start + at * PW_RATE, 20,
                         "%.1f s of the signal recorded" % at)
                run(["pw-cli", "s", PW_SOURCE, "Props", '{ params = [ "%s" %d ] }' % (
                    param, value)], ctx, timeout=10, env=pw.env)
            Jack.finish(player, recorder, 20)
        results = pipewire_results(ctx, read_wav(rec, rate=PW_RATE, channels=1)[:, 0], xp,
                                   start, end, controls, to_50)
        if all(ok for _, ok, _ in results) or attempt == PW_ATTEMPTS:
            break
        print("pipewire: take %d: %s; taken again" % (attempt, "; ".join(
            "%s: %s" % (case, detail) for case, ok, detail in results if not ok)), flush=True)
    for case, ok, detail in results:
        ctx.record("pipewire", PW_RATE, case, ok, detail + (
            " (take %d)" % attempt if attempt > 1 else ""))


def pw_reference(ctx, xp, controls, name="pw_ref"):
    """lv2apply's output for xp from a fresh instance."""
    inp, out = ctx.path(name + "_in.wav"), ctx.path(name + ".wav")
    write_wav(inp, xp, PW_RATE)
    cmd = ["lv2apply", "-i", inp, "-o", out]
    for sym, val in controls.items():
        cmd += ["-c", sym, repr(val)]
    run(cmd + [URI], ctx)
    return read_wav(out, channels=1)[:, 0]


def exact_span(a, b):
    """How many samples from the start have the same bits."""
    k = first_difference(a, b)
    return min(len(a), len(b)) if k is None else k


def pipewire_results(ctx, rec, xp, start, end, controls, to_50):
    """(case, ok, detail) for one take: lv2apply's bits as shipped until
    tracking goes off, the notches' bits from there until the mains change,
    the new mains frequency notched after it, and a copy of the input once
    Enabled is off."""
    # The recording starts before the signal reaches the filter.
    nz = np.nonzero(rec)[0]
    off = int(nz[0]) - start if len(nz) else -1
    out = rec[off:off + len(xp)] if off >= 0 else rec[:0]
    if len(out) < len(xp):
        return [("recording", False, "holds %d of the %d samples played" % (len(out), len(xp)))]
    second = PW_RATE
    # The filter-chain runs on silence from when the recorder is linked,
    # before the player is; tracking waits for the first sound.
    ref = pw_reference(ctx, xp, controls)
    k1 = first_difference(out, ref)
    if k1 is None:
        return [("tracking off", False, "the output never left the shipped setting")]
    # Tracking off: the notches alone from then on, which had never run, so
    # their bits are a fresh instance's on the input from that quantum on.
    notches = dict(controls, hum_track=0.0)
    ref_notches = pw_reference(ctx, xp[k1:], notches, "pw_notches")
    k2 = k1 + exact_span(out[k1:], ref_notches)
    # Enabled off: from where the output last differs from the input on, an
    # exact copy (a fade into the bypass ends before that).
    diff = np.nonzero(out.view(np.uint32) != xp.view(np.uint32))[0]
    k3 = int(diff[-1]) + 1 if len(diff) else 0
    window = slice(k2 + second // 2, k2 + second)
    order_ok = k1 % PW_QUANTUM == 0 and k1 < k2 < window.stop + second // 10 <= k3
    mains = 50.0 if to_50 else 60.0

    def level(y):  # amplitude at the new mains frequency (Hann window)
        w = np.hanning(len(y))
        return 2.0 * abs(np.sum(w * y * np.exp(-2j * np.pi * mains * np.arange(len(y)) /
                                                PW_RATE))) / np.sum(w)

    drop = 20.0 * np.log10(max(level(out[window]), 1e-30) / level(ref_notches[window.start - k1:
                                                                              window.stop - k1]))
    return [
        ("recording = lv2apply, shipped controls", k1 >= start + second,
         "bit-exact for samples 0..%d (%.2f s of signal; %s), then the change" % (
             k1 - 1, (k1 - start) / second, " ".join("%s=%g" % kv for kv in controls.items()))),
        ("pw-cli hum_track -> 0: the notches' bits", order_ok and k2 - k1 >= second // 2,
         "from sample %d (a quantum's start), bit-exact with lv2apply's notches started "
         "afresh there, for %.2f s, then the mains change" % (k1, (k2 - k1) / second)),
        ("pw-cli hum_50hz -> %d: %g Hz notched" % (to_50, mains), order_ok and drop < -30.0,
         "%g Hz 0.5-1 s after the change: %.1f dB under the unchanged setting's" % (
             mains, -drop)),
        ("pw-cli enabled -> 0: output = input", order_ok and end - k3 >= second // 2,
         "bit-exact copy for the last %.2f s of the signal (from %.2f s after the mains "
         "change)" % ((end - k3) / second, (k3 - k2) / second)),
    ]


# ---- Presets: lv2file -P and jalv, against the preset's values set by hand.
def read_presets(ctx):
    """Presets as a host sees them: parsed from the bundle with sordi."""
    require("sordi")
    out = run(["sordi", "-i", "turtle", "-o", "ntriples",
               "file://" + os.path.join(ctx.bundle, "presets.ttl")], ctx)
    triples = [m.groups() for m in re.finditer(r'^(\S+) <([^>]+)> (.+) \.$', out, re.M)]
    pset = "http://lv2plug.in/ns/ext/presets#"
    lv2 = "http://lv2plug.in/ns/lv2core#"
    rdf_type = "http://www.w3.org/1999/02/22-rdf-syntax-ns#type"
    label = "http://www.w3.org/2000/01/rdf-schema#label"

    def objects(subject, pred):
        return [o for s, p, o in triples if s == subject and p == pred]

    def literal(o):
        return re.match(r'^"(.*)"', o).group(1)

    presets = []
    for s, p, o in triples:
        if p == rdf_type and o == "<%sPreset>" % pset:
            values = {}
            for port in objects(s, lv2 + "port"):
                sym = literal(objects(port, lv2 + "symbol")[0])
                values[sym] = float(literal(objects(port, pset + "value")[0]))
            presets.append((s.strip("<>"), literal(objects(s, label)[0]), values))
    return sorted(presets)


def check_presets(ctx):
    require("lv2file", "lv2_validate")
    presets = read_presets(ctx)
    ttl = sorted(glob.glob(os.path.join(ctx.bundle, "*.ttl")))
    # lv2_validate exits non-zero on any error, which run() turns into a failure.
    # It learns the terms of MOD's vocabulary that modgui.ttl uses from this file.
    terms = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bundle",
                         "modgui_terms.ttl")
    out = run(["lv2_validate", terms] + ttl, ctx)
    has_presets = os.path.join(ctx.bundle, "presets.ttl") in ttl
    ctx.record("lv2_valid", 0, "bundle with presets.ttl", has_presets,
               (out.strip().splitlines() or ["no output"])[-1] if has_presets
               else "presets.ttl is not in the built bundle")
    listed = run(["lv2file", "-L", URI], ctx)
    settable = set(SYMBOLS) - {"enabled"}
    for uri, label, values in presets:
        ok = set(values) == settable and ("Preset: %s" % label) in listed
        ctx.record("presets", 0, label, ok,
                   "listed by lilv, sets %s" % ("every control but enabled" if set(values) ==
                                                 settable else sorted(values)))
    tracked = sorted(label for _, label, values in presets if tracking(values))
    ctx.record("presets", 0, "count", len(presets) == 10 and tracked == [
        "Hum and buzz removal 50 Hz", "Hum and buzz removal 60 Hz"],
        "%d presets (10 expected), tracking in %s" % (len(presets), tracked))

    for rate in RATES:
        inp, x = make_input(ctx, rate)
        plain = reference(ctx, inp, ctx.path("ref_defaults_%d.wav" % rate), DEFAULTS)
        for i, (uri, label, values) in enumerate(presets):
            want = reference(ctx, inp, ctx.path("ref_p%d_%d.wav" % (i, rate)),
                             dict(DEFAULTS, **values))
            out = ctx.path("lv2file_p%d_%d.wav" % (i, rate))
            run(["lv2file", "--ignore-clipping", "-b", "256", "-P", label, "-i", inp, "-o", out,
                 URI], ctx)
            ok, detail = same_bits(read_wav(out, rate=rate, channels=1)[:, 0], want)
            if not differs_from(want, plain):
                ok, detail = False, "the preset sounds like the defaults: nothing to tell it by"
            ctx.record("lv2file", rate, "-P \"%s\"" % label, ok, detail)

    # jalv: one instance per preset on one JACK server, each loading its
    # preset through the console before the signal arrives.
    require("jackd", "jack_wait", "jack_lsp", "jack_capture", "sndfile-jackplay", "jalv",
            "jack_connect")
    rate = 48000
    seconds = 1.5
    path, x = padded_input(ctx, rate, seconds, "presets_jalv_in.wav")
    cap = ctx.path("presets_jalv_cap.wav")
    clients = ["p%d" % i for i in range(len(presets))]
    with Processes() as procs:
        jack = Jack(ctx, procs, rate, "presets")
        for client, (uri, label, values) in zip(clients, presets):
            p = jack.jalv(client)
            send(p, "presets")
            send(p, "preset " + uri)
        time.sleep(0.5)
        recorder = jack.capture(clients, cap)
        jack.finish(jack.play(path), recorder, seconds + 30)
    data = read_wav(cap, rate=rate, channels=1 + len(clients))
    ref_in = ctx.path("presets_capin.wav")
    write_wav(ref_in, data[:, 0], rate)
    plain = reference(ctx, ref_in, ctx.path("presets_jplain.wav"), DEFAULTS)
    start = find_signal(data[:, 0], x)
    for i, (uri, label, values) in enumerate(presets):
        cout = data[:, 1 + i].copy()
        setting = dict(DEFAULTS, **values)
        want = reference(ctx, ref_in, ctx.path("presets_jref_%d.wav" % i), setting)
        # Bits from the signal on; before it, silence (see check_jalv).
        ok, detail = same_bits(cout[start:], want[start:])
        ok = ok and not np.any(cout[:start])
        if not differs_from(want, plain):
            ok, detail = False, "the preset sounds like the defaults: nothing to tell it by"
        ctx.record("jalv", rate, "preset \"%s\"" % label, ok, detail)


CHECKS = {
    "lv2apply": check_lv2apply,
    "lv2file": check_lv2file,
    "lv2proc": check_lv2proc,
    "ffmpeg": check_ffmpeg,
    "gstreamer": check_gstreamer,
    "ecasound": check_ecasound,
    "jalv": check_jalv,
    "ardour": check_ardour,
    "presets": check_presets,
    "pipewire": check_pipewire,
}

if __name__ == "__main__":
    sys.exit(main(CHECKS))
