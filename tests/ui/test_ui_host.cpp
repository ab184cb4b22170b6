// Our own small UI host: dlopen the UI module, embed it in a window on a
// private Xvfb display (tests/ui/with_xvfb.sh), drive it with XTest, and
// watch what it writes and what it shows.
// gtest before Xlib: its None, True and False macros clash with gtest's names.
#include "gtest/gtest.h"
// Then the rest.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <dirent.h>
#include <dlfcn.h>
#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "view.h"

namespace {

// What the UI sent the host: a value, or a grab or release of a port.
struct Sent {
  enum Kind { Write, Grab, Release } kind;
  std::uint32_t port, size, protocol;
  float value;
};

int g_xErrors = 0;

std::size_t openFds() {
  std::size_t n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d != nullptr && readdir(d) != nullptr) {
    ++n;
  }
  closedir(d);
  return n;
}

struct Host {
  void* lib = dlopen(CALVORINE_UI_PATH, RTLD_NOW | RTLD_LOCAL);
  const LV2UI_Descriptor* d =
      lib ? reinterpret_cast<LV2UI_DescriptorFunction>(dlsym(lib, "lv2ui_descriptor"))(0) : nullptr;
  Display* dpy = XOpenDisplay(nullptr);
  Window parent = 0;
  Window win = 0;
  LV2UI_Handle ui = nullptr;
  const LV2UI_Idle_Interface* idler = nullptr;
  std::vector<Sent> sent;
  std::vector<std::string> uris;
  int w = 0;
  int h = 0;
  float rate = 48000.0f;
  float scale = 1.0f;
  LV2UI_Touch touch = {this, [](LV2UI_Feature_Handle p, std::uint32_t port, bool grabbed) {
                         static_cast<Host*>(p)->sent.push_back(
                             {grabbed ? Sent::Grab : Sent::Release, port, 0, 0, 0.0f});
                       }};

  ~Host() {
    close();
    if (dpy != nullptr) {
      XCloseDisplay(dpy);
    }
    if (lib != nullptr) {
      dlclose(lib);
    }
  }

  LV2_URID urid(const char* uri) {
    for (std::size_t i = 0; i < uris.size(); ++i) {
      if (uris[i] == uri) {
        return static_cast<LV2_URID>(i + 1);
      }
    }
    uris.emplace_back(uri);
    return static_cast<LV2_URID>(uris.size());
  }

  // The UI in a parent window at the screen's origin (or in `into`), with the
  // host's rate and scale as options, every control at its default; with
  // `touch`, the host offers ui:touch.
  bool open(float r, float s, Window into = 0, bool withTouch = false) {
    rate = r;
    scale = s;
    if (parent == 0) {
      parent = XCreateSimpleWindow(dpy, XDefaultRootWindow(dpy), 0, 0, 100, 100, 0, 0, 0);
      XMapWindow(dpy, parent);
      XSync(dpy, False);  // the UI's own connection must find it
    }
    LV2_URID_Map map = {
        this, [](LV2_URID_Map_Handle p, const char* u) { return static_cast<Host*>(p)->urid(u); }};
    LV2UI_Resize resize = {this, [](LV2UI_Feature_Handle p, int ww, int hh) {
                             static_cast<Host*>(p)->w = ww;
                             static_cast<Host*>(p)->h = hh;
                             return 0;
                           }};
    const LV2_URID f = urid(LV2_ATOM__Float);
    LV2_Options_Option options[] = {
        {LV2_OPTIONS_INSTANCE, 0, urid(LV2_PARAMETERS__sampleRate), sizeof(float), f, &rate},
        {LV2_OPTIONS_INSTANCE, 0, urid(LV2_UI__scaleFactor), sizeof(float), f, &scale},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    const LV2_Feature fs[] = {{LV2_UI__parent, reinterpret_cast<void*>(into ? into : parent)},
                              {LV2_UI__resize, &resize},
                              {LV2_URID__map, &map},
                              {LV2_OPTIONS__options, options},
                              {LV2_UI__idleInterface, nullptr},
                              {LV2_UI__touch, &touch}};
    const LV2_Feature* features[] = {
        &fs[0], &fs[1], &fs[2], &fs[3], &fs[4], withTouch ? &fs[5] : nullptr, nullptr};
    LV2UI_Widget widget = nullptr;
    ui = d->instantiate(
        d, CALVORINE_UTILITY_URI, "",
        [](LV2UI_Controller c, std::uint32_t port, std::uint32_t size, std::uint32_t protocol,
           const void* buf) {
          static_cast<Host*>(c)->sent.push_back(
              {Sent::Write, port, size, protocol, *static_cast<const float*>(buf)});
        },
        this, &widget, features);
    if (ui == nullptr) {
      return false;
    }
    win = static_cast<Window>(reinterpret_cast<std::uintptr_t>(widget));
    XResizeWindow(dpy, parent, static_cast<unsigned>(w), static_cast<unsigned>(h));
    idler = static_cast<const LV2UI_Idle_Interface*>(d->extension_data(LV2_UI__idleInterface));
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      event(p, kPorts[p].deflt);
    }
    settle();
    return true;
  }
  void close() {
    if (ui != nullptr) {
      d->cleanup(ui);
      ui = nullptr;
    }
  }
  void event(std::uint32_t port, float v) { d->port_event(ui, port, sizeof v, 0, &v); }
  std::size_t writes() const {
    std::size_t n = 0;
    for (const Sent& s : sent) {
      n += s.kind == Sent::Write ? 1u : 0u;
    }
    return n;
  }
  int idle() { return idler->idle(ui); }
  // Lets the server deliver what XTest sent, and the UI read it.
  void settle() {
    XSync(dpy, False);
    for (int i = 0; i < 6; ++i) {
      idle();
      usleep(3000);
    }
  }
  void move(double x, double y, bool wait = true) {
    XTestFakeMotionEvent(dpy, -1, static_cast<int>(x), static_cast<int>(y), CurrentTime);
    wait ? settle() : void();
  }
  void button(unsigned b, bool down, bool wait = true) {
    XTestFakeButtonEvent(dpy, b, down, CurrentTime);
    wait ? settle() : void();
  }
  void click(unsigned b = 1) {
    button(b, true);
    button(b, false);
  }
  void drag(double x, double y, double dy, bool wait = true) {
    move(x, y, wait);
    button(1, true, wait);
    move(x, y + dy, wait);
    button(1, false);
  }
  Layout layout() const { return layoutFor(w, h, static_cast<double>(scale)); }

