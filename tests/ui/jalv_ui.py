#!/usr/bin/python3
"""Our UI in a real host: jalv.gtk3 or jalv.qt5 (which embed X11 UIs through
suil) on a private JACK dummy server and a private Xvfb display.

Test: the host must pick our UI, whose window must show the view for the
defaults (drawn off screen by ui_render); a drag on Level with xdotool must
raise the plug-in's gain on a sine (jack_simple_client through it, recorded
by jack_capture) and the window must show that level; a preset loaded from
the host's Presets menu must show as the view for that preset.

--screenshot OUT.png [SYMBOL=VALUE ...]: jalv.gtk3 starts with those
controls set, and the UI's window is saved as shown; --reads SYMBOL=VALUE
names what the plug-in reports on an output port meanwhile, for the check
against the view. (jalv.qt5 1.6.6 takes no options: its JACK client is
named after the plug-in.)
"""
import argparse
import os
import re
import select
import signal
import subprocess
import sys
import time

import numpy as np
import soundfile as sf
from PIL import Image

URI = "https://calvorine.audio/calvorine-suite/utility"
# Per host: its command, its JACK client, the keys that open its Presets
# menu (the second) and pick the last entry.
HOSTS = {"jalv.gtk3": (["jalv.gtk3", "--jack-name", "utility", "-x"], "utility",
                       ["F10", "Right", "Up", "Return"]),
         "jalv.qt5": (["jalv.qt5"], "Calvorine Utility", ["alt+p", "Up", "Return"])}


class Failure(Exception):
    pass


class Session:
    """Background processes, each stopped by its id at the end."""

    def __init__(self, work, host, tool):
        self.work, self.host, self.tool = work, host, tool
        self.procs, self.env = [], dict(os.environ)

    def start(self, cmd, log, **kw):
        p = subprocess.Popen(cmd, env=self.env, stdout=open(os.path.join(self.work, log), "w"),
                             stderr=subprocess.STDOUT, start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def run(self, *cmd, timeout=20):
        r = subprocess.run(cmd, env=self.env, capture_output=True, text=True, timeout=timeout)
        if r.returncode:
            raise Failure("%s: %s" % (" ".join(cmd), r.stderr[-500:]))
        return r.stdout

    def log(self, name):
        path = os.path.join(self.work, name)
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def stop(self):
        for p in reversed(self.procs):
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def wait_for(what, timeout, probe):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        got = probe()
        if got:
            return got
        time.sleep(0.2)
    raise Failure("timed out waiting for " + what)


def start(s, controls):
    """Xvfb (it picks a free display and writes its number, then a newline:
    the pipe stays open, or its second write would fail), JACK, the host."""
    r, w = os.pipe()
    s.start(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
             "-noreset"], "xvfb.log", pass_fds=(w,))
    os.close(w)
    got = b""
    while not got.endswith(b"\n") and select.select([r], [], [], 15)[0]:
        chunk = os.read(r, 32)
        got += chunk
        if not chunk:
            break
    if not got.endswith(b"\n"):
        raise Failure("Xvfb did not start: " + s.log("xvfb.log"))
    name = "calvorine-ui-%d" % os.getpid()
    s.env.update(DISPLAY=":" + got.decode().strip(), JACK_DEFAULT_SERVER=name,
                 JACK_NO_AUDIO_RESERVATION="1", JACK_NO_START_SERVER="1")
    s.start(["jackd", "-n", name, "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256"],
            "jackd.log")
    s.run("jack_wait", "-s", name, "-w", "-t", "10")
    cmd = HOSTS[s.host][0] + sum((["-c", c] for c in controls), [])
    p = s.start(cmd + [URI], "host.log")
    ui = wait_for("the host to pick a UI", 20, lambda: p.poll() is not None or
                  re.search(r"^UI:\s*(\S+)", s.log("host.log"), re.M))
    if p.poll() is not None or ui.group(1) != URI + "#ui":
        raise Failure("%s did not run our UI:\n%s" % (s.host, s.log("host.log")))
    # Our window has a name but no class; the host's top level has both.
    ours = re.compile(r'^\s*0x\w+ "Calvorine Utility": \(\)\s+(\d+)x(\d+)\S*\s+\+(-?\d+)\+(-?\d+)', re.M)
    top = re.compile(r'^\s*(0x\w+) "Calvorine Utility": \("jalv', re.M)
    seen = [None]

    def settled():  # the host places the window after making it
        tree = s.run("xwininfo", "-root", "-tree")
        m, t = ours.search(tree), top.search(tree)
        now = m and t and (t.group(1),) + tuple(int(m.group(i)) for i in (3, 4, 1, 2))
        was, seen[0] = seen[0], now
        return now if now and now == was else None
    s.top, *s.win = wait_for("the UI's window", 15, lambda: time.sleep(0.3) or settled())


def shown(s, name):
    path = os.path.join(s.work, name + ".png")
    s.run("import", "-window", "root", path)
    x, y, w, h = s.win
    Image.open(path).convert("RGB").crop((x, y, x + w, y + h)).save(path)
    return path


def differing(a, b):
    """Share of pixels that differ visibly (by more than 24 in a channel)."""
    a, b = (np.asarray(Image.open(p).convert("RGB"), dtype=np.int16) for p in (a, b))
    return 1.0 if a.shape != b.shape else float(np.mean(np.abs(a - b).max(axis=2) > 24))


def view(s, name, *args):
    """ui_render at the window's size: a PNG of the view (or other output)."""
    path = os.path.join(s.work, name)
    return s.run(s.tool, str(s.win[2]), str(s.win[3]), "1", "48000", *(args or ("png", path))), path


