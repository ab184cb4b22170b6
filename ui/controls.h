// What the pointer does to the controls, free of X: a press, a drag, the
// wheel or a double-click on a widget yields a new value for that widget's
// port only, within the port's range, and every such value comes between a
// grab of that port and its release (what a host that offers LV2's touch
// feature records automation by). One port is grabbed at a time.
#pragma once

#include <cstddef>
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
  // The one grabbed port: by the left button until its release, or by the
  // wheel until it has rested for a moment (see pointerIdle).
  std::uint32_t grabbed = kPortCount;
  bool byWheel = false;
  std::uint64_t wheelAt = 0;  // the last turn, in the shell's steady milliseconds
};

// What the shell does next, in order: tell the host a port is grabbed or
// released (when it offers touch), or send it a value.
struct Action {
  enum Kind : std::uint8_t { Grab, Write, Release } kind;
  std::uint32_t port;
  float value;  // for Write
};

struct Actions {
  Action list[4];
  std::size_t count = 0;
  const Action* begin() const { return list; }
  const Action* end() const { return list + count; }
};

enum class Button { Left, WheelUp, WheelDown, Other };

// How long the wheel keeps its grab after the last turn.
constexpr std::uint64_t kWheelRestMs = 400;

// `time` is the event's X server time (for double-clicks), `now` the shell's
// steady clock (for the wheel's grab).
Actions pointerPress(Pointer& p, const Layout& l, const UiModel& m, double x, double y, Button b,
                     bool shift, unsigned long time, std::uint64_t now);
Actions pointerDrag(Pointer& p, const Layout& l, const UiModel& m, double y, bool shift);
// The left button's release.
Actions pointerRelease(Pointer& p);
// Called from idle: releases the wheel's grab once it has rested.
Actions pointerIdle(Pointer& p, std::uint64_t now);
// Releases whatever is grabbed (the UI is closing).
Actions pointerDrop(Pointer& p);
