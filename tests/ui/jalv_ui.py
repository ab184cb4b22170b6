#!/usr/bin/python3
"""Our UI in a real host: jalv.gtk3 or jalv.qt5 (which embed X11 UIs through
suil) on a private JACK dummy server, on a private Xvfb display.

Test (default): jalv must pick our UI, and the window must show the view for
the bundle's defaults; a drag on the Level knob with xdotool must change the
plug-in's gain (a sine from jack_simple_client through it, recorded with
jack_capture) and the window must show that level; a preset loaded from
jalv's Presets menu must show in the window as the view for that preset.

Screenshot (--screenshot OUT.png [SYMBOL=VALUE ...]): jalv.gtk3 starts with
those controls set and the UI's window is saved as it is shown.

jalv.qt5 (1.6.6) takes no options: its JACK client is named after the
plug-in, and it cannot start with controls set.
"""
import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import soundfile as sf
from PIL import Image

URI = "https://calvorine.audio/calvorine-suite/utility"
UI_URI = URI + "#ui"
RATE = 48000
# Per host: the command before the URI, its JACK client's name, and the keys
# that open the Presets menu (the second in the menu bar) and pick its last
# entry.
HOSTS = {
    "jalv.gtk3": (["jalv.gtk3", "--jack-name", "utility", "-x"], "utility",
                  ["F10", "Right", "Up", "Return"]),
    "jalv.qt5": (["jalv.qt5"], "Calvorine Utility", ["alt+p", "Up", "Return"]),
}


class Failure(Exception):
    pass


class Session:
    """Background processes, stopped in reverse order at exit (by their ids)."""

    def __init__(self, work):
        self.work = work
        self.procs = []
        self.env = dict(os.environ)
        self.pipe = None  # Xvfb's display number comes through it
        self.host = self.client = self.toplevel = None

    def start(self, cmd, log, **kw):
        if shutil.which(cmd[0]) is None:
            raise Failure("%s not installed (scripts/deps.sh)" % cmd[0])
        f = open(os.path.join(self.work, log), "w")
        p = subprocess.Popen(cmd, env=self.env, stdout=f, stderr=subprocess.STDOUT,
                             start_new_session=True, **kw)
        self.procs.append((p, f))
        return p

    def run(self, cmd, timeout=20):
        r = subprocess.run(cmd, env=self.env, capture_output=True, text=True, timeout=timeout)
        if r.returncode != 0:
            raise Failure("%s failed (%d): %s" % (" ".join(cmd), r.returncode, r.stderr[-500:]))
        return r.stdout

    def log(self, name):
        with open(os.path.join(self.work, name), errors="replace") as f:
            return f.read()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.pipe is not None:
            os.close(self.pipe)
        for p, f in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
            f.close()


def wait_for(what, timeout, probe):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        got = probe()
        if got:
            return got
        time.sleep(0.1)
    raise Failure("timed out waiting for %s" % what)


def start_display(s):
    """Xvfb on a display number no one else uses: it picks one and tells, in
    two writes (the number, then a newline). The pipe stays open: Xvfb exits
    when its second write finds the reader gone."""
    r, w = os.pipe()
    s.start(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
             "-noreset"],
            "xvfb.log", pass_fds=(w,))
    os.close(w)
    s.pipe = r
    got = b""
    deadline = time.monotonic() + 15
    while not got.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([r], [], [], 0.5)
        chunk = os.read(r, 32) if ready else b""
        if ready and not chunk:
            break  # Xvfb exited
        got += chunk
    number = got.decode().strip()
    if not got.endswith(b"\n") or not number:
        raise Failure("Xvfb did not start:\n" + s.log("xvfb.log"))
    s.env["DISPLAY"] = ":" + number


def start_jack(s):
    name = "calvorine-ui-%d" % os.getpid()
    s.env.update(JACK_DEFAULT_SERVER=name, JACK_NO_AUDIO_RESERVATION="1", JACK_NO_START_SERVER="1")
    s.start(["jackd", "-n", name, "--no-realtime", "-t", "10000", "-d", "dummy", "-r", str(RATE),
             "-p", "256"], "jackd.log")
    s.run(["jack_wait", "-s", name, "-w", "-t", "10"], timeout=15)


def start_jalv(s, controls):
    cmd = list(HOSTS[s.host][0])
    for c in controls:
        cmd += ["-c", c]
    p = s.start(cmd + [URI], "jalv.log")
    line = wait_for("jalv to pick a UI", 20,
                    lambda: re.search(r"^UI:\s*(\S+)", s.log("jalv.log"), re.M) or p.poll() is not None)
    if p.poll() is not None or line is True:
        raise Failure("%s exited:\n%s" % (s.host, s.log("jalv.log")))
    if line.group(1) != UI_URI:
        raise Failure("%s picked %s, not our UI" % (s.host, line.group(1)))
    return p


