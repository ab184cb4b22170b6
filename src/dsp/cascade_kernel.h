// Software-pipelined cascade kernel, included once per instruction set inside
// that set's own namespace (CASCADE_ISA_NS), with an Isa traits type.
//
// Section j lives in vector j % V, lane m - j / V (m = (count - 1) / V), so
// that its output feeds section j + 1 in the next vector at the same lane;
// only the last vector's outputs move one lane down, into vector 0, whose
// lane m takes the input instead. The last section sits in lane 0, where a
// plain scalar store takes its output. Section j runs sample t - d[j] at step
// t; a hand-over to the next vector waits I::kDelay steps, one into vector 0
// (which also moves lanes) I::kDelayWrap steps: per instruction set, the
// fewest that cover the conversions and the lane move without stalling the
// recurrences, since every step of delay is a step of fill and drain.
//
// No lane is masked: lanes outside the block (the pipeline's fill and drain)
// compute on values that are never used. A section's state is put back to
// its block-start value in the step its first sample comes (restore), and
// read out in the step after its last (capture); the steps between these
// events run unconditionally. Every operation on a used value is the
// reference kernel's IEEE operation on the same values, so the output and the
// state are bit-identical.
#ifndef CASCADE_ISA_NS
#error "define CASCADE_ISA_NS before including cascade_kernel.h"
#endif

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "cascade.h"

