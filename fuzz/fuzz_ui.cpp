// libFuzzer target: the UI without X. The input bytes are a script of what a
// host and a user do to one UI (its model, its pointer handling and its
// view), carried out as the X11 shell carries them out, the view drawn into
// a cairo image surface.
//
// Script: a byte picks the sample rate (below 0xf0: from a table; otherwise
// any rate the shell accepts, 1 kHz to 10 MHz), then the window's width,
// height and scale factor. Then actions until the bytes run out, each an
// opcode byte and its operands:
//   a port_event from the host: any port index, any format and size (mostly
//   a plain float), any bit pattern or an edge case; a press (left, wheel up
//   or down, another button; Shift or not) in a widget or anywhere; a drag
//   to any height; the left button's release; time passing and an idle; a
//   double-click on a widget; a new window size and scale (any, the scale
//   even not a number); a redraw.
//
// Checks, besides what AddressSanitizer and UndefinedBehaviorSanitizer see
// (and cairo's own assertions, which end the process):
//  - every value the UI holds is finite and within its port's range,
//    whatever the host sent;
//  - every write is a control input's (never the plug-in's reading of the
//    mains it follows), finite, within its range (0 or 1 for a switch, a
//    whole number for the selector), and comes while that port is grabbed;
//    a grab comes only while nothing is grabbed, a release only for the
//    grabbed port; the wheel's grab ends once it has rested, and closing
//    the UI leaves nothing grabbed;
//  - the reading shows only while the hum filter tracks;
//  - the view leaves out no drawing call for a coordinate that is not
//    finite, and leaves cairo without an error;
//  - the plot's dB span holds +-30 dB and keeps the highest curve 6 dB
//    under its top.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "controls.h"
#include "fuzz_bytes.h"
#include "model.h"
#include "view.h"

// fontconfig leaves about 1 KB unreachable after its first font lookup, once
// per process (tests/ui/lsan.supp says the same for the UI tests).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

