#include "view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "dsp/chain.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTopDb = 30.0;  // the plot spans +-30 dB unless the curves need more
constexpr double kLowHz = 20.0;
constexpr double kHighHz = 20000.0;

struct Rgb {
  double r, g, b;
};

// One tint per stage in chain order, then the output's.
constexpr Rgb kTints[kStageCount + 1] = {
    {0.66, 0.52, 0.98},  // low-pass blend
    {0.96, 0.38, 0.38},  // hum filter
    {0.98, 0.70, 0.30},  // voicer
    {0.40, 0.85, 0.55},  // boost
    {0.45, 0.75, 0.98},  // output
};
constexpr Rgb kBack = {0.105, 0.113, 0.129};
constexpr Rgb kPanel = {0.145, 0.155, 0.176};
constexpr Rgb kPlotBack = {0.066, 0.074, 0.086};
constexpr Rgb kText = {0.86, 0.88, 0.91};
constexpr Rgb kDim = {0.50, 0.53, 0.58};
constexpr Rgb kCurve = {0.93, 0.96, 1.0};
constexpr Rgb kBypass = {0.98, 0.55, 0.25};

void colour(cairo_t* cr, Rgb c, double alpha = 1.0) {
  cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

// Every coordinate, radius and angle goes to cairo through these. cairo
// asserts (ending the host's process) on an arc whose angles are not
// numbers, loops for ever on infinite ones, and wraps coordinates beyond its
// 24.8 fixed point; a call with such a value is left out and counted.
thread_local std::size_t t_leftOut = 0;

bool sane(double v, double limit = 1e6) {
  if (std::isfinite(v) && std::fabs(v) < limit) {
    return true;
  }
  ++t_leftOut;
  return false;
}

bool moveTo(cairo_t* cr, double x, double y) {
  if (!sane(x) || !sane(y)) {
    return false;
  }
  cairo_move_to(cr, x, y);
  return true;
}

void lineTo(cairo_t* cr, double x, double y) {
  if (sane(x) && sane(y)) {
    cairo_line_to(cr, x, y);
  }
}

void arc(cairo_t* cr, double cx, double cy, double r, double a0, double a1) {
  if (sane(cx) && sane(cy) && sane(r, 1e5) && sane(a0, 100.0) && sane(a1, 100.0)) {
    cairo_arc(cr, cx, cy, std::max(r, 0.0), a0, a1);
  }
}

void rectangle(cairo_t* cr, const Rect& r) {
  if (sane(r.x) && sane(r.y) && sane(r.w) && sane(r.h)) {
    cairo_rectangle(cr, r.x, r.y, r.w, r.h);
  }
}

void roundedRect(cairo_t* cr, Rect r, double radius) {
  const double x1 = r.x + r.w;
  const double y1 = r.y + r.h;
  cairo_new_sub_path(cr);
  arc(cr, x1 - radius, r.y + radius, radius, -0.5 * kPi, 0.0);
  arc(cr, x1 - radius, y1 - radius, radius, 0.0, 0.5 * kPi);
  arc(cr, r.x + radius, y1 - radius, radius, 0.5 * kPi, kPi);
  arc(cr, r.x + radius, r.y + radius, radius, kPi, 1.5 * kPi);
  cairo_close_path(cr);
}

enum class Align { Left, Centre, Right };

// Text on one baseline; cut with an ellipsis to fit maxWidth (when > 0).
void text(cairo_t* cr, const char* s, double x, double y, Align align, double maxWidth = 0.0) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%s", s);
  cairo_text_extents_t e;
  cairo_text_extents(cr, buf, &e);
  std::size_t len = std::strlen(buf);
  while (maxWidth > 0.0 && e.x_advance > maxWidth && len > 1) {
    // Drop whole UTF-8 characters, then append the ellipsis.
    do {
      --len;
    } while (len > 0 && (static_cast<unsigned char>(buf[len]) & 0xc0) == 0x80);
    std::snprintf(buf + len, sizeof buf - len, "\u2026");
    cairo_text_extents(cr, buf, &e);
  }
  const double dx = align == Align::Left     ? 0.0
                    : align == Align::Centre ? -0.5 * e.x_advance
                                             : -e.x_advance;
  if (moveTo(cr, x + dx, y)) {
    cairo_show_text(cr, buf);
  }
}

void font(cairo_t* cr, double size, bool bold = false) {
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
}

double xOfHz(const Rect& p, double hz) {
  return p.x + p.w * std::log(hz / kLowHz) / std::log(kHighHz / kLowHz);
}

