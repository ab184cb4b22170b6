// Times run() of other makers' LV2 equalisers beside ours in one process, on
// mono noise at 48 kHz, and prints ns per sample and the ratio to ours.
// Peers are found through lilv (LV2_PATH, else the default folders) and set
// so that a comparable number of filter sections runs; ours is loaded from
// its module path so that two builds can be compared.
//
//   bench_peers [--plugin=[NAME=]PATH]... [--blocks=256,64] [--rounds=N]
//               [--samples=N] [--ours-only]
//
// Every round times each instance once, in an order that rotates between
// rounds, so that all of them share the machine's noise; the figure is the
// median over rounds of thread CPU time.
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/urid/urid.h>
#include <time.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench_common.h"

namespace {

// ---- Host side: the features the peers ask for.

class UridTable {
 public:
  LV2_URID map(const char* uri) {
    for (std::size_t i = 0; i < uris_.size(); ++i) {
      if (uris_[i] == uri) {
        return static_cast<LV2_URID>(i + 1);
      }
    }
    uris_.emplace_back(uri);
    return static_cast<LV2_URID>(uris_.size());
  }
  const char* unmap(LV2_URID id) const {
    return id >= 1 && id <= uris_.size() ? uris_[id - 1].c_str() : nullptr;
  }
  static LV2_URID mapFn(LV2_URID_Map_Handle h, const char* uri) {
    return static_cast<UridTable*>(h)->map(uri);
  }
  static const char* unmapFn(LV2_URID_Unmap_Handle h, LV2_URID id) {
    return static_cast<const UridTable*>(h)->unmap(id);
  }

 private:
  std::deque<std::string> uris_;  // a deque keeps unmapped strings in place
};

class HostFeatures {
 public:
  explicit HostFeatures(std::uint32_t nominalBlock)
      : nominalBlock_(static_cast<int32_t>(nominalBlock)) {
    map_ = {&urids_, &UridTable::mapFn};
    unmap_ = {&urids_, &UridTable::unmapFn};
    const LV2_URID atomInt = urids_.map(LV2_ATOM__Int);
    const LV2_URID atomFloat = urids_.map(LV2_ATOM__Float);
    options_ = {
        {LV2_OPTIONS_INSTANCE, 0, urids_.map(LV2_BUF_SIZE__minBlockLength), sizeof(int32_t),
         atomInt, &minBlock_},
        {LV2_OPTIONS_INSTANCE, 0, urids_.map(LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t),
         atomInt, &maxBlock_},
        {LV2_OPTIONS_INSTANCE, 0, urids_.map(LV2_BUF_SIZE__nominalBlockLength), sizeof(int32_t),
         atomInt, &nominalBlock_},
        {LV2_OPTIONS_INSTANCE, 0, urids_.map(LV2_PARAMETERS__sampleRate), sizeof(float), atomFloat,
         &rate_},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr},
    };
    features_ = {
        {LV2_URID__map, &map_},
        {LV2_URID__unmap, &unmap_},
        {LV2_OPTIONS__options, options_.data()},
        {LV2_BUF_SIZE__boundedBlockLength, nullptr},
    };
    for (const LV2_Feature& f : features_) {
      list_.push_back(&f);
    }
    list_.push_back(nullptr);
  }
  HostFeatures(const HostFeatures&) = delete;
  HostFeatures& operator=(const HostFeatures&) = delete;

  const LV2_Feature* const* list() const { return list_.data(); }
  LV2_URID map(const char* uri) { return urids_.map(uri); }
  bool provides(const char* uri) const {
    // Properties of a plug-in that some list among required features.
    if (std::strcmp(uri, LV2_CORE__hardRTCapable) == 0 || std::strcmp(uri, LV2_CORE__isLive) == 0) {
      return true;
    }
    for (const LV2_Feature& f : features_) {
      if (std::strcmp(f.URI, uri) == 0) {
        return true;
      }
    }
    return false;
  }

