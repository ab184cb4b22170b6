// The chain outside the plug-in, driven as the plug-in's block driver drives
// it: set the controls, prepare (block start), then run samples or blocks.
// Tests, the fuzzer and the benchmarks reach the stages through this rig.
#pragma once

#include <cstdint>
#include <vector>

#include "dsp/chain.h"

struct ChainRig : Chain {
  ChainControls controls{};
  CascadePlan plan{};

  explicit ChainRig(double rate = 48000.0) : Chain(rate) { prepare(); }
  // The plan points into its own chain: a copy lists its own sections.
  ChainRig(const ChainRig& o) : Chain(o), controls(o.controls) { prepare(); }
  ChainRig& operator=(const ChainRig&) = delete;

  // Block start with `controls`.
  const CascadePlan& prepare() {
    plan = Chain::prepare(controls);
    return plan;
  }
  // One sample through the prepared block.
  float process(float x) {
    float y = 0.0f;
    run(plan, &x, &y, 1);
    return y;
  }
  // Blocks of `block` samples, each prepared from `controls`.
  std::vector<float> process(const std::vector<float>& in, std::uint32_t block,
                             CascadeKernel kernel = CascadeKernel::Reference) {
    std::vector<float> out(in.size());
    for (std::size_t pos = 0; pos < in.size(); pos += block) {
      const auto n = static_cast<std::uint32_t>(in.size() - pos < block ? in.size() - pos : block);
      prepare();
      run(plan, in.data() + pos, out.data() + pos, n, kernel);
    }
    return out;
  }
};
