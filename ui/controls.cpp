#include "controls.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kDragPixels = 200.0;  // a knob's whole range, at scale 1
constexpr double kFine = 0.1;          // with Shift
constexpr double kWheelSteps = 50.0;   // wheel notches across the range
constexpr unsigned long kDoubleClickMs = 400;

void add(Actions& a, Action::Kind kind, std::uint32_t port, float value = 0.0f) {
  a.list[a.count++] = {kind, port, value};
}

void grab(Actions& a, Pointer& p, std::uint32_t port, bool byWheel) {
  add(a, Action::Grab, port);
  p.grabbed = port;
  p.byWheel = byWheel;
}

void release(Actions& a, Pointer& p) {
  if (p.grabbed != kPortCount) {
    add(a, Action::Release, p.grabbed);
    p.grabbed = kPortCount;
    p.byWheel = false;
  }
}

// v within the port's range, when that differs from the shown value; one
// that is not a number (an absurd drag or scale) gives nothing.
bool changed(const UiModel& m, std::uint32_t port, double v, float* out) {
  if (std::isnan(v)) {
    return false;
  }
  const PortFacts& f = kPorts[port];
  *out = static_cast<float>(
      std::min(std::max(v, static_cast<double>(f.minimum)), static_cast<double>(f.maximum)));
  return *out != m.value(port);
}

void change(Actions& a, const UiModel& m, std::uint32_t port, double v) {
  float value = 0.0f;
  if (changed(m, port, v, &value)) {
    add(a, Action::Write, port, value);
  }
}

// The choice next to the current one, in scale-point order.
double nextChoice(float current, int direction) {
  return static_cast<double>(std::round(current)) + direction;
}

}  // namespace

Actions pointerPress(Pointer& p, const Layout& l, const UiModel& m, double x, double y, Button b,
                     bool shift, unsigned long time, std::uint64_t now) {
  Actions a;
  const Widget* w = widgetAt(l, x, y);
  if (w == nullptr || b == Button::Other) {
    return a;
  }
  const std::uint32_t port = w->port;
  const PortFacts& f = kPorts[port];
  const float v = m.value(port);

  if (b != Button::Left) {
    // The wheel turns knobs and the selector, and never while the left
    // button holds a control.
    if (f.kind == PortKind::Toggle || (p.grabbed != kPortCount && !p.byWheel)) {
      return a;
    }
    const int dir = b == Button::WheelUp ? 1 : -1;
    const double step =
        static_cast<double>(f.maximum - f.minimum) / kWheelSteps * (shift ? kFine : 1.0);
    float value = 0.0f;
    if (!changed(
            m, port,
            f.kind == PortKind::Choice ? nextChoice(v, dir) : static_cast<double>(v) + dir * step,
            &value)) {
      return a;
    }
    // The first turn grabs, the next ones on the same control keep the grab.
    if (p.grabbed != port) {
      release(a, p);
      grab(a, p, port, true);
    }
    add(a, Action::Write, port, value);
    p.wheelAt = now;
    return a;
  }

  const bool doubleClick = p.clickPort == port && time - p.clickTime <= kDoubleClickMs;
  p.clickPort = doubleClick ? kPortCount : port;
  p.clickTime = time;
  // The left button holds its control until it is let go (a release lost
  // to the host ends the old hold here).
  release(a, p);
  p.dragPort = kPortCount;
  grab(a, p, port, false);
  switch (f.kind) {
    case PortKind::Toggle:
      change(a, m, port, v > 0.5f ? 0.0 : 1.0);
      break;
    case PortKind::Choice:
      change(a, m, port, nextChoice(v, x < w->box.cx() ? -1 : 1));
      break;
    case PortKind::Control:
      if (doubleClick) {
        change(a, m, port, static_cast<double>(f.deflt));
      } else {
        p.dragPort = port;
        p.anchorY = y;
        p.anchorValue = std::min(std::max(v, f.minimum), f.maximum);
        p.fine = shift;
      }
      break;
    default:
      break;
  }
  return a;
}

Actions pointerDrag(Pointer& p, const Layout& l, const UiModel& m, double y, bool shift) {
  Actions a;
  if (p.dragPort == kPortCount || p.grabbed != p.dragPort) {
    return a;
  }
  const std::uint32_t port = p.dragPort;
  const PortFacts& f = kPorts[port];
  if (shift != p.fine) {
    // Restart the scale where the knob is, so Shift never makes it jump.
    p.anchorY = y;
    p.anchorValue = m.value(port);
    p.fine = shift;
  }
  const double perPixel =
      static_cast<double>(f.maximum - f.minimum) / (kDragPixels * l.scale) * (p.fine ? kFine : 1.0);
  change(a, m, port, static_cast<double>(p.anchorValue) + (p.anchorY - y) * perPixel);
  if (a.count != 0) {
    p.clickPort = kPortCount;  // a press that dragged does not pair into a double-click
  }
  return a;
}

Actions pointerRelease(Pointer& p) {
  Actions a;
  p.dragPort = kPortCount;
  if (!p.byWheel) {
    release(a, p);
  }
  return a;
}

Actions pointerIdle(Pointer& p, std::uint64_t now) {
  Actions a;
  if (p.byWheel && now - p.wheelAt >= kWheelRestMs) {
    release(a, p);
  }
  return a;
}

Actions pointerDrop(Pointer& p) {
  Actions a;
  p.dragPort = kPortCount;
  release(a, p);
  return a;
}
