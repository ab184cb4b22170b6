// A minimal host for tests, tools, benchmarks: loads a module with dlopen and
// drives one instance through the LV2 descriptor, as a host would.
#pragma once

#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <array>
#include <cstdint>
#include <vector>

#include "ports.h"

class PluginModule {
 public:
#ifdef CALVORINE_PLUGIN_PATH
  PluginModule() : PluginModule(CALVORINE_PLUGIN_PATH) {}
#endif
  explicit PluginModule(const char* path) : lib_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
    if (lib_ == nullptr) {
      error_ = dlerror();
      return;
    }
    entry_ = reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib_, "lv2_descriptor"));
    if (entry_ == nullptr) {
      error_ = "no lv2_descriptor";
    }
  }
  ~PluginModule() {
    if (lib_ != nullptr) {
      dlclose(lib_);
    }
  }
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;

  bool loaded() const {
    return lib_ != nullptr && entry_ != nullptr;
  }
  const char* error() const {
    return error_ != nullptr ? error_ : "";
  }
  const LV2_Descriptor* descriptor(std::uint32_t index = 0) const {
    return entry_(index);
  }

 private:
  void* lib_;
  LV2_Descriptor_Function entry_ = nullptr;
  const char* error_ = nullptr;
};

// One instance with its own control values, connected to all ports and set
// to the bundle's defaults. Audio buffers are the caller's; controls live here.
class PluginInstance {
 public:
  PluginInstance(const PluginModule& module, double rate) : d_(module.descriptor(0)) {
    const LV2_Feature* features[] = {nullptr};
    h_ = d_->instantiate(d_, rate, "", features);
    for (std::uint32_t p = 0; p < kPortCount; ++p) {
      controls_[p] = kPorts[p].deflt;
    }
    if (h_ != nullptr) {
      for (std::uint32_t p = 2; p < kPortCount; ++p) {
        d_->connect_port(h_, p, &controls_[p]);
      }
    }
  }
  ~PluginInstance() {
    if (h_ != nullptr) {
      d_->cleanup(h_);
    }
  }
  PluginInstance(const PluginInstance&) = delete;
  PluginInstance& operator=(const PluginInstance&) = delete;

  bool ok() const { return h_ != nullptr; }
  float& control(PortIndex p) { return controls_[p]; }
  void connect(std::uint32_t port, void* where) { d_->connect_port(h_, port, where); }
  void reconnectControl(PortIndex p) { d_->connect_port(h_, p, &controls_[p]); }
  void disconnect(PortIndex p) { d_->connect_port(h_, p, nullptr); }

  void run(const float* in, float* out, std::uint32_t n) {
    d_->connect_port(h_, kPortIn, const_cast<float*>(in));
    d_->connect_port(h_, kPortOut, out);
    d_->run(h_, n);
  }

  // Runs `in` through in blocks of `block` samples and returns the output.
  std::vector<float> process(const std::vector<float>& in, std::uint32_t block) {
    std::vector<float> out(in.size());
    for (std::size_t pos = 0; pos < in.size(); pos += block) {
      const std::size_t len = std::min<std::size_t>(block, in.size() - pos);
      run(in.data() + pos, out.data() + pos, static_cast<std::uint32_t>(len));
    }
    return out;
  }

  LV2_Handle handle() const { return h_; }
  const LV2_Descriptor* descriptor() const { return d_; }

 private:
  const LV2_Descriptor* d_;
  LV2_Handle h_ = nullptr;
  std::array<float, kPortCount> controls_{};
};
