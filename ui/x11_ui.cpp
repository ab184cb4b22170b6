// The UI's host shell: the LV2 UI descriptor, the X11 window embedded in the
// host's parent, its events, and the port traffic. It knows nothing of
// drawing beyond asking the view to paint a back buffer when the model or
// the pointer changed, and copying that buffer to the window.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo-xlib.h>
#include <cairo.h>
#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>

#include "controls.h"
#include "model.h"
#include "ports.h"
#include "view.h"

#define CALVORINE_UTILITY_UI_URI CALVORINE_UTILITY_URI "#ui"

namespace {

// Xlib's error handler is process-wide and the host may own it: it is
// swapped in only around the calls that may hit a window the host already
// destroyed (with its parent), then put back.
int g_trappedErrors = 0;
int countError(Display*, XErrorEvent*) {
  ++g_trappedErrors;
  return 0;
}

class ErrorTrap {
 public:
  explicit ErrorTrap(Display* dpy) : dpy_(dpy), old_(XSetErrorHandler(countError)) {
    g_trappedErrors = 0;
  }
  // Waits for the server's answer to everything sent so far.
  bool failed() {
    XSync(dpy_, False);
    return g_trappedErrors != 0;
  }
  ~ErrorTrap() {
    XSync(dpy_, False);
    XSetErrorHandler(old_);
  }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

 private:
  Display* dpy_;
  XErrorHandler old_;
};

struct UtilityUi {
  LV2UI_Write_Function write = nullptr;
  LV2UI_Controller controller = nullptr;
  const LV2UI_Touch* touch = nullptr;  // when the host offers it
  Display* dpy = nullptr;
  Window win = 0;
  bool alive = false;  // false once the window is gone with its parent
  int width = 0;
  int height = 0;
  double scale = 1.0;
  UiModel model;
  Layout layout{};
  ViewState view;
  Pointer pointer;
  cairo_surface_t* back = nullptr;    // the drawn UI
  cairo_surface_t* screen = nullptr;  // the window
  bool dirty = true;                  // the back buffer is out of date
  bool exposed = false;               // the window needs the back buffer again

