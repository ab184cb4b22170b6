// Our own small UI host: dlopen the UI module, embed it in a window on a
// private Xvfb display (tests/ui/with_xvfb.sh), drive it with XTest, and
// watch what it writes and what it shows.
// gtest before Xlib: its None, True and False macros clash with gtest's names.
#include "gtest/gtest.h"
// Then the rest.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <cairo.h>
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

#include "controls.h"
#include "model.h"
#include "view.h"

namespace {

struct Sent {
  std::uint32_t port, size, protocol;
  float value;
};

int g_xErrors = 0;
int countXError(Display*, XErrorEvent*) {
  ++g_xErrors;
  return 0;
}

std::size_t openFds() {
  std::size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) {
      ++n;
    }
    closedir(d);
  }
  return n;
}

class UiHost {
 public:
  UiHost() {
    lib_ = dlopen(CALVORINE_UI_PATH, RTLD_NOW | RTLD_LOCAL);
    if (lib_ != nullptr) {
      auto entry = reinterpret_cast<LV2UI_DescriptorFunction>(dlsym(lib_, "lv2ui_descriptor"));
      desc_ = entry != nullptr ? entry(0) : nullptr;
    }
    dpy_ = XOpenDisplay(nullptr);
    map_ = {this, [](LV2_URID_Map_Handle h, const char* uri) { return self(h)->urid(uri); }};
    resize_ = {this, [](LV2UI_Feature_Handle h, int w, int hh) {
                 self(h)->width = w;
                 self(h)->height = hh;
                 return 0;
               }};
  }
  // What instantiate does with a parent window the server does not know.
  LV2UI_Handle openInBadParent() {
    const LV2_Feature parentF = {LV2_UI__parent,
                                 reinterpret_cast<void*>(std::uintptr_t{0x7ffffff})};
    const LV2_Feature* features[] = {&parentF, nullptr};
    LV2UI_Widget widget = nullptr;
    return desc_->instantiate(
        desc_, CALVORINE_UTILITY_URI, "",
        [](LV2UI_Controller, std::uint32_t, std::uint32_t, std::uint32_t, const void*) {}, this,
        &widget, features);
  }
  ~UiHost() {
    close();
    if (parent_ != 0) {
      XDestroyWindow(dpy_, parent_);
    }
    if (dpy_ != nullptr) {
      XCloseDisplay(dpy_);
    }
    if (lib_ != nullptr) {
      dlclose(lib_);
    }
  }
  UiHost(const UiHost&) = delete;
  UiHost& operator=(const UiHost&) = delete;

  bool ready() const { return desc_ != nullptr && dpy_ != nullptr; }
  Display* display() const { return dpy_; }
  const LV2UI_Descriptor* descriptor() const { return desc_; }

  // A fresh parent window at the screen's origin, and the UI in it.
  bool open(float rate, float scale) {
    if (parent_ == 0) {
      XSetWindowAttributes a{};
      a.override_redirect = True;
      parent_ = XCreateWindow(dpy_, XDefaultRootWindow(dpy_), 0, 0, 1000, 700, 0, CopyFromParent,
                              InputOutput, nullptr, CWOverrideRedirect, &a);
      XMapWindow(dpy_, parent_);
      XSync(dpy_, False);
    }
    rate_ = rate;
    scale_ = scale;
    const LV2_URID tFloat = urid(LV2_ATOM__Float);
    options_[0] = {LV2_OPTIONS_INSTANCE, 0,      urid(LV2_PARAMETERS__sampleRate),
                   sizeof(float),        tFloat, &rate_};
    options_[1] = {LV2_OPTIONS_INSTANCE, 0,      urid(LV2_UI__scaleFactor),
                   sizeof(float),        tFloat, &scale_};
    options_[2] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
    const LV2_Feature parentF = {LV2_UI__parent, reinterpret_cast<void*>(parent_)};
    const LV2_Feature resizeF = {LV2_UI__resize, &resize_};
    const LV2_Feature mapF = {LV2_URID__map, &map_};
    const LV2_Feature optionsF = {LV2_OPTIONS__options, options_};
    const LV2_Feature idleF = {LV2_UI__idleInterface, nullptr};
    const LV2_Feature* features[] = {&parentF, &resizeF, &mapF, &optionsF, &idleF, nullptr};
    LV2UI_Widget widget = nullptr;
    handle_ = desc_->instantiate(
        desc_, CALVORINE_UTILITY_URI, "",
        [](LV2UI_Controller c, std::uint32_t port, std::uint32_t size, std::uint32_t protocol,
           const void* buf) {
          self(c)->sent.push_back({port, size, protocol, *static_cast<const float*>(buf)});
        },
        this, &widget, features);
    if (handle_ == nullptr) {
      return false;
    }
    window = static_cast<Window>(reinterpret_cast<std::uintptr_t>(widget));
    XResizeWindow(dpy_, parent_, static_cast<unsigned>(width), static_cast<unsigned>(height));
    idle_ = static_cast<const LV2UI_Idle_Interface*>(desc_->extension_data(LV2_UI__idleInterface));
    for (std::uint32_t p = 0; p < kPortCount; ++p) {
      if (!kPorts[p].audio()) {
        event(p, kPorts[p].deflt);
      }
    }
    settle();
    return idle_ != nullptr;
  }