 private:
  UridTable urids_;
  LV2_URID_Map map_{};
  LV2_URID_Unmap unmap_{};
  int32_t minBlock_ = 1;
  int32_t maxBlock_ = static_cast<int32_t>(bench::kNoiseLength);
  int32_t nominalBlock_;
  float rate_ = static_cast<float>(bench::kRate);
  std::vector<LV2_Options_Option> options_;
  std::vector<LV2_Feature> features_;
  std::vector<const LV2_Feature*> list_;
};

// ---- What is timed.

class Subject {
 public:
  Subject(std::string label, std::string what, int sections)
      : label_(std::move(label)), what_(std::move(what)), sections_(sections) {}
  virtual ~Subject() = default;
  Subject(const Subject&) = delete;
  Subject& operator=(const Subject&) = delete;

  virtual void run(const float* in, float* out, std::uint32_t n) = 0;

  const std::string& label() const { return label_; }
  const std::string& what() const { return what_; }
  int sections() const { return sections_; }
  std::vector<double>& times() { return times_; }
  std::uint32_t pos = 0;  // where this instance reads the noise ring

 private:
  std::string label_;
  std::string what_;
  int sections_;
  std::vector<double> times_;  // ns per sample, one per round
};

class OursSubject : public Subject {
 public:
  OursSubject(const bench::ModuleArg& m, const bench::StageConfig& c)
      : Subject(m.name + " " + c.name,
                std::string(c.sections > 0 ? "every stage, voicing 1" : "every stage off"),
                c.sections),
        module_(m.path.c_str()) {
    if (module_.loaded()) {
      instance_ = std::make_unique<PluginInstance>(module_, bench::kRate);
      if (instance_->ok()) {
        bench::applyStageConfig(*instance_, c);
      }
    }
  }
  bool ok() const { return instance_ != nullptr && instance_->ok(); }
  void run(const float* in, float* out, std::uint32_t n) override { instance_->run(in, out, n); }

 private:
  PluginModule module_;
  std::unique_ptr<PluginInstance> instance_;
};

class LilvSubject : public Subject {
 public:
  using Subject::Subject;
  ~LilvSubject() override {
    if (instance_ != nullptr) {
      lilv_instance_deactivate(instance_);
      lilv_instance_free(instance_);
    }
  }