  explicit UtilityUi(double rate) : model(rate) {}
};

void resizeBuffers(UtilityUi& ui, int w, int h) {
  ui.width = w;
  ui.height = h;
  ui.layout = layoutFor(w, h, ui.scale);
  if (ui.back != nullptr) {
    cairo_surface_destroy(ui.back);
  }
  ui.back = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  cairo_xlib_surface_set_size(ui.screen, w, h);
  ui.dirty = true;
}

void render(UtilityUi& ui) {
  cairo_t* cr = cairo_create(ui.back);
  drawView(cr, ui.layout, ui.model, ui.view);
  cairo_destroy(cr);
  cairo_surface_flush(ui.back);
  ui.dirty = false;
  ui.exposed = true;
}

void blit(UtilityUi& ui) {
  ErrorTrap trap(ui.dpy);
  cairo_t* cr = cairo_create(ui.screen);
  cairo_set_source_surface(cr, ui.back, 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(ui.screen);
  if (trap.failed()) {
    ui.alive = false;
  }
  ui.exposed = false;
}

std::uint64_t steadyMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// What the pointer handling decided, carried out in its order.
void carryOut(UtilityUi& ui, const Actions& actions) {
  for (const Action& a : actions) {
    if (a.kind == Action::Write) {
      ui.model.set(a.port, a.value);
      ui.write(ui.controller, a.port, sizeof(float), 0, &a.value);
      ui.dirty = true;
    } else if (ui.touch != nullptr) {
      ui.touch->touch(ui.touch->handle, a.port, a.kind == Action::Grab);
    }
  }
}

void setHot(UtilityUi& ui, double x, double y) {
  const Widget* w = widgetAt(ui.layout, x, y);
  const std::uint32_t hot = w != nullptr ? w->port : kPortCount;
  if (hot != ui.view.hot) {
    ui.view.hot = hot;
    ui.dirty = true;
  }
}

void onEvent(UtilityUi& ui, XEvent& ev) {
  switch (ev.type) {
    case Expose:
      if (ev.xexpose.count == 0) {
        ui.exposed = true;
      }
      break;
    case ConfigureNotify:
      if (ev.xconfigure.width != ui.width || ev.xconfigure.height != ui.height) {
        resizeBuffers(ui, ev.xconfigure.width, ev.xconfigure.height);
      }
      break;
    case DestroyNotify:
      if (ev.xdestroywindow.window == ui.win) {
        ui.alive = false;
      }
      break;
    case ButtonPress: {
      const XButtonEvent& b = ev.xbutton;
      const Button button = b.button == Button1   ? Button::Left
                            : b.button == Button4 ? Button::WheelUp
                            : b.button == Button5 ? Button::WheelDown
                                                  : Button::Other;
      carryOut(ui, pointerPress(ui.pointer, ui.layout, ui.model, b.x, b.y, button,
                                (b.state & ShiftMask) != 0, b.time, steadyMs()));
      if (ui.pointer.dragPort != ui.view.active) {
        ui.view.active = ui.pointer.dragPort;
        ui.dirty = true;
      }
      break;
    }
    case MotionNotify: {
      // Only the latest of consecutive motions matters; one queued after a
      // press or release stays in order behind it.
      XEvent next;
      while (XPending(ui.dpy) > 0 && (XPeekEvent(ui.dpy, &next), next.type == MotionNotify)) {
        XNextEvent(ui.dpy, &ev);
      }
      const XMotionEvent& m = ev.xmotion;
      if (ui.pointer.dragPort != kPortCount) {
        carryOut(ui, pointerDrag(ui.pointer, ui.layout, ui.model, m.y, (m.state & ShiftMask) != 0));
      } else {
        setHot(ui, m.x, m.y);
      }
      break;
    }
    case ButtonRelease:
      if (ev.xbutton.button == Button1) {
        carryOut(ui, pointerRelease(ui.pointer));
        ui.view.active = kPortCount;
        setHot(ui, ev.xbutton.x, ev.xbutton.y);
        ui.dirty = true;
      }
      break;
    case LeaveNotify:
      if (ui.pointer.dragPort == kPortCount && ui.view.hot != kPortCount) {
        ui.view.hot = kPortCount;
        ui.dirty = true;
      }
      break;
    default:
      break;
  }
}

// Options the host passed: its sample rate and the scale factor.
void readOptions(const LV2_Options_Option* opt, LV2_URID_Map* map, double* rate, double* scale) {
  if (opt == nullptr || map == nullptr) {
    return;
  }
  const LV2_URID rateKey = map->map(map->handle, LV2_PARAMETERS__sampleRate);
  const LV2_URID scaleKey = map->map(map->handle, LV2_UI__scaleFactor);
  const LV2_URID tFloat = map->map(map->handle, LV2_ATOM__Float);
  const LV2_URID tDouble = map->map(map->handle, LV2_ATOM__Double);
  const LV2_URID tInt = map->map(map->handle, LV2_ATOM__Int);
  for (; opt->key != 0; ++opt) {
    double v = 0.0;
    if (opt->value == nullptr) {
      continue;
    } else if (opt->type == tFloat && opt->size == sizeof(float)) {
      v = static_cast<double>(*static_cast<const float*>(opt->value));
    } else if (opt->type == tDouble && opt->size == sizeof(double)) {
      v = *static_cast<const double*>(opt->value);
    } else if (opt->type == tInt && opt->size == sizeof(std::int32_t)) {
      v = *static_cast<const std::int32_t*>(opt->value);
    } else {
      continue;
    }
    if (opt->key == rateKey && v >= 1000.0 && v <= 1e7) {
      *rate = v;
    } else if (opt->key == scaleKey && v >= 0.5 && v <= 8.0) {
      *scale = v;
    }
  }
}

// The UI's window in the host's parent, and its visual; nullptr when the
// server refused (a parent it does not know would otherwise end the host
// through Xlib's default error handler).
Visual* createWindow(UtilityUi& ui, Window parent, int w, int h) {
  ErrorTrap trap(ui.dpy);
  XSetWindowAttributes attrs{};
  attrs.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask |
                     PointerMotionMask | LeaveWindowMask;
  attrs.background_pixel = XBlackPixel(ui.dpy, XDefaultScreen(ui.dpy));
  ui.win =
      XCreateWindow(ui.dpy, parent, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h), 0,
                    CopyFromParent, InputOutput, nullptr, CWEventMask | CWBackPixel, &attrs);
  XStoreName(ui.dpy, ui.win, "Calvorine Utility");
  XSizeHints hints{};
  hints.flags = PSize | PBaseSize | PMinSize;
  hints.width = hints.base_width = w;
  hints.height = hints.base_height = h;
  hints.min_width = w * 3 / 4;
  hints.min_height = h * 3 / 4;
  XSetWMNormalHints(ui.dpy, ui.win, &hints);
  XWindowAttributes wa;
  if (XGetWindowAttributes(ui.dpy, ui.win, &wa) == 0 || trap.failed()) {
    return nullptr;
  }
  return wa.visual;
}

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char*, const char*,
                         LV2UI_Write_Function write, LV2UI_Controller controller,
                         LV2UI_Widget* widget, const LV2_Feature* const* features) {
  void* parent = nullptr;
  const LV2UI_Resize* resize = nullptr;
  LV2_URID_Map* map = nullptr;
  const LV2_Options_Option* options = nullptr;
  const LV2UI_Touch* touch = nullptr;
  for (const LV2_Feature* const* f = features; f != nullptr && *f != nullptr; ++f) {
    if (std::strcmp((*f)->URI, LV2_UI__parent) == 0) {
      parent = (*f)->data;
    } else if (std::strcmp((*f)->URI, LV2_UI__resize) == 0) {
      resize = static_cast<const LV2UI_Resize*>((*f)->data);
    } else if (std::strcmp((*f)->URI, LV2_URID__map) == 0) {
      map = static_cast<LV2_URID_Map*>((*f)->data);
    } else if (std::strcmp((*f)->URI, LV2_OPTIONS__options) == 0) {
      options = static_cast<const LV2_Options_Option*>((*f)->data);
    } else if (std::strcmp((*f)->URI, LV2_UI__touch) == 0) {
      touch = static_cast<const LV2UI_Touch*>((*f)->data);
    }
  }
  if (parent == nullptr || write == nullptr) {
    return nullptr;
  }
  double rate = 48000.0;
  double scale = 1.0;
  readOptions(options, map, &rate, &scale);

  auto* ui = new (std::nothrow) UtilityUi(rate);
  if (ui == nullptr) {
    return nullptr;
  }
  ui->dpy = XOpenDisplay(nullptr);
  if (ui->dpy == nullptr) {
    delete ui;
    return nullptr;
  }
  ui->write = write;
  ui->controller = controller;
  ui->touch = touch != nullptr && touch->touch != nullptr ? touch : nullptr;
  ui->scale = scale;
  int w = 0;
  int h = 0;
  preferredSize(scale, &w, &h);

  Visual* visual =
      createWindow(*ui, static_cast<Window>(reinterpret_cast<std::uintptr_t>(parent)), w, h);
  if (visual == nullptr) {
    XCloseDisplay(ui->dpy);
    delete ui;
    return nullptr;
  }
  ui->screen = cairo_xlib_surface_create(ui->dpy, ui->win, visual, w, h);
  resizeBuffers(*ui, w, h);
  XMapRaised(ui->dpy, ui->win);
  XFlush(ui->dpy);
  ui->alive = true;

  if (resize != nullptr) {
    resize->ui_resize(resize->handle, w, h);
  }
  *widget = reinterpret_cast<LV2UI_Widget>(static_cast<std::uintptr_t>(ui->win));
  return ui;
}

