// The UI's view drawn off screen, as the UI module draws its window, for the
// real-host test and the README screenshot's check.
// Usage: ui_render WIDTH HEIGHT SCALE RATE layout          (each control's box)
//        ui_render WIDTH HEIGHT SCALE RATE png OUT.png [SYMBOL=VALUE...]
//        ui_render WIDTH HEIGHT SCALE RATE presets DIR [SYMBOL=VALUE...]
//                  (DIR/N.png and its preset, a line each; the values, meters
//                  say, over every preset's)
#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "factory_presets.h"
#include "view.h"

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s WIDTH HEIGHT SCALE RATE layout|png|presets ...\n", argv[0]);
    return 2;
  }
  const int w = std::atoi(argv[1]);
  const int h = std::atoi(argv[2]);
  const Layout layout = layoutFor(w, h, std::atof(argv[3]));
  auto render = [&](const Setting& s, const std::string& path) {
    UiModel model(std::atof(argv[4]));
    for (std::uint32_t p = 0; p < kPortCount; ++p) {
      model.hostEvent(p, sizeof(float), 0, &s.values[p]);  // as a host relays it, meters too
    }
    cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_t* cr = cairo_create(img);
    drawView(cr, layout, model, ViewState{});
    cairo_destroy(cr);
    const bool ok = cairo_surface_write_to_png(img, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(img);
    return ok;
  };
  // SYMBOL=VALUE arguments from argv[first] on, over s's values.
  auto apply = [&](Setting& s, int first) {
    for (int i = first; i < argc; ++i) {
      const char* eq = std::strchr(argv[i], '=');
      const std::uint32_t p =
          eq ? portBySymbol(std::string(argv[i], static_cast<std::size_t>(eq - argv[i])).c_str())
             : kPortCount;
      if (p == kPortCount) {
        std::fprintf(stderr, "not SYMBOL=VALUE: %s\n", argv[i]);
        return false;
      }
      s.values[p] = std::strtof(eq + 1, nullptr);
    }
    return true;
  };
  const std::string mode = argv[5];
  if (mode == "layout") {
    for (const Widget& b : layout.widgets) {
      std::printf("%s %.1f %.1f %.1f %.1f\n", kPorts[b.port].symbol, b.box.x, b.box.y, b.box.w,
                  b.box.h);
    }
    return 0;
  }
  if (mode == "png" && argc >= 7) {
    Setting s = defaultSetting("");
    if (!apply(s, 7)) {
      return 2;
    }
    return render(s, argv[6]) ? 0 : 1;
  }
  if (mode == "presets" && argc >= 7) {
    std::vector<Setting> presets = factoryPresets();
    for (std::size_t i = 0; i < presets.size(); ++i) {
      const std::string path = std::string(argv[6]) + "/" + std::to_string(i) + ".png";
      if (!apply(presets[i], 7)) {
        return 2;
      }
      if (!render(presets[i], path)) {
        return 1;
      }
      std::printf("%s %s\n", path.c_str(), presets[i].name.c_str());
    }
    return presets.empty() ? 1 : 0;
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