  // Returns an empty string on success, else why the peer cannot be timed.
  std::string create(LilvWorld* world, const LilvPlugin* plugin,
                     const std::vector<std::pair<std::string, float>>& settings,
                     HostFeatures& host) {
    LilvNodes* required = lilv_plugin_get_required_features(plugin);
    std::string missing;
    LILV_FOREACH(nodes, i, required) {
      const char* uri = lilv_node_as_uri(lilv_nodes_get(required, i));
      if (!host.provides(uri)) {
        missing += std::string(missing.empty() ? "" : ", ") + uri;
      }
    }
    lilv_nodes_free(required);
    if (!missing.empty()) {
      return "needs features this host lacks: " + missing;
    }

    const std::uint32_t n = lilv_plugin_get_num_ports(plugin);
    controls_.assign(n, 0.0f);
    std::vector<float> mins(n), maxs(n), defs(n);
    lilv_plugin_get_port_ranges_float(plugin, mins.data(), maxs.data(), defs.data());
    LilvNode* audio = lilv_new_uri(world, LV2_CORE__AudioPort);
    LilvNode* control = lilv_new_uri(world, LV2_CORE__ControlPort);
    LilvNode* atom = lilv_new_uri(world, LV2_ATOM__AtomPort);
    LilvNode* input = lilv_new_uri(world, LV2_CORE__InputPort);
    LilvNode* optional = lilv_new_uri(world, LV2_CORE__connectionOptional);
    std::string why;
    std::vector<void*> where(n, nullptr);
    int audioIns = 0;
    int audioOuts = 0;
    for (std::uint32_t p = 0; p < n && why.empty(); ++p) {
      const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
      const bool isInput = lilv_port_is_a(plugin, port, input);
      if (lilv_port_is_a(plugin, port, audio)) {
        (isInput ? audioIn_ : audioOut_) = p;
        ++(isInput ? audioIns : audioOuts);
      } else if (lilv_port_is_a(plugin, port, control)) {
        float v = defs[p];
        if (std::isnan(v)) {
          v = std::isnan(mins[p]) ? 0.0f : mins[p];
        }
        controls_[p] = v;
        where[p] = &controls_[p];
      } else if (lilv_port_is_a(plugin, port, atom)) {
        atoms_.emplace_back(kAtomCapacity / sizeof(std::uint64_t), 0);
        auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(atoms_.back().data());
        if (isInput) {
          seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
          seq->atom.type = host.map(LV2_ATOM__Sequence);
        } else {
          atomOuts_.push_back(seq);
        }
        where[p] = seq;
      } else if (!lilv_port_has_property(plugin, port, optional)) {
        why = "port " + std::to_string(p) + " has a type this host does not drive";
      }
    }
    lilv_node_free(audio);
    lilv_node_free(control);
    lilv_node_free(atom);
    lilv_node_free(input);
    lilv_node_free(optional);
    if (!why.empty()) {
      return why;
    }
    if (audioIns != 1 || audioOuts != 1) {
      return "not mono (" + std::to_string(audioIns) + " audio inputs, " +
             std::to_string(audioOuts) + " outputs)";
    }
    for (const auto& s : settings) {
      LilvNode* sym = lilv_new_string(world, s.first.c_str());
      const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin, sym);
      lilv_node_free(sym);
      if (port == nullptr) {
        return "has no port '" + s.first + "' (another version?)";
      }
      controls_[lilv_port_get_index(plugin, port)] = s.second;
    }
    atomChunk_ = host.map(LV2_ATOM__Chunk);

    instance_ = lilv_plugin_instantiate(plugin, bench::kRate, host.list());
    if (instance_ == nullptr) {
      return "instantiate failed";
    }
    for (std::uint32_t p = 0; p < n; ++p) {
      lilv_instance_connect_port(instance_, p, where[p]);
    }
    lilv_instance_activate(instance_);
    d_ = lilv_instance_get_descriptor(instance_);
    h_ = lilv_instance_get_handle(instance_);
    return "";
  }

  void run(const float* in, float* out, std::uint32_t n) override {
    // A host hands each output sequence back empty with its full capacity.
    for (LV2_Atom_Sequence* seq : atomOuts_) {
      seq->atom.size = kAtomCapacity - sizeof(LV2_Atom);
      seq->atom.type = atomChunk_;
    }
    d_->connect_port(h_, audioIn_, const_cast<float*>(in));
    d_->connect_port(h_, audioOut_, out);
    d_->run(h_, n);
  }

 private:
  static constexpr std::uint32_t kAtomCapacity = 8192;
  LilvInstance* instance_ = nullptr;
  const LV2_Descriptor* d_ = nullptr;
  LV2_Handle h_ = nullptr;
  std::vector<float> controls_;
  std::vector<std::vector<std::uint64_t>> atoms_;
  std::vector<LV2_Atom_Sequence*> atomOuts_;
  LV2_URID atomChunk_ = 0;
  std::uint32_t audioIn_ = 0;
  std::uint32_t audioOut_ = 0;
};

// ---- The peers and how each is set.

struct PeerSetup {
  const char* label;
  const char* uri;
  const char* package;
  int sections;
  const char* what;
  std::vector<std::pair<std::string, float>> settings;
};

