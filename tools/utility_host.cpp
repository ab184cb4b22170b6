// Reference host: loads the plug-in module with dlopen, as an LV2 host does,
// and runs a mono WAV file through it with fixed controls.
//
//   utility_host PLUGIN.so IN.wav OUT.wav [-b BLOCK] [--in-place]
//                [-c SYMBOL=VALUE]... [-u SYMBOL]... [-m METERS.csv]
//   utility_host --ports
//
// Controls not given take the bundle's defaults; -u leaves an optional port
// unconnected; -m writes the control outputs after every block, one line a
// block: the time at the block's end, in seconds, then each output's value.
// --ports prints the module's table of port facts as JSON, for scripts that
// need them.
#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugin_loader.h"
#include "ports.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: utility_host PLUGIN.so IN.wav OUT.wav [-b BLOCK] [--in-place]\n"
               "                    [-c SYMBOL=VALUE]... [-u SYMBOL]... [-m METERS.csv]\n"
               "       utility_host --ports\n");
  return 2;
}

const char* kindName(PortKind k) {
  switch (k) {
    case PortKind::AudioIn:
      return "audio-in";
    case PortKind::AudioOut:
      return "audio-out";
    case PortKind::Toggle:
      return "toggle";
    case PortKind::Choice:
      return "choice";
    case PortKind::Meter:
      return "meter";
    default:
      return "control";
  }
}

// Symbols, names and labels are plain ASCII without quotes or backslashes.
void printPorts() {
  std::printf("[\n");
  for (std::uint32_t i = 0; i < kPortCount; ++i) {
    const PortFacts& p = kPorts[i];
    std::printf("  {\"index\": %u, \"symbol\": \"%s\", \"name\": \"%s\", \"kind\": \"%s\", ", i,
                p.symbol, p.name, kindName(p.kind));
    std::printf("\"minimum\": %.9g, \"maximum\": %.9g, \"default\": %.9g, ",
                static_cast<double>(p.minimum), static_cast<double>(p.maximum),
                static_cast<double>(p.deflt));
    std::printf("\"unit\": %s%s%s, \"optional\": %s, \"points\": [", p.unit ? "\"" : "",
                p.unit ? p.unit : "null", p.unit ? "\"" : "", p.optional ? "true" : "false");
    for (std::uint32_t j = 0; j < p.pointCount; ++j) {
      std::printf("%s[%.9g, \"%s\"]", j > 0 ? ", " : "", static_cast<double>(p.points[j].value),
                  p.points[j].label);
    }
    std::printf("]}%s\n", i + 1 < kPortCount ? "," : "");
  }
  std::printf("]\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--ports") == 0) {
    printPorts();
    return 0;
  }
  if (argc < 4) {
    return usage();
  }
  const char* soPath = argv[1];
  const char* inPath = argv[2];
  const char* outPath = argv[3];
  std::size_t block = 256;
  bool inPlace = false;
  const char* metersPath = nullptr;
  float controls[kPortCount];
  bool connected[kPortCount];
  for (std::uint32_t i = 0; i < kPortCount; ++i) {
    controls[i] = kPorts[i].deflt;
    connected[i] = true;
  }
  for (int a = 4; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--in-place") {
      inPlace = true;
    } else if (arg == "-m" && a + 1 < argc) {
      metersPath = argv[++a];
    } else if (arg == "-b" && a + 1 < argc) {
      block = std::strtoul(argv[++a], nullptr, 10);
    } else if ((arg == "-c" || arg == "-u") && a + 1 < argc) {
      const std::string setting = argv[++a];
      const std::size_t eq = setting.find('=');
      const std::uint32_t port =
          portBySymbol((arg == "-c" ? setting.substr(0, eq) : setting).c_str());
      if (port < 2 || port >= kPortCount || (arg == "-c" && eq == std::string::npos) ||
          (arg == "-c" && kPorts[port].output())) {
        std::fprintf(stderr, "utility_host: bad control '%s'\n", setting.c_str());
        return 2;
      }
      if (arg == "-c") {
        controls[port] = std::strtof(setting.c_str() + eq + 1, nullptr);
      } else {
        if (!kPorts[port].optional) {
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

  const PluginModule module(soPath);
  const LV2_Descriptor* d = module.loaded() ? module.descriptor(0) : nullptr;
  if (d == nullptr) {
    std::fprintf(stderr, "utility_host: cannot load %s: %s\n", soPath, module.error());
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
  FILE* meters = nullptr;
  if (metersPath != nullptr) {
    meters = std::fopen(metersPath, "w");
    if (meters == nullptr) {
      std::fprintf(stderr, "utility_host: cannot write %s\n", metersPath);
      d->cleanup(h);
      return 1;
    }
  }
  std::vector<float> audioOut(n);
  for (std::size_t pos = 0; pos < n; pos += block) {
    const std::size_t len = (n - pos < block) ? n - pos : block;
    std::memcpy(bufIn.data(), audioIn.data() + pos, len * sizeof(float));
    d->run(h, static_cast<std::uint32_t>(len));
    std::memcpy(audioOut.data() + pos, inPlace ? bufIn.data() : bufOut.data(), len * sizeof(float));
    if (meters != nullptr) {
      std::fprintf(meters, "%.6f", static_cast<double>(pos + len) / info.samplerate);
      for (std::uint32_t p = 2; p < kPortCount; ++p) {
        if (kPorts[p].kind == PortKind::Meter) {
          std::fprintf(meters, ",%.9g", static_cast<double>(controls[p]));
        }
      }
      std::fprintf(meters, "\n");
    }
  }
  if (meters != nullptr) {
    std::fclose(meters);
  }
  d->cleanup(h);

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
