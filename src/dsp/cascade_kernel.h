// Software-pipelined cascade kernel, included once per instruction set inside
// that set's own namespace (CASCADE_ISA_NS), with an Isa traits type.
//
// Section j lives in vector j % V, lane j / V, so that its output feeds
// section j + 1 in the next vector at the same lane, and only the last
// vector's outputs move one lane up (into vector 0). At step t section j
// processes sample t - D*j; the D-step delay between neighbours gives each
// hand-over D steps of latency. Lanes whose sample lies outside the block
// (the pipeline's fill and drain) keep their state through masked updates.
// Every operation is the reference kernel's IEEE operation on the same
// values, so the output is bit-identical.
#ifndef CASCADE_ISA_NS
#error "define CASCADE_ISA_NS before including cascade_kernel.h"
#endif

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "cascade.h"

namespace CASCADE_ISA_NS {

template <class I, int V, int D, bool LP>
void pipelined(const CascadePlan& plan, const float* in, float* out, std::uint32_t n, float level) {
  using VD = typename I::VD;
  using VF = typename I::VF;
  using M = typename I::M;
  constexpr std::size_t L = static_cast<std::size_t>(I::L);
  constexpr std::size_t NV = static_cast<std::size_t>(V);
  constexpr std::size_t W = NV * L;
  const std::size_t count = static_cast<std::size_t>(plan.count);

  alignas(64) double cb0[W];
  alignas(64) double cb1[W];
  alignas(64) double cb2[W];
  alignas(64) double ca1[W];
  alignas(64) double ca2[W];
  alignas(64) double cz1[W];
  alignas(64) double cz2[W];
  alignas(64) double cj[W];
  alignas(64) float cg[W + 16];
  for (std::size_t i = 0; i < W + 16; ++i) {
    cg[i] = 1.0f;
  }
  for (std::size_t i = 0; i < W; ++i) {
    cb0[i] = cb1[i] = cb2[i] = ca1[i] = ca2[i] = cz1[i] = cz2[i] = 0.0;
    cj[i] = 1e300;  // unused lanes are never active
  }
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t k = (j % NV) * L + j / NV;
    const Biquad& b = *plan.sections[j];
    cb0[k] = b.b0;
    cb1[k] = b.b1;
    cb2[k] = b.b2;
    ca1[k] = b.a1;
    ca2[k] = b.a2;
    cz1[k] = b.z1;
    cz2[k] = b.z2;
    cg[k] = plan.gains[j];
    cj[k] = static_cast<double>(static_cast<std::size_t>(D) * j);
  }

  VD B0[NV], B1[NV], B2[NV], A1[NV], A2[NV], Z1[NV], Z2[NV], J[NV], X[NV];
  VF G[NV], R[NV];
  constexpr std::size_t H = D > 1 ? static_cast<std::size_t>(D - 1) : 1;
  VF Rh[H][NV];  // outputs of the last D - 1 steps, newest first
  for (std::size_t v = 0; v < NV; ++v) {
    B0[v] = I::load(cb0 + v * L);
    B1[v] = I::load(cb1 + v * L);
    B2[v] = I::load(cb2 + v * L);
    A1[v] = I::load(ca1 + v * L);
    A2[v] = I::load(ca2 + v * L);
    Z1[v] = I::load(cz1 + v * L);
    Z2[v] = I::load(cz2 + v * L);
    J[v] = I::load(cj + v * L);
    X[v] = I::set1(0.0);
    G[v] = I::loadF(cg + v * L);
    for (auto& h : Rh) {
      h[v] = I::set1F(0.0f);
    }
  }
  const VF mixv = I::set1F(plan.lowpassMix);
  const float inGain = plan.inputGain;
  if (n > 0) {
    X[0] = I::shiftIn(I::set1(0.0), static_cast<double>(in[0] * inGain));
  }
  const std::size_t lastV = (count - 1) % NV;
  const std::size_t lastLane = (count - 1) / NV;
  const std::int64_t lag = static_cast<std::int64_t>(D) * static_cast<std::int64_t>(count - 1);
  const std::int64_t total = static_cast<std::int64_t>(n) + lag;
  const std::int64_t nn = static_cast<std::int64_t>(n);