std::vector<PeerSetup> peerSetups() {
  std::vector<PeerSetup> peers;

  // Thirteen bells, one second-order section each (bilinear RLC, slope x1),
  // as many sections as our full chain; the other three bands stay off.
  PeerSetup lsp{"LSP Para EQ x16 Mono", "http://lsp-plug.in/plugins/lv2/para_equalizer_x16_mono",
                "lsp-plugins-lv2",      13,
                "13 bells, IIR",        {{"mode", 0.0f}}};
  const float bellHz[13] = {60, 90, 130, 190, 280, 400, 580, 850, 1250, 1800, 2600, 3800, 5500};
  for (int k = 0; k < 16; ++k) {
    const std::string n = std::to_string(k);
    const bool on = k < 13;
    lsp.settings.push_back({"ft_" + n, on ? 1.0f : 0.0f});
    if (on) {
      lsp.settings.push_back({"fm_" + n, 0.0f});
      lsp.settings.push_back({"s_" + n, 0.0f});
      lsp.settings.push_back({"f_" + n, bellHz[k]});
      lsp.settings.push_back({"g_" + n, k % 2 == 0 ? 2.0f : 0.5f});  // +-6 dB, linear
      lsp.settings.push_back({"q_" + n, 1.5f});
    }
  }
  peers.push_back(lsp);

  peers.push_back({"ZamEQ2",
                   "urn:zamaudio:ZamEQ2",
                   "zam-plugins",
                   4,
                   "2 peaks, 2 shelves",
                   {{"boost1", 6.0f}, {"boost2", -6.0f}, {"boostl", 3.0f}, {"boosth", -3.0f}}});

  peers.push_back({"a-EQ",
                   "urn:ardour:a-eq",
                   "ardour-lv2-plugins",
                   6,
                   "4 bells, 2 shelves",
                   {{"enable", 1.0f},
                    {"gl", 3.0f},
                    {"g1", 6.0f},
                    {"g2", -6.0f},
                    {"g3", 4.0f},
                    {"g4", -4.0f},
                    {"gh", -3.0f},
                    {"filtogl", 1.0f},
                    {"filtog1", 1.0f},
                    {"filtog2", 1.0f},
                    {"filtog3", 1.0f},
                    {"filtog4", 1.0f},
                    {"filtogh", 1.0f}}});

  peers.push_back({"x42 fil4 mono",
                   "http://gareus.org/oss/lv2/fil4#mono",
                   "x42-plugins",
                   8,
                   "HP, LP, 2 shelves, 4 bells",
                   {{"enable", 1.0f},
                    {"HighPass", 1.0f},
                    {"HPfreq", 40.0f},
                    {"LowPass", 1.0f},
                    {"LPfreq", 12000.0f},
                    {"LSsec", 1.0f},
                    {"LSgain", 3.0f},
                    {"sec1", 1.0f},
                    {"gain1", 6.0f},
                    {"sec2", 1.0f},
                    {"gain2", -6.0f},
                    {"sec3", 1.0f},
                    {"gain3", 4.0f},
                    {"sec4", 1.0f},
                    {"gain4", -4.0f},
                    {"HSsec", 1.0f},
                    {"HSgain", -3.0f}}});

  peers.push_back({"eg-amp",
                   "http://lv2plug.in/plugins/eg-amp",
                   "lv2-examples",
                   0,
                   "LV2 example gain",
                   {{"gain", -3.0f}}});
  return peers;
}

// ---- Timing.

double threadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// Threads of this process: work a plug-in hands to a thread of its own would
// escape the thread CPU time measured here.
int threadCount() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  int n = 0;
  if (f != nullptr) {
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::sscanf(line, "Threads: %d", &n) == 1) {
        break;
      }
    }
    std::fclose(f);
  }
  return n;
}

// Level of one ring's worth of output against its input, in dB: shows that
// each instance really filters (a bypassed one reads exactly 0.00).
double outputGainDb(Subject& s, const std::vector<float>& ring, std::vector<float>& out,
                    std::uint32_t block, bool& finite) {
  double sumIn = 0.0;
  double sumOut = 0.0;
  finite = true;
  for (std::uint32_t pos = 0; pos < bench::kNoiseLength; pos += block) {
    s.run(ring.data() + pos, out.data() + pos, block);
  }
  for (std::uint32_t i = 0; i < bench::kNoiseLength; ++i) {
    const double x = static_cast<double>(ring[i]);
    const double y = static_cast<double>(out[i]);
    finite = finite && std::isfinite(y);
    sumIn += x * x;
    sumOut += y * y;
  }
  return 10.0 * std::log10(sumOut / sumIn);
}