  void close() {
    if (handle_ != nullptr) {
      desc_->cleanup(handle_);
      handle_ = nullptr;
    }
  }

  void event(std::uint32_t port, float v) { desc_->port_event(handle_, port, sizeof v, 0, &v); }
  int idle() { return idle_->idle(handle_); }
  // Lets the server deliver what XTest sent, and the UI read it.
  void settle() {
    XSync(dpy_, False);
    for (int i = 0; i < 6; ++i) {
      idle();
      usleep(3000);
    }
  }

  void move(double x, double y) {
    XTestFakeMotionEvent(dpy_, -1, static_cast<int>(x), static_cast<int>(y), CurrentTime);
    settle();
  }
  void button(unsigned b, bool down) {
    XTestFakeButtonEvent(dpy_, b, down ? True : False, CurrentTime);
    settle();
  }
  void click(unsigned b = 1) {
    button(b, true);
    button(b, false);
  }
  void shift(bool down) {
    XTestFakeKeyEvent(dpy_, XKeysymToKeycode(dpy_, XK_Shift_L), down ? True : False, CurrentTime);
    settle();
  }

  Layout layout() const { return layoutFor(width, height, static_cast<double>(scale_)); }

  // The window's pixels, 0xRRGGBB each.
  std::vector<std::uint32_t> pixels() {
    XImage* img = XGetImage(dpy_, window, 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
    std::vector<std::uint32_t> out;
    for (int y = 0; img != nullptr && y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        out.push_back(static_cast<std::uint32_t>(XGetPixel(img, x, y)) & 0xffffffu);
      }
    }
    if (img != nullptr) {
      XDestroyImage(img);
    }
    return out;
  }

  std::vector<Sent> sent;
  Window window = 0;
  int width = 0;
  int height = 0;

 private:
  static UiHost* self(void* h) { return static_cast<UiHost*>(h); }
  LV2_URID urid(const char* uri) {
    for (std::size_t i = 0; i < uris_.size(); ++i) {
      if (uris_[i] == uri) {
        return static_cast<LV2_URID>(i + 1);
      }
    }
    uris_.emplace_back(uri);
    return static_cast<LV2_URID>(uris_.size());
  }

  void* lib_ = nullptr;
  const LV2UI_Descriptor* desc_ = nullptr;
  Display* dpy_ = nullptr;
  Window parent_ = 0;
  LV2UI_Handle handle_ = nullptr;
  const LV2UI_Idle_Interface* idle_ = nullptr;
  std::vector<std::string> uris_;
  LV2_URID_Map map_;
  LV2UI_Resize resize_;
  LV2_Options_Option options_[3];
  float rate_ = 48000.0f;
  float scale_ = 1.0f;
};

// How many pixels differ between what the window shows and what it should.
std::size_t differing(const std::vector<std::uint32_t>& got,
                      const std::vector<std::uint32_t>& want) {
  if (got.size() != want.size()) {
    return want.size();
  }
  std::size_t n = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    n += got[i] != want[i] ? 1u : 0u;
  }
  return n;
}