// A level beyond the span is drawn a span further out at most (what is
// drawn stays within cairo's fixed point); one that is not a number as a
// null.
double yOfDb(const Rect& p, const DbRange& r, double db) {
  const double span = r.top - r.bottom;
  db = std::isnan(db) ? r.bottom - span : std::min(std::max(db, r.bottom - span), r.top + span);
  return p.y + p.h * (r.top - db) / span;
}

// Where a value sits in its port's range, from 0 to 1 (0 when it is not a
// number).
double fraction(std::uint32_t port, float value) {
  const PortFacts& f = kPorts[port];
  const double t = (static_cast<double>(value) - static_cast<double>(f.minimum)) /
                   static_cast<double>(f.maximum - f.minimum);
  return std::isnan(t) ? 0.0 : std::min(std::max(t, 0.0), 1.0);
}

std::size_t tintOf(const Layout& l, std::uint32_t port) {
  for (const Group& g : l.groups) {
    for (const Widget& w : l.widgets) {
      if (w.port == port && g.box.contains(w.box.cx(), w.box.cy())) {
        return g.tint;
      }
    }
  }
  return kStageCount;
}

void drawCurve(cairo_t* cr, const Rect& p, const DbRange& r, const std::vector<double>& hz,
               const std::vector<double>& db) {
  cairo_new_path(cr);
  for (std::size_t i = 0; i < hz.size() && i < db.size(); ++i) {
    lineTo(cr, xOfHz(p, hz[i]), yOfDb(p, r, db[i]));
  }
}