namespace CASCADE_ISA_NS {

// Lane 0 of the vector given at run time; each vector it may be is named by a
// constant, so that the vectors stay in registers.
template <class I, class VF, std::size_t... P>
inline void storeLast(int v, float* p, const VF* r, std::index_sequence<P...> /*unused*/) {
  (void)((v == static_cast<int>(P) ? (I::storeLane0(p, r[P]), true) : false) || ...);
}

// LASTV is the last section's vector, or -1 when it is known only at run time
// (more than two vectors: one copy of the kernel for each would multiply its
// code size, for a compare a step).
template <class I, int V, int LASTV, bool LP>
void pipelined(const CascadePlan& plan, const float* in, float* out, std::uint32_t n, float level) {
  using VD = typename I::VD;
  using VF = typename I::VF;
  using std::size_t;
  constexpr size_t L = static_cast<size_t>(I::L);
  constexpr size_t NV = static_cast<size_t>(V);
  constexpr size_t W = NV * L;
  constexpr size_t DA = static_cast<size_t>(I::kDelay);
  constexpr size_t DB = static_cast<size_t>(I::kDelayWrap);
  const int count = plan.count;
  const int m = (count - 1) / V;  // lane of section 0
  const int lastV = (count - 1) % V;
  // Vector and lane of section j.
  const auto vecOf = [](int j) { return static_cast<size_t>(j % V); };
  const auto laneOf = [m](int j) { return static_cast<size_t>(m - j / V); };
  const auto slotOf = [&](int j) { return vecOf(j) * L + laneOf(j); };

  // Each slot's (vector * L + lane) section and gain; unused slots get a
  // section of zeros and gain 1. The vectors are put together from scalar
  // loads: block start has just written the plan and the sections with
  // scalar stores, which a vector load of a packed copy would wait for.
  static const Biquad kNone{};
  const Biquad* at[W];
  float gains[W];
  for (size_t k = 0; k < W; ++k) {
    at[k] = &kNone;
    gains[k] = 1.0f;
  }
  std::int64_t first[kMaxCascade];  // the step at which section j's first sample comes
  std::int64_t d = 0;
  for (int j = 0; j < count; ++j) {
    at[slotOf(j)] = plan.sections[j];
    gains[slotOf(j)] = plan.gains[j];
    first[j] = d;
    d += static_cast<std::int64_t>((j % V == V - 1) ? DB : DA);
  }
  const std::int64_t lag = first[count - 1];
  const std::int64_t nn = static_cast<std::int64_t>(n);
  const std::int64_t total = nn + lag;

  VD B0[NV], B1[NV], B2[NV], A1[NV], A2[NV], Z1[NV], Z2[NV];
  VF G[NV];
  alignas(64) double cz1[W];  // block-start state, for restores; then the end state
  alignas(64) double cz2[W];
#pragma GCC unroll 16
  for (size_t v = 0; v < NV; ++v) {
    const Biquad* const* a = at + v * L;
    B0[v] = I::lanes(a, &Biquad::b0);
    B1[v] = I::lanes(a, &Biquad::b1);
    B2[v] = I::lanes(a, &Biquad::b2);
    A1[v] = I::lanes(a, &Biquad::a1);
    A2[v] = I::lanes(a, &Biquad::a2);
    Z1[v] = I::lanes(a, &Biquad::z1);
    Z2[v] = I::lanes(a, &Biquad::z2);
    G[v] = I::lanesF(gains + v * L);
    I::store(cz1 + v * L, Z1[v]);
    I::store(cz2 + v * L, Z2[v]);
  }
  const typename I::Hop hop = I::hop(m, plan.inputGain);
  const VF mix = I::set1F(plan.lowpassMix);
  const float zero = 0.0f;

  // Inputs of the steps to come, newest last: Qw feeds vector 0 (DB deep),
  // Qa[v] vector v > 0 (DA deep). Float, as the hand-over rounds them.
  constexpr size_t QA = V > 1 ? DA : 1;
  VF Qw[DB];
  VF Qa[QA][V > 1 ? NV - 1 : 1];
  for (size_t q = 0; q < DB; ++q) {
    Qw[q] = I::wrap(I::zeroF(), static_cast<std::int64_t>(q) < nn ? in + q : &zero, hop);
  }
  for (auto& qa : Qa) {
    for (VF& x : qa) {
      x = I::zeroF();
    }
  }

  // One step at t; `Out` when section count - 1 runs a sample of the block.
  auto step = [&](std::int64_t t, auto outTag) __attribute__((always_inline)) {
    constexpr bool kOut = decltype(outTag)::value;
    VF Xf[NV];
    Xf[0] = Qw[0];
#pragma GCC unroll 16
    for (size_t v = 1; v < NV; ++v) {
      Xf[v] = Qa[0][v - 1];
    }
    VF R[NV];
#pragma GCC unroll 16
    for (size_t v = 0; v < NV; ++v) {
      const VD x = I::toD(Xf[v]);
      const VD y = I::add(I::mul(B0[v], x), Z1[v]);
      Z1[v] = I::sub(I::add(I::mul(B1[v], x), Z2[v]), I::mul(A1[v], y));
      Z2[v] = I::sub(I::mul(B2[v], x), I::mul(A2[v], y));
      R[v] = I::toF(y);
    }
    if (LP) {
      // Section 0 is the low-pass: mix its rounded output with its input.
      R[0] = I::lowpass(R[0], Xf[0], mix, hop);
    }
#pragma GCC unroll 16
    for (size_t v = 0; v < NV; ++v) {
      R[v] = I::fmul(R[v], G[v]);
    }
    if (kOut) {
      if constexpr (LASTV >= 0) {
        I::storeLane0(out + (t - lag), R[LASTV]);
      } else {
        storeLast<I>(lastV, out + (t - lag), R, std::make_index_sequence<NV>{});
      }
    }
    // Hand-over: what this step made is the input DA (DB) steps on.
    const std::int64_t ti = t + static_cast<std::int64_t>(DB);
    const float* x = ti < nn ? in + ti : &zero;
    for (size_t q = 0; q + 1 < DB; ++q) {
      Qw[q] = Qw[q + 1];
    }
    Qw[DB - 1] = I::wrap(R[V - 1], x, hop);
    if (V > 1) {
      for (size_t q = 0; q + 1 < QA; ++q) {
#pragma GCC unroll 16
        for (size_t v = 0; v + 1 < NV; ++v) {
          Qa[q][v] = Qa[q + 1][v];
        }
      }
#pragma GCC unroll 16
      for (size_t v = 0; v + 1 < NV; ++v) {
        Qa[QA - 1][v] = R[v];
      }
    }
  };

  // Events, in step order: section j's state is restored when its first
  // sample comes (step first[j]) and captured after its last (step
  // n + first[j]); the last section's is captured at the end.
  alignas(64) double saved1[kMaxCascade][L];
  alignas(64) double saved2[kMaxCascade][L];
  int nextRestore = 1;
  int nextCapture = 0;
  std::int64_t t = 0;
  while (true) {
    const std::int64_t restoreAt = nextRestore < count ? first[nextRestore] : total;
    const std::int64_t captureAt = nextCapture < count - 1 ? nn + first[nextCapture] : total;
    const std::int64_t stop = restoreAt < captureAt ? restoreAt : captureAt;
    if (t < lag) {
      for (; t < stop; ++t) {
        step(t, std::false_type{});
      }
    } else {
      for (; t < stop; ++t) {
        step(t, std::true_type{});
      }
    }
    if (t == total) {
      break;
    }
    if (t == restoreAt) {
      const int j = nextRestore++;
      const size_t v = vecOf(j);
      const auto lane = I::laneMask(static_cast<int>(laneOf(j)));
#pragma GCC unroll 16
      for (size_t u = 0; u < NV; ++u) {
        if (u == v) {
          Z1[u] = I::blend(lane, I::load(cz1 + u * L), Z1[u]);
          Z2[u] = I::blend(lane, I::load(cz2 + u * L), Z2[u]);
        }
      }
    }
    if (t == captureAt) {
      const int j = nextCapture++;
      const size_t v = vecOf(j);
#pragma GCC unroll 16
      for (size_t u = 0; u < NV; ++u) {
        if (u == v) {
          I::store(saved1[static_cast<size_t>(j)], Z1[u]);
          I::store(saved2[static_cast<size_t>(j)], Z2[u]);
        }
      }
    }
  }

  if (level != 1.0f) {
    // x * 1 is x: the level's product is taken only where it changes bits.
    I::scale(out, n, level);
  }
#pragma GCC unroll 16
  for (size_t v = 0; v < NV; ++v) {
    I::store(cz1 + v * L, Z1[v]);
    I::store(cz2 + v * L, Z2[v]);
  }
  for (int j = 0; j < count; ++j) {
    Biquad& b = *plan.sections[j];
    if (j < count - 1) {
      b.z1 = saved1[static_cast<size_t>(j)][laneOf(j)];
      b.z2 = saved2[static_cast<size_t>(j)][laneOf(j)];
    } else {
      b.z1 = cz1[slotOf(j)];
      b.z2 = cz2[slotOf(j)];
    }
  }
}

template <class I, int V, int LASTV>
void pipelinedLast(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                   float level) {
  if (plan.lowpassFirst) {
    pipelined<I, V, LASTV, true>(plan, in, out, n, level);
  } else {
    pipelined<I, V, LASTV, false>(plan, in, out, n, level);
  }
}

template <class I, int V, int LASTV = 0>
void pipelinedV(int lastV, const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                float level) {
  if constexpr (V > 2) {
    pipelinedLast<I, V, -1>(plan, in, out, n, level);
  } else if constexpr (LASTV < V) {
    if (lastV == LASTV) {
      pipelinedLast<I, V, LASTV>(plan, in, out, n, level);
    } else {
      pipelinedV<I, V, LASTV + 1>(lastV, plan, in, out, n, level);
    }
  }
}

template <class I, int V>
void pipelinedFor(int vectors, const CascadePlan& plan, const float* in, float* out,
                  std::uint32_t n, float level) {
  if (vectors == V) {
    pipelinedV<I, V>((plan.count - 1) % V, plan, in, out, n, level);
  } else if constexpr (V * I::L < kMaxCascade) {
    pipelinedFor<I, V + 1>(vectors, plan, in, out, n, level);
  }
}

// Needs 1 <= plan.count <= kMaxCascade and outputGain == 1.
template <class I>
void runPipelined(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                  float level) {
  if (n == 0) {
    return;
  }
  pipelinedFor<I, 1>((plan.count + I::L - 1) / I::L, plan, in, out, n, level);
}

}  // namespace CASCADE_ISA_NS
