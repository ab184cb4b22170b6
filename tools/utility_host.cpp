// Reference host: loads the plug-in module with dlopen, as an LV2 host does,
// and runs a mono WAV file through it with fixed controls.
//
//   utility_host PLUGIN.so IN.wav OUT.wav [-b BLOCK] [--in-place]
//                [-c SYMBOL=VALUE]... [-u SYMBOL]...
//
// Controls not given take the bundle's defaults; -u leaves an optional port
// unconnected.
#include <dlfcn.h>
#include <lv2/core/lv2.h>
#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ports.h"

namespace {

// Same defaults as the bundle.
constexpr float kDefaults[kPortCount] = {0, 0, 0, 0, 0, 0, 1, 0, 0, 6, 0, 0, 1};

int portBySymbol(const std::string& sym) {
  for (std::uint32_t i = 0; i < kPortCount; ++i) {
    if (sym == kPortInfo[i].symbol) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int usage() {
  std::fprintf(stderr,
               "usage: utility_host PLUGIN.so IN.wav OUT.wav [-b BLOCK] [--in-place]\n"
               "                    [-c SYMBOL=VALUE]... [-u SYMBOL]...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    return usage();
  }
  const char* soPath = argv[1];
  const char* inPath = argv[2];
  const char* outPath = argv[3];
  std::size_t block = 256;
  bool inPlace = false;
  float controls[kPortCount];
  bool connected[kPortCount];
  for (std::uint32_t i = 0; i < kPortCount; ++i) {
    controls[i] = kDefaults[i];
    connected[i] = true;
  }
  for (int a = 4; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--in-place") {
      inPlace = true;
    } else if (arg == "-b" && a + 1 < argc) {
      block = std::strtoul(argv[++a], nullptr, 10);
    } else if ((arg == "-c" || arg == "-u") && a + 1 < argc) {
      const std::string setting = argv[++a];
      const std::size_t eq = setting.find('=');
      const int port = portBySymbol(arg == "-c" ? setting.substr(0, eq) : setting);
      if (port < 2 || (arg == "-c" && eq == std::string::npos)) {
        std::fprintf(stderr, "utility_host: bad control '%s'\n", setting.c_str());
        return 2;
      }
      if (arg == "-c") {
        controls[port] = std::strtof(setting.c_str() + eq + 1, nullptr);
      } else {
        if (!kPortInfo[port].optional) {
          std::fprintf(stderr, "utility_host: port '%s' must be connected\n", setting.c_str());
          return 2;
        }
        connected[port] = false;
      }
    } else {
      return usage();
    }
  }
  if (block == 0) {
    block = 1;
  }

  SF_INFO info{};
  SNDFILE* in = sf_open(inPath, SFM_READ, &info);
  if (in == nullptr) {
    std::fprintf(stderr, "utility_host: %s: %s\n", inPath, sf_strerror(nullptr));
    return 1;
  }
  std::vector<float> frames(static_cast<std::size_t>(info.frames) *
                            static_cast<std::size_t>(info.channels));
  sf_readf_float(in, frames.data(), info.frames);
  sf_close(in);
  const std::size_t n = static_cast<std::size_t>(info.frames);
  std::vector<float> audioIn(n);
  for (std::size_t i = 0; i < n; ++i) {
    audioIn[i] = frames[i * static_cast<std::size_t>(info.channels)];
  }

  void* lib = dlopen(soPath, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "utility_host: %s\n", dlerror());
    return 1;
  }
  auto getDescriptor = reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor"));
  const LV2_Descriptor* d = getDescriptor != nullptr ? getDescriptor(0) : nullptr;
  if (d == nullptr) {
    std::fprintf(stderr, "utility_host: no descriptor in %s\n", soPath);
    return 1;
  }
  const LV2_Feature* features[] = {nullptr};
  LV2_Handle h = d->instantiate(d, info.samplerate, "", features);
  if (h == nullptr) {
    std::fprintf(stderr, "utility_host: instantiate failed\n");
    return 1;
  }
  std::vector<float> bufIn(block);
  std::vector<float> bufOut(block);
  d->connect_port(h, kPortIn, bufIn.data());
  d->connect_port(h, kPortOut, inPlace ? bufIn.data() : bufOut.data());
  for (std::uint32_t p = 2; p < kPortCount; ++p) {
    d->connect_port(h, p, connected[p] ? &controls[p] : nullptr);
  }
  std::vector<float> audioOut(n);
  for (std::size_t pos = 0; pos < n; pos += block) {
    const std::size_t len = (n - pos < block) ? n - pos : block;
    std::memcpy(bufIn.data(), audioIn.data() + pos, len * sizeof(float));
    d->run(h, static_cast<std::uint32_t>(len));
    std::memcpy(audioOut.data() + pos, inPlace ? bufIn.data() : bufOut.data(), len * sizeof(float));
  }
  d->cleanup(h);
  dlclose(lib);

  SF_INFO outInfo{};
  outInfo.samplerate = info.samplerate;
  outInfo.channels = 1;
  outInfo.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* out = sf_open(outPath, SFM_WRITE, &outInfo);
  if (out == nullptr) {
    std::fprintf(stderr, "utility_host: %s: %s\n", outPath, sf_strerror(nullptr));
    return 1;
  }
  sf_writef_float(out, audioOut.data(), static_cast<sf_count_t>(n));
  sf_close(out);
  return 0;
}