  // How many of the window's pixels differ from the view drawn off screen
  // for these values.
  std::size_t differing(const float* values) {
    UiModel model(static_cast<double>(rate));
    for (std::uint32_t p = 0; p < kPortCount; ++p) {
      model.hostEvent(p, sizeof(float), 0, &values[p]);
    }
    cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_t* cr = cairo_create(img);
    drawView(cr, layout(), model, ViewState{});
    cairo_destroy(cr);
    cairo_surface_flush(img);
    XImage* shown = XGetImage(dpy, win, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h),
                              AllPlanes, ZPixmap);
    std::size_t n = shown == nullptr ? static_cast<std::size_t>(w * h) : 0;
    const unsigned char* data = cairo_image_surface_get_data(img);
    for (int y = 0; shown != nullptr && y < h; ++y) {
      const auto* row = reinterpret_cast<const std::uint32_t*>(
          data + static_cast<std::ptrdiff_t>(y) * cairo_image_surface_get_stride(img));
      for (int x = 0; x < w; ++x) {
        n += ((XGetPixel(shown, x, y) ^ row[x]) & 0xffffffu) != 0 ? 1u : 0u;
      }
    }
    if (shown != nullptr) {
      XDestroyImage(shown);
    }
    cairo_surface_destroy(img);
    return n;
  }
};

class UiHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host.d != nullptr && host.dpy != nullptr) << "UI module or display missing";
    XSetErrorHandler([](Display*, XErrorEvent*) { return ++g_xErrors, 0; });
  }
  void TearDown() override {
    host.close();
    XSync(host.dpy, False);
    EXPECT_EQ(g_xErrors, 0) << "X errors";
  }
  // Everything written since the last look went to `port`, as a float in
  // range (0 or 1 for a switch, a whole number for the selector), and, when
  // the host offers touch, while that port was grabbed; returns the last
  // value.
  float written(std::uint32_t port, const char* what) {
    SCOPED_TRACE(std::string(kPorts[port].symbol) + ": " + what);
    const PortFacts& f = kPorts[port];
    float last = NAN;
    for (const Sent& s : host.sent) {
      if (s.kind != Sent::Write) {
        touched(s);
        continue;
      }
      EXPECT_TRUE(s.port == port && s.size == sizeof(float) && s.protocol == 0u) << s.port;
      EXPECT_TRUE(s.value >= f.minimum && s.value <= f.maximum) << s.value;
      EXPECT_TRUE(f.kind != PortKind::Toggle || s.value == 0.0f || s.value == 1.0f) << s.value;
      EXPECT_TRUE(f.kind != PortKind::Choice || s.value == std::round(s.value)) << s.value;
      EXPECT_TRUE(held == port || !touching) << "written while " << held << " was grabbed";
      last = s.value;
    }
    EXPECT_FALSE(std::isnan(last)) << "nothing written";
    host.sent.clear();
    return last;
  }
  // A grab only while nothing is grabbed, a release only of the grabbed port.
  void touched(const Sent& s) {
    EXPECT_EQ(held, s.kind == Sent::Grab ? kPortCount : s.port)
        << "touch " << s.kind << " of " << s.port;
    held = s.kind == Sent::Grab ? s.port : kPortCount;
    grabs += s.kind == Sent::Grab ? 1 : 0;
  }

  // Drags, wheel turns, clicks and double-clicks on every control, which
  // shows `shown` to begin with; every control input has one.
  void turnEveryControl(const float* shown) {
    const Layout l = host.layout();
    std::uint32_t turned = 0;
    for (const Widget& w : l.widgets) {
      const PortFacts& f = kPorts[w.port];
      turned |= 1u << w.port;
      const double x = w.box.cx();
      const double y = w.box.cy();
      host.move(x, y);
      if (f.kind == PortKind::Control) {
        // Up to the top first, then down (the other way round from the top).
        const double up = shown[w.port] < f.maximum ? -1.0 : 1.0;
        const float first = up < 0.0 ? f.maximum : f.minimum;
        const float second = up < 0.0 ? f.minimum : f.maximum;
        host.drag(x, y + 1, 400 * up, false);  // queued whole before one idle, as a fast hand does
        EXPECT_EQ(written(w.port, "drag far"), first);
        host.drag(x, y, -600 * up);
        EXPECT_EQ(written(w.port, "drag far back"), second);
        XTestFakeKeyEvent(host.dpy, XKeysymToKeycode(host.dpy, XK_Shift_L), True, CurrentTime);
        host.drag(x, y, 100 * up);  // Shift: a tenth of the range per 200 px
        XTestFakeKeyEvent(host.dpy, XKeysymToKeycode(host.dpy, XK_Shift_L), False, CurrentTime);
        EXPECT_NEAR(std::fabs(written(w.port, "fine drag") - second),
                    0.05f * (f.maximum - f.minimum), 1e-3f);
        host.move(x, y);
        host.click(4);
        host.click(4);
        host.click(5);
        EXPECT_EQ(host.writes(), 3u);
        written(w.port, "wheel");
        host.click();
        host.click();
        EXPECT_EQ(written(w.port, "double-click"), f.deflt);
      } else if (f.kind == PortKind::Toggle) {
        const bool before = shown[w.port] > 0.5f;
        host.click();
        EXPECT_EQ(host.writes(), 1u);
        EXPECT_EQ(written(w.port, "click"), before ? 0.0f : 1.0f);
        usleep(450000);  // two clicks, not a double-click
        host.click();
        EXPECT_EQ(host.writes(), 1u);
        EXPECT_EQ(written(w.port, "click back"), before ? 1.0f : 0.0f);
      } else {
        host.move(w.box.x + 0.9 * w.box.w, y);  // the right half steps up, never past the end
        for (int i = 0; i < 6; ++i) {
          host.click();
        }
        host.move(w.box.x + 0.1 * w.box.w, y);
        host.click();
        EXPECT_EQ(written(w.port, "right half, then left"), f.maximum - 1.0f);
        host.click(5);
        EXPECT_EQ(written(w.port, "wheel"), f.maximum - 2.0f);
      }
    }
    host.move(l.plot.cx(), l.plot.cy());  // the plot writes nothing, nor the readout
    host.click();
    host.click(4);
    host.move(l.mains.cx(), l.mains.cy());
    host.click();
    EXPECT_EQ(host.writes(), 0u);
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      EXPECT_EQ((turned >> p & 1u) != 0, !kPorts[p].output()) << kPorts[p].symbol;
    }
  }

  Host host;
  bool touching = false;            // the host offers ui:touch
  std::uint32_t held = kPortCount;  // grabbed, as the host sees it
  int grabs = 0;
};

TEST_F(UiHost, EveryControlWritesOnlyItsOwnPortInRange) {
  ASSERT_TRUE(host.open(48000.0f, 1.0f));
  float shown[kPortCount];
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    shown[p] = kPorts[p].deflt;
  }
  turnEveryControl(shown);
  EXPECT_TRUE(host.sent.empty());
}