void drawPlot(cairo_t* cr, const Layout& l, UiModel& model) {
  const double s = l.scale;
  const Rect& p = l.plot;
  const Curves& c = model.curves();
  const DbRange r = plotRange(c);

  roundedRect(cr, p, 4 * s);
  colour(cr, kPlotBack);
  cairo_fill(cr);

  cairo_save(cr);
  rectangle(cr, p);
  cairo_clip(cr);

  // Grid: every step (6 dB at +-30 dB), and 1-2-3-...-9 in each decade.
  cairo_set_line_width(cr, 1.0 * s);
  for (double db = std::floor(r.bottom / r.step) * r.step + r.step; db < r.top; db += r.step) {
    colour(cr, kText, db == 0.0 ? 0.28 : 0.09);
    const double y = std::round(yOfDb(p, r, db)) + 0.5;
    moveTo(cr, p.x, y);
    lineTo(cr, p.x + p.w, y);
    cairo_stroke(cr);
  }
  for (double decade = 10.0; decade < kHighHz; decade *= 10.0) {
    for (int k = 1; k < 10; ++k) {
      const double hz = decade * k;
      if (hz < kLowHz || hz > kHighHz) {
        continue;
      }
      colour(cr, kText, k == 1 ? 0.18 : 0.07);
      const double x = std::round(xOfHz(p, hz)) + 0.5;
      moveTo(cr, x, p.y);
      lineTo(cr, x, p.y + p.h);
      cairo_stroke(cr);
    }
  }
  font(cr, 10 * s);
  colour(cr, kDim);
  static const struct {
    double hz;
    const char* label;
  } kFreqLabels[] = {{20, "20"},   {50, "50"},   {100, "100"}, {200, "200"},  {500, "500"},
                     {1000, "1k"}, {2000, "2k"}, {5000, "5k"}, {10000, "10k"}};
  for (const auto& f : kFreqLabels) {
    text(cr, f.label, xOfHz(p, f.hz) + 3 * s, p.y + p.h - 5 * s, Align::Left);
  }
  text(cr, "Hz", p.x + p.w - 5 * s, p.y + p.h - 5 * s, Align::Right);
  // Labels on every other grid line: -24 to +24 in steps of 12 at +-30 dB.
  for (double db = std::ceil((r.bottom + r.step) / (2.0 * r.step)) * 2.0 * r.step; db < r.top;
       db += 2.0 * r.step) {
    char buf[16];
    std::snprintf(buf, sizeof buf,
                  db > 0.0   ? "+%.0f dB"
                  : db < 0.0 ? "\u2212%.0f dB"
                             : "%.0f dB",
                  std::fabs(db));
    text(cr, buf, p.x + 5 * s, yOfDb(p, r, db) - 3 * s, Align::Left);
  }
  char rate[32];
  std::snprintf(rate, sizeof rate, "at %g kHz", model.sampleRate() / 1000.0);
  text(cr, rate, p.x + p.w - 6 * s, p.y + 14 * s, Align::Right);

  // Mains harmonics under the hum filter's notches.
  const Rgb hum = kTints[static_cast<std::size_t>(ChainStage::Hum)];
  for (double hz : c.notchHz) {
    const double x = xOfHz(p, hz);
    colour(cr, hum, 0.35);
    const double dash = 3 * s;
    cairo_set_dash(cr, &dash, 1, 0.0);
    moveTo(cr, x, p.y + 20 * s);
    lineTo(cr, x, p.y + p.h);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0.0);
    colour(cr, hum, 0.9);
    moveTo(cr, x - 4 * s, p.y + 20 * s);
    lineTo(cr, x + 4 * s, p.y + 20 * s);
    lineTo(cr, x, p.y + 27 * s);
    cairo_close_path(cr);
    cairo_fill(cr);
  }

  // While the hum filter tracks the mains: a comb with a tooth at each
  // harmonic it follows, at the followed frequency (fainter, at the nominal
  // mains, until the host relays a reading).
  if (c.trackHarmonics > 0) {
    const float heard = model.followedHz();
    const double f = heard > 0.0f ? static_cast<double>(heard) : c.trackNominalHz;
    const double y = p.y + 20 * s;
    double first = std::numeric_limits<double>::quiet_NaN();  // no tooth yet
    double last = first;
    cairo_set_line_width(cr, 1.0 * s);
    for (std::int32_t h = 1; h <= c.trackHarmonics && h * f <= c.trackTopHz; ++h) {
      if (h * f < kLowHz || h * f > kHighHz) {
        continue;
      }
      const double x = std::round(xOfHz(p, h * f)) + 0.5;  // crisp teeth, a few pixels apart
      first = std::isnan(first) ? x : first;
      last = x;
      moveTo(cr, x, y);
      lineTo(cr, x, y + (h == 1 ? 9 : 6) * s);
    }
    if (last > first) {
      moveTo(cr, first, y + 0.5);
      lineTo(cr, last, y + 0.5);
    }
    colour(cr, hum, heard > 0.0f ? 0.9 : 0.45);
    cairo_stroke(cr);
  }

  if (c.bypassed) {
    colour(cr, kDim, 0.9);
    const double dash = 6 * s;
    cairo_set_dash(cr, &dash, 1, 0.0);
    cairo_set_line_width(cr, 2.0 * s);
    moveTo(cr, p.x, yOfDb(p, r, 0.0));
    lineTo(cr, p.x + p.w, yOfDb(p, r, 0.0));
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0.0);
    font(cr, 22 * s, true);
    colour(cr, kBypass);
    text(cr, "BYPASSED", p.cx(), p.y + 0.3 * p.h, Align::Centre);
    font(cr, 11 * s);
    text(cr, "Enabled is off: the input passes through untouched", p.cx(), p.y + 0.3 * p.h + 20 * s,
         Align::Centre);
    cairo_restore(cr);
    return;
  }

  // Each stage's own contribution, thin; then the whole chain, bold, over a
  // light fill towards 0 dB.
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_set_line_width(cr, 1.3 * s);
  for (std::size_t st = 0; st < kStageCount; ++st) {
    if (c.stageDb[st].empty()) {
      continue;
    }
    drawCurve(cr, p, r, c.hz, c.stageDb[st]);
    colour(cr, kTints[st], 0.75);
    cairo_stroke(cr);
  }
  drawCurve(cr, p, r, c.hz, c.totalDb);
  if (!c.hz.empty()) {
    lineTo(cr, xOfHz(p, c.hz.back()), yOfDb(p, r, 0.0));
    lineTo(cr, xOfHz(p, c.hz.front()), yOfDb(p, r, 0.0));
  }
  cairo_close_path(cr);
  colour(cr, kCurve, 0.08);
  cairo_fill(cr);
  drawCurve(cr, p, r, c.hz, c.totalDb);
  colour(cr, kCurve);
  cairo_set_line_width(cr, 2.6 * s);
  cairo_stroke(cr);
  cairo_restore(cr);
}

