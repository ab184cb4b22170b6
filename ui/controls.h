// What the pointer does to the controls, free of X: a press, a drag, the
// wheel or a double-click on a widget yields at most one new value, for that
// widget's port only, within the port's range.
#pragma once

#include <cstdint>

#include "model.h"
#include "view.h"

struct Pointer {
  std::uint32_t dragPort = kPortCount;  // a knob held down
  double anchorY = 0.0;                 // where the drag's scale restarts
  float anchorValue = 0.0f;
  bool fine = false;  // Shift held
  std::uint32_t clickPort = kPortCount;
  unsigned long clickTime = 0;  // of the last press, in X server milliseconds
};

// A value to send to the host: port is kPortCount when there is none.
struct Write {
  std::uint32_t port = kPortCount;
  float value = 0.0f;
};

enum class Button { Left, WheelUp, WheelDown, Other };

Write pointerPress(Pointer& p, const Layout& l, const UiModel& m, double x, double y, Button b,
                   bool shift, unsigned long time);
Write pointerDrag(Pointer& p, const Layout& l, const UiModel& m, double y, bool shift);
void pointerRelease(Pointer& p);