namespace {

[[noreturn]] void fail(const char* what, std::uint32_t port = kPortCount, double value = 0.0) {
  std::fprintf(stderr, "fuzz_ui: %s (port %u, value %g)\n", what, port, value);
  std::abort();
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

const double kRates[] = {48000.0, 44100.0, 96000.0, 192000.0, 22050.0, 8000.0, 1000.0, 1e7};

const float kEdge[] = {kNaN,   -kNaN, kInf,  -kInf, std::numeric_limits<float>::max(),
                       -1e30f, -0.0f, 0.0f,  0.5f,  0.50001f,
                       1.0f,   2.5f,  3.5f,  4.0f,  4.5f,
                       -1.0f,  24.0f, 25.0f, -40.f, -41.0f,
                       1e-40f, 2.0f,  6.0f,  1e6f,  -24.0f};
constexpr std::uint32_t kEdgeCount = sizeof kEdge / sizeof kEdge[0];

// The UI as the X11 shell holds it, with a host that checks what it gets.
class Session {
 public:
  Session(double rate, int w, int h, double scale) : model_(rate) { resize(w, h, scale); }

  void resize(int w, int h, double scale) { layout_ = layoutFor(w, h, scale); }

  void hostEvent(std::uint32_t port, std::uint32_t size, std::uint32_t format, float v) {
    model_.hostEvent(port, size, format, &v);
    checkValues();
  }

  void press(double x, double y, Button b, bool shift, unsigned long time) {
    carryOut(pointerPress(pointer_, layout_, model_, x, y, b, shift, time, now_));
    const Widget* w = widgetAt(layout_, x, y);
    view_.hot = w != nullptr ? w->port : kPortCount;
    view_.active = pointer_.dragPort;
  }
  void drag(double y, bool shift) { carryOut(pointerDrag(pointer_, layout_, model_, y, shift)); }
  void release() {
    carryOut(pointerRelease(pointer_));
    view_.active = kPortCount;
  }
  void idle(std::uint64_t ms) {
    now_ += ms;
    carryOut(pointerIdle(pointer_, now_));
    if (pointer_.byWheel && now_ - pointer_.wheelAt >= kWheelRestMs) {
      fail("the wheel's grab outlived its rest", held_);
    }
  }
  // The UI closing.
  void close() {
    carryOut(pointerDrop(pointer_));
    if (held_ != kPortCount) {
      fail("a grab outlived the UI", held_);
    }
  }

  const Layout& layout() const { return layout_; }
  std::uint64_t now() const { return now_; }

  // Into the window's top left corner at most: every call still reaches
  // cairo, and filling fewer pixels leaves time for more inputs.
  void draw() {
    const int w = std::min(layout_.width, 256);
    const int h = std::min(layout_.height, 256);
    cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_t* cr = cairo_create(img);
    const std::size_t leftOut = drawView(cr, layout_, model_, view_);
    if (leftOut != 0) {
      fail("drawing calls left out for values cairo cannot take", kPortCount,
           static_cast<double>(leftOut));
    }
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
      fail(cairo_status_to_string(cairo_status(cr)));
    }
    cairo_destroy(cr);
    cairo_surface_destroy(img);
    checkRange();
    const float heard = model_.followedHz();
    if (heard != 0.0f && !(model_.value(kPortHumOn) > 0.5f && model_.value(kPortHumTrack) > 0.5f &&
                           model_.value(kPortEnabled) > 0.5f)) {
      fail("a reading shown while the hum filter does not track", kPortHumFreq,
           static_cast<double>(heard));
    }
  }

 private:
  void carryOut(const Actions& actions) {
    for (const Action& a : actions) {
      if (a.port >= kPortCount || kPorts[a.port].audio() || kPorts[a.port].output()) {
        fail("an action on a port that is not a control input", a.port);
      }
      switch (a.kind) {
        case Action::Grab:
          if (held_ != kPortCount) {
            fail("a grab while another port is grabbed", a.port, held_);
          }
          held_ = a.port;
          break;
        case Action::Release:
          if (held_ != a.port) {
            fail("a release of a port that is not grabbed", a.port, held_);
          }
          held_ = kPortCount;
          break;
        case Action::Write: {
          const PortFacts& f = kPorts[a.port];
          const float v = a.value;
          if (held_ != a.port) {
            fail("a write outside a grab of its port", a.port, static_cast<double>(v));
          }
          if (!(v >= f.minimum && v <= f.maximum) ||
              (f.kind == PortKind::Toggle && v != 0.0f && v != 1.0f) ||
              (f.kind == PortKind::Choice && v != std::round(v))) {
            fail("a write out of range", a.port, static_cast<double>(v));
          }
          if (v == model_.value(a.port)) {
            fail("a write of the value already shown", a.port, static_cast<double>(v));
          }
          model_.set(a.port, v);
          break;
        }
      }
    }
    if (pointer_.grabbed != held_) {
      fail("the pointer's grab and the host's differ", pointer_.grabbed, held_);
    }
    checkValues();
  }

  void checkValues() const {
    for (std::uint32_t p = 0; p < kPortCount; ++p) {
      const PortFacts& f = kPorts[p];
      const float v = model_.value(p);
      if (!f.audio() && !(v >= f.minimum && v <= f.maximum)) {
        fail("the UI holds a value out of range", p, static_cast<double>(v));
      }
    }
  }

  void checkRange() {
    const Curves& c = model_.curves();
    const DbRange r = plotRange(c);
    double highest = -240.0;
    for (const std::vector<double>* db :
         {&c.totalDb, &c.stageDb[0], &c.stageDb[1], &c.stageDb[2], &c.stageDb[3]}) {
      for (double v : *db) {
        if (!std::isfinite(v)) {
          fail("a curve point that is not finite", kPortCount, v);
        }
        highest = std::max(highest, v);
      }
    }
    if (!(r.bottom <= -30.0 && r.top >= 30.0 && (c.bypassed || r.top >= highest + 6.0) &&
          std::fmod(r.top, 6.0) == 0.0 && std::fmod(r.bottom, 6.0) == 0.0)) {
      fail("the plot's span does not hold the curves", kPortCount, highest);
    }
  }

  UiModel model_;
  Layout layout_{};
  Pointer pointer_;
  ViewState view_;
  std::uint32_t held_ = kPortCount;  // as the host sees it
  std::uint64_t now_ = 1000000;
};

// A point in widget i's box (fractions in 1/255), or anywhere near the
// window for i beyond the widgets.
void pointIn(const Layout& l, Bytes& b, double* x, double* y) {
  const std::uint8_t i = b.u8();
  const double fx = b.u8() / 255.0;
  const double fy = b.u8() / 255.0;
  if (i < 2 * kWidgetCount) {
    const Rect& r = l.widgets[i % kWidgetCount].box;
    *x = r.x + fx * r.w;
    *y = r.y + fy * r.h;
  } else {
    *x = (1.4 * fx - 0.2) * l.width;
    *y = (1.4 * fy - 0.2) * l.height;
  }
}

double scaleFrom(Bytes& b) {
  const std::uint8_t s = b.u8();
  return s < 0xf8 ? 0.5 + 7.5 * s / 247.0 : b.f64();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes b(data, size);
  const std::uint8_t pick = b.u8();
  const double rate = pick < 0xf0 ? kRates[pick % (sizeof kRates / sizeof kRates[0])]
                                  : 1000.0 + (1e7 - 1000.0) * b.u32() / 4294967295.0;
  int w = 1 + b.u16() % 2048;
  int h = 1 + b.u16() % 2048;
  if (w < 16 || h < 16) {  // mostly near the size the UI asks for
    preferredSize(1.0, &w, &h);
  }
  Session s(rate, w, h, scaleFrom(b));
  unsigned long time = b.u32();  // X server time wraps
  constexpr int kMaxActions = 48;

  for (int action = 0; action < kMaxActions && !b.empty(); ++action) {
    switch (b.u8() % 9) {
      case 0: {  // a host value: mostly a plain float for a real port
        const std::uint8_t how = b.u8();
        const std::uint32_t port = (how & 0x80) != 0 ? b.u32() : how % (kPortCount + 3u);
        std::uint32_t sz = sizeof(float);
        std::uint32_t format = 0;
        if ((how & 0x40) != 0) {
          sz = b.u8() % 9u;
          format = b.u8() % 3u;
        }
        s.hostEvent(port, sz, format, (how & 0x20) != 0 ? b.f32() : kEdge[b.u8() % kEdgeCount]);
        break;
      }
      case 1:
      case 2: {  // a press
        double x = 0.0;
        double y = 0.0;
        pointIn(s.layout(), b, &x, &y);
        const std::uint8_t how = b.u8();
        const Button button = static_cast<Button>(how % 4u);
        time += b.u16() % 1000u;
        s.press(x, y, button, (how & 0x10) != 0, time);
        break;
      }
      case 3: {  // a drag
        const std::uint8_t how = b.u8();
        const double y = (how & 0x80) != 0 ? b.f64() : static_cast<std::int16_t>(b.u16());
        s.drag(y, (how & 1) != 0);
        break;
      }
      case 4:
        s.release();
        break;
      case 5:
        s.idle(b.u16() % 1000u);
        break;
      case 6: {  // a double-click
        double x = 0.0;
        double y = 0.0;
        pointIn(s.layout(), b, &x, &y);
        for (int i = 0; i < 2; ++i) {
          time += b.u8() % 250u;
          s.press(x, y, Button::Left, false, time);
          s.release();
        }
        break;
      }
      case 7: {
        const int nw = static_cast<std::int16_t>(b.u16());
        const int nh = static_cast<std::int16_t>(b.u16());
        s.resize(nw, nh, scaleFrom(b));
        break;
      }
      default:
        s.draw();
        break;
    }
  }
  s.draw();
  s.idle(kWheelRestMs);
  s.close();
  return 0;
}