def ui_window(s):
    """(x, y, width, height) of our UI's window on the screen, and the host's
    top-level window. jalv names its window after the plug-in too, but ours
    has no class."""
    pat = re.compile(r'^\s*0x[0-9a-f]+ "Calvorine Utility": \(\)\s+(\d+)x(\d+)\S*\s+\+(-?\d+)\+(-?\d+)',
                     re.M)

    top = re.compile(r'^\s*(0x[0-9a-f]+) "Calvorine Utility": \("jalv', re.M)

    def where():
        tree = s.run(["xwininfo", "-root", "-tree"])
        m = pat.search(tree)
        t = top.search(tree)
        if m and t:
            s.toplevel = t.group(1)
            return (int(m.group(3)), int(m.group(4)), int(m.group(1)), int(m.group(2)))
        return None

    # The host places the window after creating it: wait until it stays put.
    seen = [None]

    def settled():
        now = where()
        was, seen[0] = seen[0], now
        return now if now and now == was else None
    return wait_for("the UI's window to settle", 15, lambda: time.sleep(0.3) or settled())


def grab(s, win, path):
    """The window's pixels as shown on the screen."""
    full = os.path.join(s.work, "screen.png")
    s.run(["import", "-window", "root", full])
    x, y, w, h = win
    img = Image.open(full).convert("RGB").crop((x, y, x + w, y + h))
    img.save(path)
    return np.asarray(img, dtype=np.int16)


def render(s, tool, win, path, settings=()):
    s.run([tool, str(win[2]), str(win[3]), "1", str(RATE), "png", path] + list(settings))
    return np.asarray(Image.open(path).convert("RGB"), dtype=np.int16)


def differing(a, b):
    """Share of pixels that differ visibly (any channel by more than 24)."""
    if a.shape != b.shape:
        return 1.0
    return float(np.mean(np.max(np.abs(a - b), axis=2) > 24))