  // `Masked` is std::true_type during fill and drain.
  auto step = [&](std::int64_t t, auto maskedTag) {
    constexpr bool masked = decltype(maskedTag)::value;
    M active[NV];
    if (masked) {
      const double td = static_cast<double>(t);
      const double lo = static_cast<double>(t - nn);
      for (std::size_t v = 0; v < NV; ++v) {
        active[v] = I::activeMask(J[v], td, lo);
      }
    }
    for (std::size_t v = 0; v < NV; ++v) {
      const VD y = I::add(I::mul(B0[v], X[v]), Z1[v]);
      const VD z1 = I::sub(I::add(I::mul(B1[v], X[v]), Z2[v]), I::mul(A1[v], y));
      const VD z2 = I::sub(I::mul(B2[v], X[v]), I::mul(A2[v], y));
      if (masked) {
        Z1[v] = I::select(active[v], z1, Z1[v]);
        Z2[v] = I::select(active[v], z2, Z2[v]);
      } else {
        Z1[v] = z1;
        Z2[v] = z2;
      }
      R[v] = I::toF(y);
    }
    if (LP) {
      // Section 0 is the low-pass: mix its rounded output with its input.
      const VF xf = I::toF(X[0]);
      R[0] = I::blendLane0(I::fadd(xf, I::fmul(I::fsub(R[0], xf), mixv)), R[0]);
    }
    for (std::size_t v = 0; v < NV; ++v) {
      R[v] = I::fmul(R[v], G[v]);
    }
    const std::int64_t s = t - lag;
    if (s >= 0 && s < nn) {
      alignas(64) float lanes[16];
      I::storeF(lanes, R[lastV]);
      out[static_cast<std::size_t>(s)] = lanes[lastLane] * level;
    }
    const double x0 =
        (t + 1 < nn) ? static_cast<double>(in[static_cast<std::size_t>(t + 1)] * inGain) : 0.0;
    // Hand-over: section j + 1 takes what section j produced D - 1 steps ago.
    const VF* src = (D == 1) ? R : Rh[H - 1];
    for (std::size_t v = NV - 1; v > 0; --v) {
      X[v] = I::toD(src[v - 1]);
    }
    X[0] = I::shiftIn(I::toD(src[NV - 1]), x0);
    for (std::size_t h = H - 1; D > 1 && h > 0; --h) {
      for (std::size_t v = 0; v < NV; ++v) {
        Rh[h][v] = Rh[h - 1][v];
      }
    }
    if (D > 1) {
      for (std::size_t v = 0; v < NV; ++v) {
        Rh[0][v] = R[v];
      }
    }
  };

  std::int64_t t = 0;
  for (; t < lag && t < total; ++t) {
    step(t, std::true_type{});
  }
  for (; t < nn; ++t) {
    step(t, std::false_type{});
  }
  for (; t < total; ++t) {
    step(t, std::true_type{});
  }

  for (std::size_t v = 0; v < NV; ++v) {
    I::store(cz1 + v * L, Z1[v]);
    I::store(cz2 + v * L, Z2[v]);
  }
  for (std::size_t j = 0; j < count; ++j) {
    const std::size_t k = (j % NV) * L + j / NV;
    plan.sections[j]->z1 = cz1[k];
    plan.sections[j]->z2 = cz2[k];
  }
}

template <class I, int V, int D>
void pipelinedV(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                float level) {
  if (plan.lowpassFirst) {
    pipelined<I, V, D, true>(plan, in, out, n, level);
  } else {
    pipelined<I, V, D, false>(plan, in, out, n, level);
  }
}

// The number of samples each lane trails its predecessor by: two steps
// leave room for the hand-over's conversions without stalling the lanes.
constexpr int kLaneDelay = 2;

template <class I, int V>
void pipelinedFor(int vectors, const CascadePlan& plan, const float* in, float* out,
                  std::uint32_t n, float level) {
  if (vectors == V) {
    pipelinedV<I, V, kLaneDelay>(plan, in, out, n, level);
  } else if constexpr (V * I::L < kMaxCascade) {
    pipelinedFor<I, V + 1>(vectors, plan, in, out, n, level);
  }
}

// Needs 1 <= plan.count <= kMaxCascade.
template <class I>
void runPipelined(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                  float level) {
  pipelinedFor<I, 1>((plan.count + I::L - 1) / I::L, plan, in, out, n, level);
}

}  // namespace CASCADE_ISA_NS
