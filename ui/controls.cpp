#include "controls.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kDragPixels = 200.0;  // a knob's whole range, at scale 1
constexpr double kFine = 0.1;          // with Shift
constexpr double kWheelSteps = 50.0;   // wheel notches across the range
constexpr unsigned long kDoubleClickMs = 400;

float clampTo(std::uint32_t port, double v) {
  const PortFacts& f = kPorts[port];
  return std::min(std::max(static_cast<float>(v), f.minimum), f.maximum);
}

Write change(const UiModel& m, std::uint32_t port, float v) {
  Write w;
  if (v != m.value(port)) {
    w.port = port;
    w.value = v;
  }
  return w;
}

// The choice next to the current one, in scale-point order.
float nextChoice(std::uint32_t port, float current, int direction) {
  const float v = std::round(current) + static_cast<float>(direction);
  return clampTo(port, static_cast<double>(v));
}

}  // namespace

Write pointerPress(Pointer& p, const Layout& l, const UiModel& m, double x, double y, Button b,
                   bool shift, unsigned long time) {
  const Widget* w = widgetAt(l, x, y);
  if (w == nullptr || b == Button::Other) {
    return {};
  }
  const std::uint32_t port = w->port;
  const PortFacts& f = kPorts[port];
  const float v = m.value(port);
  const bool doubleClick =
      b == Button::Left && p.clickPort == port && time - p.clickTime <= kDoubleClickMs;
  if (b == Button::Left) {
    p.clickPort = doubleClick ? kPortCount : port;
    p.clickTime = time;
  }

  switch (f.kind) {
    case PortKind::Toggle:
      return b == Button::Left ? change(m, port, v > 0.5f ? 0.0f : 1.0f) : Write{};
    case PortKind::Choice: {
      int dir = b == Button::WheelUp ? 1 : b == Button::WheelDown ? -1 : 0;
      if (b == Button::Left) {
        dir = x < w->box.cx() ? -1 : 1;
      }
      return change(m, port, nextChoice(port, v, dir));
    }
    case PortKind::Control: {
      const double range = static_cast<double>(f.maximum - f.minimum);
      if (b != Button::Left) {
        const double step = range / kWheelSteps * (shift ? kFine : 1.0);
        return change(
            m, port, clampTo(port, static_cast<double>(v) + (b == Button::WheelUp ? step : -step)));
      }
      if (doubleClick) {
        p.dragPort = kPortCount;
        return change(m, port, f.deflt);
      }
      p.dragPort = port;
      p.anchorY = y;
      p.anchorValue = std::min(std::max(v, f.minimum), f.maximum);
      p.fine = shift;
      return {};
    }
    default:
      return {};
  }
}

Write pointerDrag(Pointer& p, const Layout& l, const UiModel& m, double y, bool shift) {
  if (p.dragPort == kPortCount) {
    return {};
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
  const Write w = change(
      m, port, clampTo(port, static_cast<double>(p.anchorValue) + (p.anchorY - y) * perPixel));
  if (w.port != kPortCount) {
    p.clickPort = kPortCount;  // a press that dragged does not pair into a double-click
  }
  return w;
}

void pointerRelease(Pointer& p) {
  p.dragPort = kPortCount;
}