def gain_db(s, tag):
    path = os.path.join(s.work, "capture_%s.wav" % tag)
    s.run("jack_capture", "-c", "2", "-p", "jack_simple_client:output1", "-p",
          HOSTS[s.host][1] + ":out", "-d", "1", "-f", "wav", path)
    x = sf.read(path, always_2d=True)[0][9600:]
    if np.std(x[:, 0]) < 1e-3:
        raise Failure("no signal at the plug-in's input")
    return 20 * np.log10(np.std(x[:, 1]) / np.std(x[:, 0]))


def test(s):
    results = []

    def check(ok, what):
        print("%s  %s" % ("PASS" if ok else "FAIL", what), flush=True)
        results.append(ok)
    start(s, [])
    s.start(["jack_simple_client"], "sine.log")
    wait_for("the sine", 10, lambda: "jack_simple_client:output1" in s.run("jack_lsp"))
    s.run("jack_connect", "jack_simple_client:output1", HOSTS[s.host][1] + ":in")
    x0, y0 = s.win[0], s.win[1]
    away = [str(x0 + s.win[2] // 2), str(y0 + 60)]  # over the plot: nothing lit
    s.run("xdotool", "mousemove", *away)
    time.sleep(0.5)
    d = differing(shown(s, "start"), view(s, "defaults.png")[1])
    check(d < 0.002, "%s runs our UI, showing the view for the defaults (%.3f%% differ)"
          % (s.host, 100 * d))
    g0 = gain_db(s, "before")

    layout = dict((line.split()[0], [float(v) for v in line.split()[1:]])
                  for line in view(s, "", "layout")[0].splitlines())
    bx, by, bw, bh = layout["level_db"]
    kx, ky = str(int(x0 + bx + bw / 2)), int(y0 + by + bh / 2)
    s.run("xdotool", "mousemove", kx, str(ky), "mousedown", "1", "sleep", "0.1", "mousemove", kx,
          str(ky - 30), "sleep", "0.1", "mousemove", kx, str(ky - 60), "sleep", "0.1", "mouseup",
          "1", "sleep", "0.1", "mousemove", *away)
    time.sleep(0.5)
    g1 = gain_db(s, "after_drag")
    check(abs(g0) < 0.05 and g1 - g0 > 6, "dragging Level up took the plug-in's gain from "
          "%+.3f dB to %+.3f dB" % (g0, g1))
    d = differing(shown(s, "dragged"), view(s, "level.png", "png", os.path.join(
        s.work, "level.png"), "level_db=%.4f" % g1)[1])
    check(d < 0.002, "the window shows that level (%.3f%% differ)" % (100 * d))

    s.run("xdotool", "windowfocus", s.top)  # no window manager gives the focus
    for key in HOSTS[s.host][2]:
        s.run("xdotool", "key", key)
        time.sleep(0.3)
    time.sleep(0.7)
    now = shown(s, "preset")
    # A preset that tracks the mains shows the followed frequency once the
    # host relays it, and a dash until then; on this sine (no hum) the tracker
    # stays on the nominal mains.
    renders = []
    for reading in ("0", "50", "60"):
        folder = os.path.join(s.work, "presets_" + reading)
        os.makedirs(folder, exist_ok=True)
        renders += view(s, "", "presets", folder, "hum_freq=" + reading)[0].splitlines()
    best = min((differing(now, line.split()[0]), line.split()[1]) for line in renders)
    check(best[0] < 0.002, "after loading a preset from the host's menu the window shows the view "
          "for %s (%.3f%% differ)" % (best[1], 100 * best[0]))
    print("%d passed, %d failed" % (sum(results), len(results) - sum(results)))
    return 0 if all(results) else 1


def screenshot(s, out, settings, reads):
    start(s, settings)
    s.run("xdotool", "mousemove", "1279", "799")
    time.sleep(1.0)
    os.replace(shown(s, "shot"), out)
    d = differing(out, view(s, "view.png", "png", os.path.join(s.work, "view.png"), *settings,
                            *reads)[1])
    if d >= 0.002:
        raise Failure("the window does not show the view for %s" % (settings + reads))
    print("saved %s (%dx%d), as %s shows it" % (out, s.win[2], s.win[3], s.host))
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lv2", required=True, help="the build tree's lv2/ folder (bundles only)")
    ap.add_argument("--render", required=True, help="the ui_render tool")
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--host", choices=sorted(HOSTS), default="jalv.gtk3")
    ap.add_argument("--screenshot", metavar="OUT.png")
    ap.add_argument("--reads", action="append", default=[], metavar="SYMBOL=VALUE")
    ap.add_argument("settings", nargs="*", metavar="SYMBOL=VALUE")
    a = ap.parse_args()
    os.makedirs(a.workdir, exist_ok=True)
    s = Session(os.path.abspath(a.workdir), a.host, os.path.abspath(a.render))
    s.env["LV2_PATH"] = os.path.abspath(a.lv2) + ":/usr/lib/lv2"
    started = time.monotonic()
    try:
        if a.screenshot:
            return screenshot(s, os.path.abspath(a.screenshot), a.settings, a.reads)
        return test(s)
    except (Failure, subprocess.TimeoutExpired) as e:
        print("FAIL  %s\n%s" % (e, s.log("host.log")[-2000:]))
        return 1
    finally:
        s.stop()
        print("elapsed %.1f s" % (time.monotonic() - started))


if __name__ == "__main__":
    sys.exit(main())