// Runs `samples` samples (whole blocks) through s; returns ns per sample.
double timeChunk(Subject& s, const std::vector<float>& ring, std::vector<float>& out,
                 std::uint32_t block, std::uint32_t samples) {
  const std::uint32_t calls = std::max<std::uint32_t>(1, samples / block);
  const double t0 = threadCpuNs();
  for (std::uint32_t c = 0; c < calls; ++c) {
    s.run(ring.data() + s.pos, out.data(), block);
    s.pos += block;
    if (s.pos == bench::kNoiseLength) {
      s.pos = 0;
    }
  }
  const double t1 = threadCpuNs();
  return (t1 - t0) / (static_cast<double>(calls) * block);
}

struct Options {
  std::vector<std::uint32_t> blocks{256, 64};
  int rounds = 15;
  std::uint32_t samples = 1u << 18;
  bool oursOnly = false;
};

std::uint32_t parsePositive(const std::string& s, const char* what) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(s.c_str(), &end, 10);
  if (end == s.c_str() || *end != '\0' || v == 0 || v > (1ul << 30)) {
    std::fprintf(stderr, "bench_peers: bad %s '%s'\n", what, s.c_str());
    std::exit(2);
  }
  return static_cast<std::uint32_t>(v);
}

Options parseOptions(int& argc, char** argv) {
  Options o;
  std::string v;
  if (bench::takeArg(argc, argv, "blocks", v)) {
    o.blocks.clear();
    std::size_t start = 0;
    while (start <= v.size()) {
      const std::size_t comma = std::min(v.find(',', start), v.size());
      const std::uint32_t b = parsePositive(v.substr(start, comma - start), "block size");
      if (bench::kNoiseLength % b != 0) {
        std::fprintf(stderr, "bench_peers: block size must divide %u\n", bench::kNoiseLength);
        std::exit(2);
      }
      o.blocks.push_back(b);
      start = comma + 1;
    }
  }
  if (bench::takeArg(argc, argv, "rounds", v)) {
    o.rounds = static_cast<int>(parsePositive(v, "round count"));
  }
  if (bench::takeArg(argc, argv, "samples", v)) {
    o.samples = parsePositive(v, "sample count");
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ours-only") == 0) {
      o.oursOnly = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--plugin=[NAME=]PATH]... [--blocks=256,64] [--rounds=N] "
                   "[--samples=N] [--ours-only]\n",
                   argv[0]);
      std::exit(2);
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<bench::ModuleArg> modules = bench::takePluginArgs(argc, argv);
  const Options opt = parseOptions(argc, argv);

  LilvWorld* world = lilv_world_new();
  lilv_world_load_all(world);
  const LilvPlugins* all = lilv_world_get_all_plugins(world);
  const std::vector<PeerSetup> setups = peerSetups();
  const std::vector<float> ring = bench::noise();
  std::vector<float> out(bench::kNoiseLength);
  int status = 0;

  for (std::size_t bi = 0; bi < opt.blocks.size(); ++bi) {
    const std::uint32_t block = opt.blocks[bi];
    const bool first = bi == 0;
    HostFeatures host(block);
    std::vector<std::unique_ptr<Subject>> subjects;
    for (const bench::ModuleArg& m : modules) {
      for (const char* config : {"full", "off"}) {
        auto s = std::make_unique<OursSubject>(m, *bench::findStageConfig(config));
        if (!s->ok()) {
          std::fprintf(stderr, "bench_peers: cannot load or instantiate %s\n", m.path.c_str());
          return 1;
        }
        subjects.push_back(std::move(s));
      }
    }
    int peersFound = 0;
    for (const PeerSetup& setup : setups) {
      if (opt.oursOnly) {
        break;
      }
      LilvNode* uri = lilv_new_uri(world, setup.uri);
      const LilvPlugin* plugin = lilv_plugins_get_by_uri(all, uri);
      lilv_node_free(uri);
      if (plugin == nullptr) {
        if (first) {
          std::printf("absent: %s (%s; Debian package %s)\n", setup.label, setup.uri,
                      setup.package);
        }
        continue;
      }
      auto s = std::make_unique<LilvSubject>(setup.label, setup.what, setup.sections);
      const std::string why = s->create(world, plugin, setup.settings, host);
      if (!why.empty()) {
        if (first) {
          std::printf("skipped: %s: %s\n", setup.label, why.c_str());
        }
        continue;
      }
      ++peersFound;
      subjects.push_back(std::move(s));
    }
    if (first && peersFound == 0) {
      std::printf(opt.oursOnly
                      ? "peers not timed (--ours-only)\n"
                      : "peers absent: none of the peer plug-ins is installed "
                        "(benchmarks/install_peers.sh installs them); timing ours alone\n");
    }

    const int extraThreads = threadCount() - 1;
    if (extraThreads > 0) {
      std::printf(
          "note: %d thread(s) besides this one are running; work done there is not "
          "counted\n",
          extraThreads);
    }
#if defined(__SSE__)
    const unsigned int csr = _mm_getcsr();
#endif
    // Warm-up: designs, parameter smoothing and caches settle before timing.
    for (auto& s : subjects) {
      timeChunk(*s, ring, out, block, 2 * bench::kNoiseLength);
    }
    const std::size_t count = subjects.size();
    for (int r = 0; r < opt.rounds; ++r) {
      for (std::size_t k = 0; k < count; ++k) {
        Subject& s = *subjects[(k + static_cast<std::size_t>(r)) % count];
        s.times().push_back(timeChunk(s, ring, out, block, opt.samples));
#if defined(__SSE__)
        // A peer that leaves flush-to-zero or rounding changed would skew
        // whoever runs next: put the host's state back and say so.
        if (_mm_getcsr() != csr) {
          if (r == 0) {
            std::printf("note: %s leaves MXCSR changed (0x%x -> 0x%x); restored after each run\n",
                        s.label().c_str(), csr, _mm_getcsr());
          }
          _mm_setcsr(csr);
        }
#endif
      }
    }

    const double reference = median(subjects.front()->times());
    std::printf(
        "\n== block %u, 48 kHz mono noise: ns per sample, median of %d interleaved rounds of "
        "%u samples (thread CPU time)\n",
        block, opt.rounds, std::max<std::uint32_t>(1, opt.samples / block) * block);
    std::printf("ratio = this / %s (above 1: slower than ours)\n",
                subjects.front()->label().c_str());
    std::printf("%-24s %-28s %8s %10s %10s %10s %9s %10s %10s\n", "plug-in", "set to", "sections",
                "ns/sample", "min", "max", "ratio", "core%@48k", "out/in dB");
    for (auto& s : subjects) {
      const std::vector<double>& t = s->times();
      const double med = median(t);
      bool finite = true;
      const double db = outputGainDb(*s, ring, out, block, finite);
      std::printf("%-24s %-28s %8d %10.3f %10.3f %10.3f %8.2fx %10.4f %10.2f%s\n",
                  s->label().c_str(), s->what().c_str(), s->sections(), med,
                  *std::min_element(t.begin(), t.end()), *std::max_element(t.begin(), t.end()),
                  med / reference, med * bench::kRate * 1e-9 * 100.0, db,
                  finite ? "" : "  (non-finite output)");
      if (!(med > 0.0) || !std::isfinite(med) || !finite) {
        status = 1;
      }
    }
    std::printf("\n");
  }
  lilv_world_free(world);
  return status;
}