// The view drawn off screen for the same values: what the window must show.
std::vector<std::uint32_t> expected(const UiHost& host, double rate, const float* values) {
  UiModel model(rate);
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    model.set(p, values[p]);
  }
  cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, host.width, host.height);
  cairo_t* cr = cairo_create(img);
  drawView(cr, host.layout(), model, ViewState{});
  cairo_destroy(cr);
  cairo_surface_flush(img);
  std::vector<std::uint32_t> out;
  const unsigned char* data = cairo_image_surface_get_data(img);
  const int stride = cairo_image_surface_get_stride(img);
  for (int y = 0; y < host.height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
    for (int x = 0; x < host.width; ++x) {
      out.push_back(row[x] & 0xffffffu);
    }
  }
  cairo_surface_destroy(img);
  return out;
}

class UiHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host.ready()) << "UI module or display missing: " << dlerror();
    g_xErrors = 0;
    old = XSetErrorHandler(countXError);
  }
  void TearDown() override {
    if (!host.ready()) {
      return;
    }
    host.close();
    XSync(host.display(), False);
    EXPECT_EQ(g_xErrors, 0) << "X errors";
    XSetErrorHandler(old);
  }
  UiHost host;
  XErrorHandler old = nullptr;
};

// Everything sent since the last look goes to one port, as a float in range.
void expectOnly(UiHost& host, std::uint32_t port, const char* what, bool mustWrite = true) {
  SCOPED_TRACE(std::string(kPorts[port].symbol) + ": " + what);
  const PortFacts& f = kPorts[port];
  if (mustWrite) {
    EXPECT_FALSE(host.sent.empty()) << "nothing written";
  }
  for (const Sent& s : host.sent) {
    EXPECT_EQ(s.port, port);
    EXPECT_EQ(s.size, sizeof(float));
    EXPECT_EQ(s.protocol, 0u);
    EXPECT_TRUE(s.value >= f.minimum && s.value <= f.maximum) << s.value;
    if (f.kind == PortKind::Toggle) {
      EXPECT_TRUE(s.value == 0.0f || s.value == 1.0f) << s.value;
    } else if (f.kind == PortKind::Choice) {
      EXPECT_EQ(s.value, std::round(s.value));
    }
  }
}

float last(const UiHost& host) {
  return host.sent.empty() ? NAN : host.sent.back().value;
}

TEST_F(UiHostTest, EveryControlWritesOnlyItsOwnPortInRange) {
  ASSERT_TRUE(host.open(48000.0f, 1.0f));
  const Layout l = host.layout();
  for (const Widget& w : l.widgets) {
    const std::uint32_t port = w.port;
    const PortFacts& f = kPorts[port];
    const double x = w.box.cx();
    const double y = w.box.cy();
    host.move(x, y);
    host.sent.clear();
    if (f.kind == PortKind::Control) {
      // A whole drag queued before the UI's next idle, as a fast hand does.
      Display* d = host.display();
      XTestFakeMotionEvent(d, -1, static_cast<int>(x), static_cast<int>(y) + 1, CurrentTime);
      XTestFakeButtonEvent(d, 1, True, CurrentTime);
      XTestFakeMotionEvent(d, -1, static_cast<int>(x), static_cast<int>(y) - 400, CurrentTime);
      XTestFakeButtonEvent(d, 1, False, CurrentTime);  // far past the top: clamps at the maximum
      host.settle();
      expectOnly(host, port, "drag up");
      EXPECT_EQ(last(host), f.maximum);
      host.sent.clear();
      host.move(x, y);
      host.button(1, true);
      host.move(x, y + 600);
      host.button(1, false);
      expectOnly(host, port, "drag down");
      EXPECT_EQ(last(host), f.minimum);
      host.sent.clear();
      host.move(x, y);
      host.shift(true);
      host.button(1, true);
      host.move(x, y - 100);  // Shift: a tenth of the range per 200 px
      host.button(1, false);
      host.shift(false);
      expectOnly(host, port, "fine drag");
      EXPECT_NEAR(last(host) - f.minimum, 0.05f * (f.maximum - f.minimum), 1e-3f);
      host.sent.clear();
      host.move(x, y);
      host.click(4);
      host.click(4);
      host.click(5);
      expectOnly(host, port, "wheel");
      EXPECT_EQ(host.sent.size(), 3u);
      host.sent.clear();
      host.click();
      host.click();
      expectOnly(host, port, "double-click");
      EXPECT_EQ(last(host), f.deflt);
    } else if (f.kind == PortKind::Toggle) {
      const float before = host.sent.empty() ? f.deflt : last(host);
      host.click();
      expectOnly(host, port, "click");
      EXPECT_EQ(last(host), before > 0.5f ? 0.0f : 1.0f);
      host.sent.clear();
      usleep(450000);  // two separate clicks, not a double-click
      host.click();
      expectOnly(host, port, "click back");
      EXPECT_EQ(last(host), before > 0.5f ? 1.0f : 0.0f);
    } else {
      // Right half steps up, left half down, and the wheel too; never past the ends.
      for (int i = 0; i < 6; ++i) {
        host.move(w.box.x + 0.9 * w.box.w, y);
        host.click();
      }
      expectOnly(host, port, "right half");
      EXPECT_EQ(last(host), f.maximum);
      host.sent.clear();
      host.move(w.box.x + 0.1 * w.box.w, y);
      host.click();
      host.click(5);
      expectOnly(host, port, "left half and wheel");
      EXPECT_EQ(last(host), f.maximum - 2.0f);
    }
    host.sent.clear();
  }
  // The plot and the gaps between controls write nothing.
  host.move(l.plot.cx(), l.plot.cy());
  host.click();
  host.click(4);
  EXPECT_TRUE(host.sent.empty());
}