def gain_db(s, tag):
    """The plug-in's gain on the sine, from one second recorded at its input
    and output in the same JACK cycles."""
    path = os.path.join(s.work, "capture_%s.wav" % tag)
    s.run(["jack_capture", "-c", "2", "-p", "jack_simple_client:output1", "-p", s.client + ":out",
           "-d", "1", "-f", "wav", path], timeout=20)
    x, _ = sf.read(path, dtype="float64", always_2d=True)
    x = x[len(x) // 5:]
    rms_in = np.sqrt(np.mean(x[:, 0] ** 2))
    if rms_in < 1e-3:
        raise Failure("no signal recorded at the plug-in's input")
    return 20 * np.log10(np.sqrt(np.mean(x[:, 1] ** 2)) / rms_in)


def layout(s, tool, win):
    boxes = {}
    for line in s.run([tool, str(win[2]), str(win[3]), "1", str(RATE), "layout"]).splitlines():
        sym, x, y, w, h = line.split()
        boxes[sym] = (float(x), float(y), float(w), float(h))
    return boxes


def check(results, ok, what):
    print("%s  %s" % ("PASS" if ok else "FAIL", what), flush=True)
    results.append(ok)


def test(s, tool):
    results = []
    start_jack(s)
    start_jalv(s, [])
    check(results, True, "%s picked our UI (%s)" % (s.host, UI_URI))
    s.start(["jack_simple_client"], "sine.log")
    wait_for("the sine's port", 10,
             lambda: "jack_simple_client:output1" in s.run(["jack_lsp"]))
    s.run(["jack_connect", "jack_simple_client:output1", s.client + ":in"])
    win = ui_window(s)
    x0, y0 = win[0], win[1]
    plot = (x0 + win[2] // 2, y0 + 60)  # over the plot: no control lit
    s.run(["xdotool", "mousemove", str(plot[0]), str(plot[1])])
    time.sleep(0.5)

    shot = grab(s, win, os.path.join(s.work, "ui_start.png"))
    d = differing(shot, render(s, tool, win, os.path.join(s.work, "view_defaults.png")))
    check(results, d < 0.002, "the window shows the view for the defaults (%.3f%% differ)" % (100 * d))
    g0 = gain_db(s, "before")
    check(results, abs(g0) < 0.05, "gain at the default level: %+.3f dB" % g0)

    bx, by, bw, bh = layout(s, tool, win)["level_db"]
    kx, ky = int(x0 + bx + bw / 2), int(y0 + by + bh / 2)
    s.run(["xdotool", "mousemove", str(kx), str(ky), "mousedown", "1", "sleep", "0.1",
           "mousemove", str(kx), str(ky - 20), "sleep", "0.1", "mousemove", str(kx), str(ky - 60),
           "sleep", "0.1", "mouseup", "1", "sleep", "0.1", "mousemove", str(plot[0]), str(plot[1])])
    time.sleep(0.5)
    g1 = gain_db(s, "after_drag")
    check(results, g1 - g0 > 6.0, "dragging Level up 60 px raised the plug-in's gain to %+.3f dB" % g1)
    shot = grab(s, win, os.path.join(s.work, "ui_after_drag.png"))
    near = differing(shot, render(s, tool, win, os.path.join(s.work, "view_level.png"),
                                  ["level_db=%.4f" % g1]))
    far = differing(shot, render(s, tool, win, os.path.join(s.work, "view_defaults.png")))
    check(results, near < 0.002 < far,
          "the window shows the level the plug-in plays (%.3f%% differ; %.3f%% from the defaults)"
          % (100 * near, 100 * far))

    # A preset from jalv's menu, with the keyboard (the host's window takes
    # the focus first: there is no window manager to give it).
    s.run(["xdotool", "windowfocus", s.toplevel])
    for key in HOSTS[s.host][2]:
        s.run(["xdotool", "key", key])
        time.sleep(0.3)
    time.sleep(0.7)
    shot = grab(s, win, os.path.join(s.work, "ui_preset.png"))
    pdir = os.path.join(s.work, "presets")
    os.makedirs(pdir, exist_ok=True)
    best = None
    for line in s.run([tool, str(win[2]), str(win[3]), "1", str(RATE), "presets", pdir]).splitlines():
        path, name = line.split(" ", 1)
        d = differing(shot, np.asarray(Image.open(path).convert("RGB"), dtype=np.int16))
        if best is None or d < best[0]:
            best = (d, name)
    check(results, best is not None and best[0] < 0.002,
          "after loading a preset in jalv the window shows the view for %s (%.3f%% differ)"
          % (best[1] if best else "?", 100 * (best[0] if best else 1)))
    g2 = gain_db(s, "after_preset")
    check(results, abs(g2 - g1) > 1.0, "the preset changed the plug-in's gain too (%+.3f dB)" % g2)
    passed = sum(results)
    print("%d passed, %d failed" % (passed, len(results) - passed))
    return 0 if passed == len(results) else 1


def screenshot(s, tool, out, settings):
    start_jack(s)
    start_jalv(s, settings)
    win = ui_window(s)
    s.run(["xdotool", "mousemove", "1279", "799"])  # off the UI
    time.sleep(1.0)
    shot = grab(s, win, out)
    d = differing(shot, render(s, tool, win, os.path.join(s.work, "view.png"), settings))
    if d >= 0.002:
        raise Failure("the window does not show the view for %s (%.3f%% differ)" % (settings, 100 * d))
    print("saved %s (%dx%d), as %s shows it" % (out, win[2], win[3], s.host))
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lv2", required=True, help="the build tree's lv2/ folder (bundles only)")
    ap.add_argument("--render", required=True, help="the ui_render tool")
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--host", choices=sorted(HOSTS), default="jalv.gtk3")
    ap.add_argument("--screenshot", metavar="OUT.png")
    ap.add_argument("settings", nargs="*", metavar="SYMBOL=VALUE")
    a = ap.parse_args()
    work = os.path.abspath(a.workdir)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    started = time.monotonic()
    try:
        with Session(work) as s:
            s.env["LV2_PATH"] = os.path.abspath(a.lv2) + ":/usr/lib/lv2"
            s.host = a.host
            s.client = HOSTS[a.host][1]
            if a.screenshot and a.settings and a.host != "jalv.gtk3":
                raise Failure("only jalv.gtk3 starts with controls set")
            start_display(s)
            if a.screenshot:
                return screenshot(s, os.path.abspath(a.render), os.path.abspath(a.screenshot),
                                  a.settings)
            return test(s, os.path.abspath(a.render))
    except (Failure, subprocess.TimeoutExpired) as e:
        print("FAIL  %s" % e)
        for name in ("jalv.log", "jackd.log"):
            path = os.path.join(work, name)
            if os.path.exists(path):
                print("---- %s\n%s" % (name, open(path, errors="replace").read()[-2000:]))
        return 1
    finally:
        print("elapsed %.1f s" % (time.monotonic() - started))


if __name__ == "__main__":
    sys.exit(main())