void drawKnob(cairo_t* cr, const Widget& w, float value, Rgb tint, bool lit, double s) {
  const Rect& b = w.box;
  const double nameY = b.y + 12 * s;
  const double r = std::max(4.0, std::min(b.w - 12 * s, b.h - 34 * s) * 0.5);
  const double cx = b.cx();
  const double cy = nameY + 5 * s + r;
  const double a0 = 0.75 * kPi;
  const double sweep = 1.5 * kPi;
  const PortFacts& f = kPorts[w.port];
  const double t = fraction(w.port, value);
  const double zero = fraction(w.port, 0.0f);

  font(cr, 11 * s, lit);
  colour(cr, lit ? kText : kDim);
  text(cr, f.name, cx, nameY, Align::Centre, b.w);

  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_width(cr, 4 * s);
  colour(cr, Rgb{0.23, 0.245, 0.27});
  arc(cr, cx, cy, r - 2 * s, a0, a0 + sweep);
  cairo_stroke(cr);
  colour(cr, tint, lit ? 1.0 : 0.8);
  arc(cr, cx, cy, r - 2 * s, a0 + sweep * std::min(t, zero), a0 + sweep * std::max(t, zero));
  cairo_stroke(cr);

  arc(cr, cx, cy, r - 7 * s, 0.0, 2.0 * kPi);
  colour(cr, lit ? Rgb{0.26, 0.28, 0.32} : Rgb{0.21, 0.22, 0.25});
  cairo_fill(cr);
  const double a = a0 + sweep * t;
  cairo_set_line_width(cr, 2.5 * s);
  colour(cr, kText);
  moveTo(cr, cx + std::cos(a) * (r - 17 * s) * 0.3, cy + std::sin(a) * (r - 17 * s) * 0.3);
  lineTo(cr, cx + std::cos(a) * (r - 9 * s), cy + std::sin(a) * (r - 9 * s));
  cairo_stroke(cr);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);

  char buf[64];
  formatValue(w.port, value, buf, sizeof buf);
  font(cr, 11 * s, lit);
  colour(cr, lit ? tint : kText);
  text(cr, buf, cx, cy + r + 14 * s, Align::Centre, b.w);
}

void drawSwitch(cairo_t* cr, const Widget& w, bool on, Rgb tint, bool lit, double s) {
  const Rect& b = w.box;
  roundedRect(cr, b, 4 * s);
  colour(cr, on ? Rgb{0.20, 0.22, 0.25} : Rgb{0.17, 0.18, 0.20});
  cairo_fill_preserve(cr);
  colour(cr, lit ? kText : kDim, lit ? 0.7 : 0.35);
  cairo_set_line_width(cr, 1.0 * s);
  cairo_stroke(cr);
  const double ledX = b.x + 11 * s;
  arc(cr, ledX, b.cy(), 4.5 * s, 0.0, 2.0 * kPi);
  colour(cr, on ? tint : Rgb{0.30, 0.31, 0.34});
  cairo_fill(cr);
  font(cr, 11 * s, on);
  colour(cr, on ? kText : kDim);
  text(cr, kPorts[w.port].name, ledX + 10 * s, b.cy() + 4 * s, Align::Left, b.w - 24 * s);
}

// The followed mains frequency, or a dash while there is none to show; its
// label only where the number leaves room for it whole.
void drawReadout(cairo_t* cr, const Rect& b, float hz, Rgb tint, double s) {
  const double y = b.cy() + 4 * s;
  char buf[32];
  std::snprintf(buf, sizeof buf, hz > 0.0f ? "%.2f Hz" : "\u2014", static_cast<double>(hz));
  font(cr, 11 * s, true);
  cairo_text_extents_t number;
  cairo_text_extents(cr, "00.00 Hz", &number);
  font(cr, 11 * s);
  cairo_text_extents_t label;
  cairo_text_extents(cr, "Mains", &label);
  if (label.x_advance + number.x_advance + 14 * s <= b.w) {
    colour(cr, kDim);
    text(cr, "Mains", b.x + 4 * s, y, Align::Left);
  }
  font(cr, 11 * s, hz > 0.0f);
  colour(cr, hz > 0.0f ? tint : kDim);
  text(cr, buf, b.x + b.w - 4 * s, y, Align::Right, b.w - 8 * s);
}

void drawSelector(cairo_t* cr, const Widget& w, float value, Rgb tint, bool lit, double s) {
  const Rect& b = w.box;
  roundedRect(cr, b, 4 * s);
  colour(cr, Rgb{0.17, 0.18, 0.20});
  cairo_fill_preserve(cr);
  colour(cr, lit ? tint : kDim, lit ? 0.9 : 0.35);
  cairo_set_line_width(cr, 1.0 * s);
  cairo_stroke(cr);
  font(cr, 13 * s, true);
  colour(cr, lit ? tint : kDim);
  text(cr, "\u2039", b.x + 9 * s, b.cy() + 5 * s, Align::Centre);
  text(cr, "\u203a", b.x + b.w - 9 * s, b.cy() + 5 * s, Align::Centre);
  char buf[96];
  formatValue(w.port, value, buf, sizeof buf);
  font(cr, 11 * s);
  colour(cr, kText);
  text(cr, buf, b.cx(), b.cy() + 4 * s, Align::Centre, b.w - 34 * s);
}

}  // namespace

