#!/usr/bin/python3
"""The pedal face (MOD's "modgui") of a built bundle, rendered as MOD's web
interface renders it, in headless Chromium.

  modgui.py knob DIR          draw the knob's film strip into DIR/knob.svg
  modgui.py render BUNDLE DIR screenshot.png and thumbnail.png of BUNDLE's face into DIR
  modgui.py check BUNDLE      every control bound once, every control output shown
                              by the face's script, no console errors, and the bundle's
                              knob, screenshot and thumbnail as a fresh render

MOD fills the icon template and the stylesheet (Mustache) with the plug-in's
data, `ns` (the query that serves files from the resources folder under
/resources/) and `cns` (a class suffix unique to the plug-in), leaves out the
port designated lv2:enabled (its footswitch is the bypass), and then sets each
widget to its port's default. A face's script (modgui:javascript, one function
expression) gets its events: 'start' with every port's value, then 'change'
with a symbol and value, for a control output only when the face lists it in
modgui:monitoredOutputs. This does the same from the bundle's own Turtle
(read with sordi), serves the page and /resources/ from 127.0.0.1, and drives
Debian's chromium through chromedriver. Needs python3-selenium,
chromium-driver, python3-pystache, python3-pil, python3-numpy and sordi.
"""
import base64
import http.server
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
from urllib.parse import unquote, urlparse

LV2 = "http://lv2plug.in/ns/lv2core#"
RDF = "http://www.w3.org/1999/02/22-rdf-syntax-ns#"
RDFS = "http://www.w3.org/2000/01/rdf-schema#"
MODGUI = "http://moddevices.com/ns/modgui#"
THUMB_MAX = (256, 64)  # MOD's limit for a thumbnail
KNOB_FRAMES, KNOB_SIZE = 65, 64