TEST_F(UiHostTest, HostChangesShowWithinOneIdleAndAreNotEchoed) {
  // The host's rate and scale factor as options: the drawing must be the
  // view's for that rate, at that scale.
  const double rate = 96000.0;
  ASSERT_TRUE(host.open(static_cast<float>(rate), 1.5f));
  int w = 0;
  int h = 0;
  preferredSize(1.5, &w, &h);
  EXPECT_EQ(host.width, w);
  EXPECT_EQ(host.height, h);
  host.move(host.width + 50, host.height + 50);  // pointer off the UI: nothing lit

  float values[kPortCount];
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    values[p] = kPorts[p].deflt;
  }
  EXPECT_EQ(differing(host.pixels(), expected(host, rate, values)), 0u);

  // A preset's worth of changes, then exactly one idle.
  const struct {
    std::uint32_t port;
    float value;
  } changes[] = {{kPortLevelDb, -7.5f},       {kPortHumOn, 1.0f},      {kPortHum50Hz, 1.0f},
                 {kPortPickupOn, 1.0f},       {kPortPickupType, 2.0f}, {kPortPickupAmount, 0.6f},
                 {kPortLowpassAmount, 0.35f}, {kPortBoostOn, 1.0f},    {kPortBoostDb, -4.0f}};
  for (const auto& c : changes) {
    host.event(c.port, c.value);
    values[c.port] = c.value;
  }
  host.idle();
  XSync(host.display(), False);
  EXPECT_EQ(differing(host.pixels(), expected(host, rate, values)), 0u);
  host.event(kPortEnabled, 0.0f);  // bypass
  values[kPortEnabled] = 0.0f;
  host.idle();
  XSync(host.display(), False);
  EXPECT_EQ(differing(host.pixels(), expected(host, rate, values)), 0u);
  EXPECT_TRUE(host.sent.empty()) << "a UI that echoes the host's values back loops with it";
}

TEST_F(UiHostTest, HundredOpenCloseCyclesLeaveNothingBehind) {
  ASSERT_TRUE(host.open(44100.0f, 1.0f));  // the first open loads fonts and caches for good
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

TEST_F(UiHostTest, HiddenOrOrphanedUiKeepsTheHostAlive) {
  ASSERT_TRUE(host.open(48000.0f, 1.0f));
  // Hidden: the host unmaps its window; changes still arrive.
  XUnmapWindow(host.display(), host.window);
  XSync(host.display(), False);
  host.event(kPortLevelDb, 3.0f);
  EXPECT_EQ(host.idle(), 0);
  XMapWindow(host.display(), host.window);
  host.settle();
  // Orphaned: the host destroys the UI's window (as it would with its
  // parent) before calling cleanup.
  XDestroyWindow(host.display(), host.window);
  XSync(host.display(), False);
  host.event(kPortLevelDb, 6.0f);
  int asked = 0;
  for (int i = 0; i < 20 && asked == 0; ++i) {
    asked = host.idle();
    usleep(2000);
  }
  EXPECT_NE(asked, 0) << "idle should ask the host to close a UI whose window is gone";
  host.close();
  // A parent that does not exist: no UI, and the host lives on.
  EXPECT_EQ(host.openInBadParent(), nullptr);
}

}  // namespace