void preferredSize(double scale, int* width, int* height) {
  *width = static_cast<int>(std::lround(880.0 * scale));
  *height = static_cast<int>(std::lround(440.0 * scale));
}

Layout layoutFor(int width, int height, double scale) {
  Layout l{};
  width = std::min(std::max(width, 1), 32767);
  height = std::min(std::max(height, 1), 32767);
  scale = std::isnan(scale) ? 1.0 : std::min(std::max(scale, 0.25), 16.0);
  const double s = scale;
  const double m = 10 * s;
  const double W = width;
  const double H = height;
  l.width = width;
  l.height = height;
  l.scale = scale;
  const double controlsH = std::max(150 * s, 0.38 * H);
  l.plot = {m, m, W - 2 * m, H - controlsH - 2 * m};
  const double top = l.plot.y + l.plot.h + m;
  const double gh = H - top - m;

  // Panels in chain order, widths in proportion to what they hold.
  static const struct {
    const char* title;
    std::size_t tint;
    double weight;
  } kPanels[kGroupCount] = {{"Low-pass", 0, 1.3},
                            {"Hum", 1, 1.5},
                            {"Voicer", 2, 2.5},
                            {"Boost", 3, 1.4},
                            {"Output", kStageCount, 2.3}};
  double total = 0.0;
  for (const auto& pn : kPanels) {
    total += pn.weight;
  }
  const double unit = (W - 2 * m - (kGroupCount - 1) * 0.8 * m) / total;
  double x = m;
  for (std::size_t g = 0; g < kGroupCount; ++g) {
    const double w = unit * kPanels[g].weight;
    l.groups[g] = {kPanels[g].title, kPanels[g].tint, {x, top, w, gh}};
    x += w + 0.8 * m;
  }

  // Each panel's content box, under its title.
  auto content = [&](std::size_t g) {
    const Rect& b = l.groups[g].box;
    return Rect{b.x + 7 * s, b.y + 24 * s, b.w - 14 * s, b.h - 30 * s};
  };
  const double sw = 24 * s;  // a switch's height
  std::size_t n = 0;
  auto put = [&](std::uint32_t port, Rect r) { l.widgets[n++] = {port, r}; };

  const Rect lp = content(0);
  put(kPortLowpassAmount, lp);

  // Hum filter, mains and tracking in rows as the output's switches, the
  // followed frequency under them.
  const Rect hum = content(1);
  const double row = sw + 8 * s;
  put(kPortHumOn, {hum.x, hum.y + 4 * s, hum.w, sw});
  put(kPortHum50Hz, {hum.x, hum.y + 4 * s + row, hum.w, sw});
  const Rect track = {hum.x, hum.y + 4 * s + 2 * row, hum.w, sw};
  const double readoutY = track.y + sw + 4 * s;
  l.mains = {hum.x, readoutY, hum.w, std::max(0.0, std::min(sw, hum.y + hum.h - readoutY))};

  const Rect v = content(2);
  const double sel = 26 * s;
  const double left = 0.46 * v.w;
  put(kPortPickupOn, {v.x, v.y + 4 * s, left - 6 * s, sw});
  put(kPortPickupAmount, {v.x + left, v.y, v.w - left, v.h - sel - 6 * s});
  put(kPortPickupType, {v.x, v.y + v.h - sel, v.w, sel});

  const Rect bo = content(3);
  put(kPortBoostOn, {bo.x, bo.y + 4 * s, bo.w, sw});
  put(kPortBoostDb, {bo.x, bo.y + sw + 10 * s, bo.w, bo.h - sw - 10 * s});

  const Rect out = content(4);
  const double knobW = 0.44 * out.w;
  put(kPortLevelDb, {out.x, out.y, knobW, out.h});
  put(kPortInvert, {out.x + knobW + 4 * s, out.y + 4 * s, out.w - knobW - 4 * s, sw});
  put(kPortEnabled, {out.x + knobW + 4 * s, out.y + 4 * s + sw + 8 * s, out.w - knobW - 4 * s, sw});
  put(kPortHumTrack, track);  // last, so that the fuzz seeds keep their widget indices
  return l;
}

