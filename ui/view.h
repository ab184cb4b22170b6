// Layout and drawing: a pure function of the model, the window size, the
// scale factor and which control the pointer is on. Draws into any cairo
// context (the window's back buffer, or an image for tests and screenshots).
#pragma once

#include <cairo.h>

#include <cstddef>
#include <cstdint>

#include "model.h"

struct Rect {
  double x, y, w, h;
  bool contains(double px, double py) const {
    return px >= x && px < x + w && py >= y && py < y + h;
  }
  double cx() const { return x + 0.5 * w; }
  double cy() const { return y + 0.5 * h; }
};

// A control for one port; its kind follows the port's (knob for Control,
// selector for Choice, switch for Toggle).
struct Widget {
  std::uint32_t port;
  Rect box;  // what the pointer hits
};

// A titled panel; stages in chain order, then the output.
struct Group {
  const char* title;
  std::size_t tint;  // a ChainStage index, or kStageCount for the output
  Rect box;
};

constexpr std::size_t kWidgetCount = 12;  // every control input
constexpr std::size_t kGroupCount = 5;

struct Layout {
  int width, height;
  double scale;
  Rect plot;
  Group groups[kGroupCount];
  Widget widgets[kWidgetCount];
  Rect mains;  // the readout of the mains frequency the hum filter follows
};

// The size the UI asks for at a scale factor.
void preferredSize(double scale, int* width, int* height);
// Any size and scale give a layout of finite boxes: the size is taken
// between 1 and 32767 pixels, the scale between 0.25 and 16 (1 when it is
// not a number).
Layout layoutFor(int width, int height, double scale);
// The widget under a point, or nullptr.
const Widget* widgetAt(const Layout& l, double x, double y);

struct ViewState {
  std::uint32_t hot = kPortCount;     // under the pointer
  std::uint32_t active = kPortCount;  // being dragged
};

// The plot's dB span: +-30 dB, grown in 6 dB steps to fit the curves.
// Above, it keeps the highest point of any curve 6 dB under the top (where
// the rate and the mains marks sit). Below, it grows only when the level
// takes the whole chain's highest point within 12 dB of the bottom, and then
// leaves it 24 dB of room: notches and roll-offs still run off the bottom,
// as they do at +-30 dB.
struct DbRange {
  double bottom, top;
  double step;  // between grid lines; every other one is labelled
};
DbRange plotRange(const Curves& c);

// Returns how many drawing calls it left out for a coordinate, size or
// angle that was not finite or beyond what cairo holds (none, unless
// something upstream went wrong: such values never reach cairo).
std::size_t drawView(cairo_t* cr, const Layout& l, UiModel& model, const ViewState& s);

// "−12.5 dB", "0.60", or the voicing's name: what a control shows.
void formatValue(std::uint32_t port, float value, char* out, std::size_t size);
