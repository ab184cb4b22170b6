// Draws the UI's view off screen, as the UI module draws its window, for the
// real-host test and the README's screenshot check: the layout's control
// boxes, and PNGs of given settings or of every factory preset.
// Usage: ui_render WIDTH HEIGHT SCALE RATE layout
//        ui_render WIDTH HEIGHT SCALE RATE png OUT.png [SYMBOL=VALUE...]
//        ui_render WIDTH HEIGHT SCALE RATE presets OUT_DIR   (OUT_DIR/N.png, names on stdout)
#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "factory_presets.h"
#include "view.h"

namespace {

bool render(int w, int h, double scale, double rate, const float* values, const char* path) {
  UiModel model(rate);
  for (std::uint32_t p = 0; p < kPortCount; ++p) {
    model.set(p, values[p]);
  }
  cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  cairo_t* cr = cairo_create(img);
  drawView(cr, layoutFor(w, h, scale), model, ViewState{});
  cairo_destroy(cr);
  const bool ok = cairo_surface_write_to_png(img, path) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(img);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s WIDTH HEIGHT SCALE RATE layout|png|presets ...\n", argv[0]);
    return 2;
  }
  const int w = std::atoi(argv[1]);
  const int h = std::atoi(argv[2]);
  const double scale = std::atof(argv[3]);
  const double rate = std::atof(argv[4]);
  const std::string mode = argv[5];
  if (mode == "layout") {
    for (const Widget& wd : layoutFor(w, h, scale).widgets) {
      std::printf("%s %.1f %.1f %.1f %.1f\n", kPorts[wd.port].symbol, wd.box.x, wd.box.y, wd.box.w,
                  wd.box.h);
    }
    return 0;
  }
  if (mode == "png" && argc >= 7) {
    Setting s = defaultSetting("");
    for (int i = 7; i < argc; ++i) {
      const char* eq = std::strchr(argv[i], '=');
      const std::uint32_t port =
          eq != nullptr
              ? portBySymbol(std::string(argv[i], static_cast<std::size_t>(eq - argv[i])).c_str())
              : kPortCount;
      if (port == kPortCount) {
        std::fprintf(stderr, "not SYMBOL=VALUE: %s\n", argv[i]);
        return 2;
      }
      s.values[port] = std::strtof(eq + 1, nullptr);
    }
    return render(w, h, scale, rate, s.values, argv[6]) ? 0 : 1;
  }
  if (mode == "presets" && argc == 7) {
    int n = 0;
    for (const Setting& s : factoryPresets()) {
      const std::string path = std::string(argv[6]) + "/" + std::to_string(n++) + ".png";
      if (!render(w, h, scale, rate, s.values, path.c_str())) {
        return 1;
      }
      std::printf("%s %s\n", path.c_str(), s.name.c_str());
    }
    return n > 0 ? 0 : 1;
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