const Widget* widgetAt(const Layout& l, double x, double y) {
  for (const Widget& w : l.widgets) {
    if (w.box.contains(x, y)) {
      return &w;
    }
  }
  return nullptr;
}

void formatValue(std::uint32_t port, float value, char* out, std::size_t size) {
  const PortFacts& f = kPorts[port];
  if (f.kind == PortKind::Choice) {
    // The label of a point that selects what the plug-in plays for this
    // value, the nearest of those (3 and 4 play the same voicing).
    const std::int32_t plays = pickupSelector(value);
    const ScalePoint* best = nullptr;
    for (std::uint32_t i = 0; i < f.pointCount; ++i) {
      if (pickupSelector(f.points[i].value) == plays &&
          (best == nullptr ||
           std::fabs(f.points[i].value - value) <= std::fabs(best->value - value))) {
        best = &f.points[i];
      }
    }
    std::snprintf(out, size, "%s", best != nullptr ? best->label : "");
    return;
  }
  if (f.kind == PortKind::Toggle) {
    std::snprintf(out, size, "%s", value > 0.5f ? "on" : "off");
    return;
  }
  const double v = static_cast<double>(value);
  const char* sign = v < -0.005 ? "\u2212" : (f.minimum < 0.0f && v > 0.005) ? "+" : "";
  if (f.unit != nullptr) {
    std::snprintf(out, size, "%s%.1f %s", sign, std::fabs(v), f.unit);
  } else {
    std::snprintf(out, size, "%s%.2f", sign, std::fabs(v));
  }
}

DbRange plotRange(const Curves& c) {
  constexpr double kFloor = -240.0;  // the model's "no output"
  double highest = kFloor;
  double chainHighest = kFloor;
  auto scan = [](const std::vector<double>& db, double top) {
    for (double v : db) {
      top = std::isfinite(v) ? std::max(top, v) : top;
    }
    return top;
  };
  if (!c.bypassed) {
    chainHighest = scan(c.totalDb, kFloor);
    highest = chainHighest;
    for (const std::vector<double>& st : c.stageDb) {
      highest = scan(st, highest);
    }
  }
  DbRange r{-kTopDb, kTopDb, 6.0};
  if (highest > kFloor) {
    r.top = std::max(kTopDb, std::ceil((std::min(highest, -kFloor) + 6.0) / 6.0) * 6.0);
    // Once the chain would sit in the bottom 12 dB, it gets 24 dB of room.
    if (chainHighest - 12.0 < -kTopDb) {
      r.bottom = std::floor((chainHighest - 24.0) / 6.0) * 6.0;
    }
  }
  const double span = r.top - r.bottom;
  r.step = span <= 72.0 ? 6.0 : span <= 144.0 ? 12.0 : 24.0;
  return r;
}

std::size_t drawView(cairo_t* cr, const Layout& l, UiModel& model, const ViewState& st) {
  t_leftOut = 0;
  const double s = l.scale;
  cairo_save(cr);
  colour(cr, kBack);
  cairo_paint(cr);
  drawPlot(cr, l, model);

  for (const Group& g : l.groups) {
    roundedRect(cr, g.box, 5 * s);
    colour(cr, kPanel);
    cairo_fill(cr);
    const bool on = g.tint == kStageCount || model.stageOn(static_cast<ChainStage>(g.tint));
    font(cr, 11 * s, true);
    colour(cr, kTints[g.tint], on && !model.bypassed() ? 1.0 : 0.45);
    text(cr, g.title, g.box.x + 8 * s, g.box.y + 16 * s, Align::Left, g.box.w - 16 * s);
  }
  for (const Widget& w : l.widgets) {
    const float v = model.value(w.port);
    const Rgb tint = kTints[tintOf(l, w.port)];
    const bool lit = st.hot == w.port || st.active == w.port;
    switch (kPorts[w.port].kind) {
      case PortKind::Control:
        drawKnob(cr, w, v, tint, lit, s);
        break;
      case PortKind::Toggle:
        drawSwitch(cr, w, v > 0.5f, w.port == kPortEnabled && v <= 0.5f ? kBypass : tint, lit, s);
        break;
      case PortKind::Choice:
        drawSelector(cr, w, v, tint, lit, s);
        break;
      default:
        break;
    }
  }
  drawReadout(cr, l.mains, model.followedHz(), kTints[static_cast<std::size_t>(ChainStage::Hum)],
              s);
  cairo_restore(cr);
  return t_leftOut;
}