# ---- The knob: one film strip, a frame per position from -135 to +135 degrees.
def knob_svg():
    width = KNOB_FRAMES * KNOB_SIZE
    c = KNOB_SIZE / 2
    out = [
        '<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink"'
        f' width="{width}" height="{KNOB_SIZE}" viewBox="0 0 {width} {KNOB_SIZE}">',
        "<defs>",
        '<radialGradient id="cap" cx="40%" cy="32%" r="70%">'
        '<stop offset="0" stop-color="#737d86"/><stop offset="1" stop-color="#22282d"/></radialGradient>',
        '<linearGradient id="skirt" x1="0" y1="0" x2="0" y2="1">'
        '<stop offset="0" stop-color="#2a3036"/><stop offset="1" stop-color="#07090b"/></linearGradient>',
        '<g id="body">',
    ]
    for t in range(11):  # scale marks, fixed while the knob turns
        out.append(f'<line x1="{c}" y1="1.5" x2="{c}" y2="5" stroke="#9aa7b1" stroke-width="1.5"'
                   f' transform="rotate({-135 + 27 * t} {c} {c})"/>')
    out += [
        f'<circle cx="{c}" cy="{c}" r="25" fill="url(#skirt)" stroke="#05070a"/>',
        f'<circle cx="{c}" cy="{c}" r="18.5" fill="url(#cap)"/>',
        "</g>",
        f'<rect id="pointer" x="{c - 1.5}" y="9" width="3" height="15" rx="1.5" fill="#f1e8d2"/>',
        "</defs>",
    ]
    for i in range(KNOB_FRAMES):
        angle = -135 + 270 * i / (KNOB_FRAMES - 1)
        out.append(f'<g transform="translate({i * KNOB_SIZE} 0)"><use xlink:href="#body"/>'
                   f'<use xlink:href="#pointer" transform="rotate({angle:.3f} {c} {c})"/></g>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


# ---- The bundle, read from its Turtle files as N-Triples.
TERM = re.compile(r'<([^>]*)>|(_:\S+)|"((?:[^"\\]|\\.)*)"(?:\^\^<[^>]*>|@[\w-]+)?')


def read_bundle(bundle):
    graph = {}
    for name in sorted(os.listdir(bundle)):
        if not name.endswith(".ttl"):
            continue
        path = os.path.abspath(os.path.join(bundle, name))
        nt = subprocess.run(["sordi", path, "file://" + path], check=True, capture_output=True,
                            text=True).stdout
        for line in nt.splitlines():
            terms = []
            for m in TERM.finditer(line):
                if m.group(1) is not None:
                    terms.append(m.group(1))
                elif m.group(2) is not None:
                    terms.append(name + m.group(2))  # blank nodes are local to a file
                else:
                    terms.append(("lit", json.loads('"' + m.group(3) + '"')))
            if len(terms) == 3:
                graph.setdefault(terms[0], []).append((terms[1], terms[2]))
    return graph


def values(graph, node, pred):
    return [o for p, o in graph.get(node, []) if p == pred]


def one(graph, node, pred, default=None):
    v = values(graph, node, pred)
    return v[0] if v else default


def number(term):
    x = float(term[1])
    return int(x) if x.is_integer() else x  # as JSON and JavaScript print it


def plugin_data(graph):
    """The plug-in as MOD's web interface describes it to a template."""
    uri = next(s for s, pos in graph.items() if (RDF + "type", LV2 + "Plugin") in pos)
    ports = []
    for node in values(graph, uri, LV2 + "port"):
        types = values(graph, node, RDF + "type")
        props = [p[len(LV2):] for p in values(graph, node, LV2 + "portProperty")]
        port = {
            "index": number(one(graph, node, LV2 + "index")),
            "symbol": one(graph, node, LV2 + "symbol")[1],
            "name": one(graph, node, LV2 + "name")[1],
            "audio": LV2 + "AudioPort" in types,
            "input": LV2 + "InputPort" in types,
            "designation": one(graph, node, LV2 + "designation", ""),
            "properties": props,
            "scalePoints": sorted(
                ({"value": number(one(graph, sp, RDF + "value")),
                  "label": one(graph, sp, RDFS + "label")[1]}
                 for sp in values(graph, node, LV2 + "scalePoint")), key=lambda s: s["value"]),
        }
        if not port["audio"]:
            port["ranges"] = {k: number(one(graph, node, LV2 + k, ("lit", "0")))
                              for k in ("minimum", "maximum", "default")}
        for prop in ("enumeration", "integer", "logarithmic", "toggled", "trigger"):
            port[prop] = prop in props
        ports.append(port)
    ports.sort(key=lambda p: p["index"])
    gui = one(graph, uri, MODGUI + "gui")
    if gui is None:
        raise SystemExit("modgui.py: the bundle has no modgui:gui")
    files = {k: urlparse(one(graph, gui, MODGUI + k)).path
             for k in ("resourcesDirectory", "iconTemplate", "stylesheet", "screenshot", "thumbnail")}
    script = one(graph, gui, MODGUI + "javascript")
    files["javascript"] = urlparse(script).path if script else None
    monitored = [one(graph, node, LV2 + "symbol")[1]
                 for node in values(graph, gui, MODGUI + "monitoredOutputs")]
    skipped = [p for p in ports if p["designation"] == LV2 + "enabled"]
    effect = {
        "uri": uri,
        "name": one(graph, uri, "http://usefulinc.com/ns/doap#name")[1],
        "ports": {
            "audio": {"input": [p for p in ports if p["audio"] and p["input"]],
                      "output": [p for p in ports if p["audio"] and not p["input"]]},
            "control": {"input": [p for p in ports if not p["audio"] and p["input"]
                                  and p not in skipped],
                        "output": [p for p in ports if not p["audio"] and not p["input"]]},
        },
    }
    return {"effect": effect, "files": files, "skipped": skipped, "monitored": monitored,
            "brand": one(graph, gui, MODGUI + "brand", ("lit", ""))[1],
            "label": one(graph, gui, MODGUI + "label", ("lit", ""))[1]}


def js_escape(s):  # JavaScript's escape(), which MOD applies to the URI
    keep = set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@*_+-./")
    return "".join(ch if ch in keep else "%%%02X" % ord(ch) for ch in s)


def page(data):
    import pystache
    uri = data["effect"]["uri"]
    fields = {"effect": data["effect"], "brand": data["brand"], "label": data["label"],
              "ns": "?uri=" + js_escape(uri),
              "cns": "_" + re.sub(r"[/%.]", "_", js_escape(uri))}
    with open(data["files"]["iconTemplate"], encoding="utf-8") as f:
        icon = pystache.render(f.read(), fields)
    with open(data["files"]["stylesheet"], encoding="utf-8") as f:
        css = pystache.render(f.read(), fields)
    ports = {p["symbol"]: p for p in data["effect"]["ports"]["control"]["input"]}
    # What the 'start' event lists: the bypass, every control input (Enabled
    # too) and every control output, each at its default.
    start = [{"symbol": ":bypass", "value": 0}] + [
        {"symbol": p["symbol"], "value": p["ranges"]["default"]}
        for p in data["effect"]["ports"]["control"]["input"] + data["skipped"] +
        data["effect"]["ports"]["control"]["output"]]
    script = None
    if data["files"]["javascript"]:
        with open(data["files"]["javascript"], encoding="utf-8") as f:
            script = f.read()
    return (
        '<!DOCTYPE html>\n<html><head><meta charset="utf-8"><link rel="icon" href="data:,">'
        f"<style>html, body {{ margin: 0; background: transparent; }}</style><style>{css}</style>"
        f'</head><body><div class="mod-pedal">{icon}</div>'
        f"<script>var PORTS = {json.dumps(ports)};\nvar START = {json.dumps(start)};\n"
        f"var SCRIPT = {json.dumps(script)};\n{SET_DEFAULTS}</script></body></html>")


# What MOD does once the face is in the page: every widget shows its port's
# default, and the bypass light is on (the plug-in is not bypassed).
SET_DEFAULTS = r"""
(function () {
  var pending = 1;
  function done() { if (--pending === 0) document.body.setAttribute('data-ready', '1'); }
  document.querySelectorAll('[mod-role="input-control-port"]').forEach(function (el) {
    var symbol = el.getAttribute('mod-port-symbol'), p = PORTS[symbol];
    if (!p) { console.error('no control port ' + symbol); return; }
    var def = p.ranges['default'], min = p.ranges.minimum, max = p.ranges.maximum;
    var widget = el.getAttribute('mod-widget') || 'film';
    if (widget === 'switch') {
      el.classList.add(def === min ? 'off' : 'on');
    } else if (widget === 'custom-select') {
      el.querySelectorAll('[mod-role="enumeration-option"]').forEach(function (o) {
        if (o.getAttribute('mod-port-value') === String(def)) o.classList.add('selected');
      });
    } else if (widget === 'film') {
      var url = getComputedStyle(el).backgroundImage.replace(/^url\("?/, '').replace(/"?\)$/, '');
      var img = new Image();
      pending++;
      img.onload = function () {
        var size = getComputedStyle(el).backgroundSize.split(' ')[1];
        var h = size && size !== 'auto' ? parseFloat(size) : img.naturalHeight;
        var frames = Math.round(h * img.naturalWidth / (el.clientWidth * img.naturalHeight));
        var pos = Math.floor((def - min) * (frames - 1) / (max - min));
        el.style.backgroundPosition = (-pos * el.clientWidth) + 'px 0px';
        el.setAttribute('data-frames', frames);
        done();
      };
      img.onerror = function () { console.error('cannot load ' + url); done(); };
      img.src = url;
    }
    document.querySelectorAll('[mod-role="input-control-value"][mod-port-symbol="' + symbol + '"]')
      .forEach(function (v) {
        var label = String(def);
        p.scalePoints.forEach(function (s) { if (s.value === def) label = s.label; });
        v.textContent = label;
      });
  });
  document.querySelectorAll('[mod-role="bypass-light"]').forEach(function (el) { el.classList.add('on'); });
  // The face's script as MOD runs it: evaluated as one function, which gets
  // the 'start' event, then 'change' events (outputOf plays one for a
  // control output); event.icon is jQuery's wrapper of the .mod-pedal div.
  var method = null;
  if (SCRIPT !== null) {
    try { eval('method = ' + SCRIPT); } catch (e) { console.error('the script does not evaluate: ' + e); }
  }
  function trigger(event) {
    if (!method) return;
    event.api_version = 3;
    event.data = {};
    event.icon = [document.querySelector('.mod-pedal')];
    event.settings = [];
    try { method(event, {}); } catch (e) { console.error('the script fails: ' + e); method = null; }
  }
  window.outputOf = function (symbol, value) {
    trigger({type: 'change', symbol: symbol, value: value});
  };
  trigger({type: 'start', ports: START, parameters: []});
  done();
})();
"""


class Served:
    """The page at / and the resources folder at /resources/, on 127.0.0.1."""

    def __init__(self, html, resources):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                path = unquote(urlparse(self.path).path)
                body, kind = None, "text/html; charset=utf-8"
                if path == "/":
                    body = html.encode()
                elif path.startswith("/resources/"):
                    f = os.path.normpath(os.path.join(resources, path[len("/resources/"):]))
                    if f.startswith(resources + os.sep) and os.path.isfile(f):
                        with open(f, "rb") as fh:
                            body = fh.read()
                        kind = {".svg": "image/svg+xml", ".png": "image/png",
                                ".css": "text/css"}.get(os.path.splitext(f)[1], "application/octet-stream")
                if body is None:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def render(bundle):
    """Loads the face in headless Chromium. Returns the widgets' mod-* attributes,
    the console's errors and a PNG of the face at its own size (1 CSS px = 1 px)."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait

    data = plugin_data(read_bundle(bundle))
    served = Served(page(data), os.path.realpath(data["files"]["resourcesDirectory"]))
    profile = tempfile.TemporaryDirectory()
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--user-data-dir=" + profile.name, "--window-size=600,600",
              "--force-device-scale-factor=1", "--hide-scrollbars"):
        opts.add_argument(a)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
    try:
        driver.set_page_load_timeout(30)
        driver.get(served.url)
        WebDriverWait(driver, 30).until(
            lambda d: d.execute_script("return document.body.getAttribute('data-ready')"))
        widgets = driver.execute_script("""
            return Array.from(document.querySelectorAll('[mod-role]')).map(function (e) {
              return {role: e.getAttribute('mod-role'), symbol: e.getAttribute('mod-port-symbol'),
                      widget: e.getAttribute('mod-widget'), value: e.getAttribute('mod-port-value'),
                      frames: e.getAttribute('data-frames'), text: e.textContent.trim()};
            });""")
        # What the face shows of each control output: as started, for a value
        # in its range, and for its default again.
        outputs = {}
        for p in data["effect"]["ports"]["control"]["output"]:
            sym, r = p["symbol"], p["ranges"]
            value = round(r["minimum"] + 0.857 * (r["maximum"] - r["minimum"]), 2)
            shown = driver.execute_script("""
                var el = document.querySelector('[data-cu-output="' + arguments[0] + '"]');
                if (!el) return null;
                var texts = [el.textContent.trim()];
                outputOf(arguments[0], arguments[1]);
                texts.push(el.textContent.trim());
                outputOf(arguments[0], arguments[2]);
                texts.push(el.textContent.trim());
                return texts;""", sym, value, r["default"])
            outputs[sym] = (value, shown)
        box = driver.execute_script("""
            var r = document.querySelector('.mod-pedal').firstElementChild.getBoundingClientRect();
            return {x: r.left, y: r.top, width: r.width, height: r.height, scale: 1};""")
        driver.execute_cdp_cmd("Emulation.setDefaultBackgroundColorOverride",
                               {"color": {"r": 0, "g": 0, "b": 0, "a": 0}})
        shot = driver.execute_cdp_cmd("Page.captureScreenshot", {"format": "png", "clip": box})
        errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    finally:
        driver.quit()
        served.close()
        profile.cleanup()
    return data, widgets, outputs, errors, base64.b64decode(shot["data"])


def thumbnail(png):
    from PIL import Image
    img = Image.open(io.BytesIO(png)).convert("RGBA")
    scale = min(THUMB_MAX[0] / img.width, THUMB_MAX[1] / img.height)
    small = img.resize((max(1, round(img.width * scale)), max(1, round(img.height * scale))),
                       Image.LANCZOS)
    out = io.BytesIO()
    small.save(out, "PNG", optimize=True)
    return out.getvalue()


def png_bytes(png):  # re-encoded the same way as the thumbnail, for a stable file
    from PIL import Image
    out = io.BytesIO()
    Image.open(io.BytesIO(png)).convert("RGBA").save(out, "PNG", optimize=True)
    return out.getvalue()


def check_bindings(data, widgets):
    """Faults in how the face binds to the bundle's ports, as a list of strings."""
    faults = []
    by_role = {}
    for w in widgets:
        by_role.setdefault(w["role"], []).append(w)
    controls = data["effect"]["ports"]["control"]["input"]
    bound = by_role.get("input-control-port", [])
    for port in controls:
        mine = [w for w in bound if w["symbol"] == port["symbol"]]
        want = ("switch",) if port["toggled"] else \
            ("custom-select", "select") if port["enumeration"] else ("film",)
        if len(mine) != 1:
            faults.append(f"{port['symbol']}: {len(mine)} elements with mod-role input-control-port")
        elif (mine[0]["widget"] or "film") not in want:
            faults.append(f"{port['symbol']}: mod-widget {mine[0]['widget']}, not {' or '.join(want)}")
        elif want == ("film",) and int(mine[0]["frames"] or 0) < 2:
            faults.append(f"{port['symbol']}: its film strip has {mine[0]['frames']} frames")
        if port["enumeration"]:
            options = [(w["value"], w["text"]) for w in by_role.get("enumeration-option", [])]
            points = [(str(s["value"]), s["label"]) for s in port["scalePoints"]]
            if options != points:
                faults.append(f"{port['symbol']}: options {options}, not the bundle's {points}")
    known = {p["symbol"] for p in controls}
    for w in bound:
        if w["symbol"] not in known:
            faults.append(f"an input-control-port bound to '{w['symbol']}', which MOD does not show")
    for role, ports in (("input-audio-port", data["effect"]["ports"]["audio"]["input"]),
                        ("output-audio-port", data["effect"]["ports"]["audio"]["output"])):
        got = sorted(w["symbol"] for w in by_role.get(role, []))
        if got != sorted(p["symbol"] for p in ports):
            faults.append(f"{role}: bound to {got}")
    for role in ("bypass", "bypass-light", "drag-handle"):
        if len(by_role.get(role, [])) != 1:
            faults.append(f"{len(by_role.get(role, []))} elements with mod-role {role}")
    return faults


def check_outputs(data, outputs):
    """Faults in how the face shows the control outputs: each one listed in
    modgui:monitoredOutputs (MOD sends no other), shown in its element (found
    by data-cu-output), which the script sets to a value MOD sends and back."""
    faults = []
    symbols = [p["symbol"] for p in data["effect"]["ports"]["control"]["output"]]
    for sym in data["monitored"]:
        if sym not in symbols:
            faults.append(f"modgui:monitoredOutputs names '{sym}', not a control output")
    for sym, (value, shown) in outputs.items():
        if sym not in data["monitored"]:
            faults.append(f"{sym}: not in modgui:monitoredOutputs, so MOD never sends it")
        if shown is None:
            faults.append(f"{sym}: no element with data-cu-output=\"{sym}\"")
        elif f"{value:.2f}" not in shown[1] or shown[2] != shown[0] or shown[1] == shown[0]:
            faults.append(f"{sym}: the face shows '{shown[0]}', then '{shown[1]}' for {value}, "
                          f"then '{shown[2]}' for its default")
    return faults


def near(a_png, b_png):
    """None if two images have the same size and nearly the same pixels, else why not."""
    import numpy as np
    from PIL import Image
    a = np.asarray(Image.open(io.BytesIO(a_png)).convert("RGBA"), dtype=np.int16)
    b = np.asarray(Image.open(io.BytesIO(b_png)).convert("RGBA"), dtype=np.int16)
    if a.shape != b.shape:
        return f"size {a.shape[1]}x{a.shape[0]}, fresh render {b.shape[1]}x{b.shape[0]}"
    d = np.abs(a - b).max(axis=2)
    off = float(np.mean(d > 24))
    if off > 0.001 or float(d.mean()) > 0.5:
        return f"{100 * off:.2f} % of pixels differ by more than 24, mean difference {d.mean():.2f}"
    return None


def main(argv):
    if len(argv) == 3 and argv[1] == "knob":
        with open(os.path.join(argv[2], "knob.svg"), "w", encoding="utf-8") as f:
            f.write(knob_svg())
        return 0
    if len(argv) == 4 and argv[1] == "render":
        data, widgets, outputs, errors, png = render(argv[2])
        for e in errors:
            print("console error:", e, file=sys.stderr)
        faults = check_bindings(data, widgets) + check_outputs(data, outputs)
        for f in faults:
            print("binding fault:", f, file=sys.stderr)
        with open(os.path.join(argv[3], "screenshot.png"), "wb") as f:
            f.write(png_bytes(png))
        with open(os.path.join(argv[3], "thumbnail.png"), "wb") as f:
            f.write(thumbnail(png))
        return 1 if errors or faults else 0
    if len(argv) == 3 and argv[1] == "check":
        data, widgets, outputs, errors, png = render(argv[2])
        faults = ["console error: " + e for e in errors] + check_bindings(data, widgets) + \
            check_outputs(data, outputs)
        files = data["files"]
        with open(os.path.join(files["resourcesDirectory"], "knob.svg"), encoding="utf-8") as f:
            if f.read() != knob_svg():
                faults.append("knob.svg is not what `modgui.py knob` draws")
        for name, fresh in (("screenshot", png), ("thumbnail", thumbnail(png))):
            with open(files[name], "rb") as f:
                why = near(f.read(), fresh)
            if why:
                faults.append(f"{name}: {why}; scripts/render_modgui.sh renders it again")
        for f in faults:
            print("FAIL:", f, file=sys.stderr)
        shown = len(data["effect"]["ports"]["control"]["input"])
        print(f"modgui: {shown} controls bound once each ({', '.join(p['symbol'] for p in data['skipped'])}"
              f" is the footswitch), {', '.join(outputs)} shown by the script, no console errors,"
              f" images as rendered" if not faults else f"modgui: {len(faults)} faults")
        return 1 if faults else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