// Hosts pass on whatever their sessions hold. What is not a number changes
// nothing (cairo aborts the host's process on such an angle), what is out of
// range shows at the range's end, what is not a plain float for a control
// port is not read; after that every control still writes only in range,
// and with ui:touch only while its port is grabbed.
TEST_F(UiHost, UntrustedHostValuesAreMadeSafeAndTouchFramesEveryWrite) {
  ASSERT_TRUE(host.open(48000.0f, 1.0f, 0, true));
  touching = true;
  host.move(host.w + 50, host.h + 50);
  float v[kPortCount];
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    v[p] = kPorts[p].deflt;
  }
  for (std::uint32_t p = 0; p < kPortCount + 3; ++p) {
    for (float bad : {NAN, -NAN, INFINITY, -INFINITY}) {
      host.event(p, bad);
    }
  }
  host.event(0xffffffffu, 1.0f);
  host.idle();
  EXPECT_EQ(host.differing(v), 0u) << "not numbers";

  for (std::uint32_t p = 2; p < kPortCount; ++p) {
    // The largest response the controls give; beyond its range a reading is
    // none.
    v[p] = kPorts[p].output() ? 0.0f : kPorts[p].maximum;
    host.event(p, 1e30f);
    host.event(p, NAN);
    const float other = kPorts[p].minimum;
    const double wide = static_cast<double>(other);
    host.d->port_event(host.ui, p, sizeof other, 1, &other);
    host.d->port_event(host.ui, p, sizeof wide, 0, &wide);
  }
  host.idle();
  XSync(host.dpy, False);
  EXPECT_EQ(host.differing(v), 0u) << "beyond the range";
  EXPECT_TRUE(host.sent.empty());

  turnEveryControl(v);
  for (int i = 0; i < 60 && held != kPortCount; ++i) {
    usleep(10000);  // the wheel lets go once it rests
    host.idle();
    for (const Sent& s : host.sent) {
      touched(s);
    }
    host.sent.clear();
  }
  EXPECT_EQ(held, kPortCount) << "a grab never released";
  EXPECT_GE(grabs, 30) << "a grab for each gesture";
}

TEST_F(UiHost, HostChangesShowWithinOneIdleAndAreNotEchoed) {
  ASSERT_TRUE(host.open(96000.0f, 1.5f));  // drawn for this rate, at this scale
  int w = 0;
  int h = 0;
  preferredSize(1.5, &w, &h);
  EXPECT_TRUE(host.w == w && host.h == h);
  host.move(w + 50, h + 50);  // pointer off the UI: nothing lit
  float v[kPortCount];
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    v[p] = kPorts[p].deflt;
  }
  EXPECT_EQ(host.differing(v), 0u);
  // A preset's worth of changes, then exactly one idle; then the bypass.
  v[kPortLevelDb] = -7.5f;
  v[kPortHumOn] = v[kPortHum50Hz] = v[kPortPickupOn] = v[kPortBoostOn] = 1.0f;
  v[kPortPickupType] = 2.0f;
  v[kPortPickupAmount] = 0.6f;
  v[kPortLowpassAmount] = 0.35f;
  v[kPortBoostDb] = -4.0f;
  v[kPortHumTrack] = 1.0f;  // the readout and the comb at what the plug-in reports
  v[kPortHumFreq] = 50.02f;
  for (bool bypass : {false, true}) {
    v[kPortEnabled] = bypass ? 0.0f : 1.0f;
    for (std::uint32_t p = 2; p < kPortCount; ++p) {
      host.event(p, v[p]);
    }
    host.idle();
    XSync(host.dpy, False);
    EXPECT_EQ(host.differing(v), 0u) << (bypass ? "bypassed" : "");
  }
  EXPECT_TRUE(host.sent.empty()) << "a UI that echoes the host's values loops with it";
}

TEST_F(UiHost, HundredOpenCloseCyclesLeaveNothingBehind) {
  ASSERT_TRUE(host.open(44100.0f, 1.0f));  // the first open loads fonts for good
  host.close();
  const std::size_t fds = openFds();
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(host.open(44100.0f, 1.0f + 0.25f * static_cast<float>(i % 3)));
    host.event(kPortHumOn, 1.0f);
    host.idle();
    host.close();
  }
  EXPECT_EQ(openFds(), fds) << "display connections or files left open";
}

TEST_F(UiHost, HiddenOrOrphanedUiKeepsTheHostAlive) {
  ASSERT_TRUE(host.open(48000.0f, 1.0f));
  XUnmapWindow(host.dpy, host.win);  // hidden: changes still arrive
  host.event(kPortLevelDb, 3.0f);
  EXPECT_EQ(host.idle(), 0);
  XMapWindow(host.dpy, host.win);
  host.settle();
  XDestroyWindow(host.dpy, host.win);  // gone with its parent, before cleanup
  XSync(host.dpy, False);
  host.event(kPortLevelDb, 6.0f);
  int asked = 0;
  for (int i = 0; i < 20 && asked == 0; ++i, usleep(2000)) {
    asked = host.idle();
  }
  EXPECT_NE(asked, 0) << "idle should ask the host to close a UI whose window is gone";
  host.close();
  EXPECT_FALSE(host.open(48000.0f, 1.0f, 0x7ffffff)) << "a parent the server does not know";
}

}  // namespace