void cleanup(LV2UI_Handle handle) {
  auto* ui = static_cast<UtilityUi*>(handle);
  carryOut(*ui, pointerDrop(ui->pointer));  // a grab never outlives the UI
  cairo_surface_destroy(ui->screen);
  cairo_surface_destroy(ui->back);
  if (ui->alive) {
    ErrorTrap trap(ui->dpy);
    XDestroyWindow(ui->dpy, ui->win);
  }
  XCloseDisplay(ui->dpy);
  delete ui;
}

void portEvent(LV2UI_Handle handle, std::uint32_t port, std::uint32_t size, std::uint32_t format,
               const void* buffer) {
  auto* ui = static_cast<UtilityUi*>(handle);
  if (ui->model.hostEvent(port, size, format, buffer)) {
    ui->dirty = true;
  }
}

// X events are read here, and the window redrawn only when something changed.
int idle(LV2UI_Handle handle) {
  auto* ui = static_cast<UtilityUi*>(handle);
  while (ui->alive && XPending(ui->dpy) > 0) {
    XEvent ev;
    XNextEvent(ui->dpy, &ev);
    onEvent(*ui, ev);
  }
  if (!ui->alive) {
    return 1;  // the parent took the window with it: the host may close the UI
  }
  carryOut(*ui, pointerIdle(ui->pointer, steadyMs()));
  if (ui->dirty) {
    render(*ui);
  }
  if (ui->exposed) {
    blit(*ui);
  }
  return 0;
}

const LV2UI_Idle_Interface s_idle = {idle};

const void* extensionData(const char* uri) {
  return std::strcmp(uri, LV2_UI__idleInterface) == 0 ? &s_idle : nullptr;
}

const LV2UI_Descriptor s_descriptor = {CALVORINE_UTILITY_UI_URI, instantiate, cleanup, portEvent,
                                       extensionData};

}  // namespace

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(std::uint32_t index) {
  return index == 0 ? &s_descriptor : nullptr;
}
