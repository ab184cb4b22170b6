// SIMD traits for the pipelined cascade on AArch64 (Advanced SIMD: two
// doubles a vector, fully IEEE). -ffp-contract=off keeps the products and
// sums separately rounded: AArch64 compilers fuse them by default. The lane
// moves are those of cascade_isa_x86.h.
#pragma once

#include <arm_neon.h>

#include <cstdint>

#include "biquad.h"

struct IsaNeon {
  static constexpr int L = 2;
  // As SSE2's, with the same two lanes (not timed on Arm hardware).
  static constexpr int kDelay = 1;
  static constexpr int kDelayWrap = 2;
  using VD = float64x2_t;
  using VF = float32x2_t;
  using LaneMask = uint64x2_t;
  struct Hop {
    int m;
    float gain;
    uint32x2_t lp;  // all ones in lane m
  };
  static VD load(const double* p) { return vld1q_f64(p); }
  static void store(double* p, VD v) { vst1q_f64(p, v); }
  static VD add(VD a, VD b) { return vaddq_f64(a, b); }
  static VD sub(VD a, VD b) { return vsubq_f64(a, b); }
  static VD mul(VD a, VD b) { return vmulq_f64(a, b); }
  static VF toF(VD v) { return vcvt_f32_f64(v); }
  static VD toD(VF v) { return vcvt_f64_f32(v); }
  static VD lanes(const Biquad* const* a, double Biquad::*f) {
    return vsetq_lane_f64(a[1]->*f, vdupq_n_f64(a[0]->*f), 1);
  }
  static VF lanesF(const float* p) { return vset_lane_f32(p[1], vdup_n_f32(p[0]), 1); }
  static VF zeroF() { return vdup_n_f32(0.0f); }
  static VF set1F(float x) { return vdup_n_f32(x); }
  static VF fmul(VF a, VF b) { return vmul_f32(a, b); }
  static Hop hop(int m, float gain) {
    const std::uint32_t on = 0xffffffffu;
    return {m, gain,
            m == 0 ? vset_lane_u32(on, vdup_n_u32(0), 0) : vset_lane_u32(on, vdup_n_u32(0), 1)};
  }
  // [r1, x] or, with m = 0, [x, -].
  static VF wrap(VF r, const float* x, const Hop& h) {
    const VF xv = vdup_n_f32(*x * h.gain);
    return h.m == 0 ? xv : vext_f32(r, xv, 1);
  }
  static VF lowpass(VF r, VF x, VF mix, const Hop& h) {
    return vbsl_f32(h.lp, vadd_f32(x, vmul_f32(vsub_f32(r, x), mix)), r);
  }
  static void storeLane0(float* p, VF r) { vst1_lane_f32(p, r, 0); }
  static LaneMask laneMask(int lane) {
    const std::uint64_t on = ~std::uint64_t{0};
    return lane == 0 ? vsetq_lane_u64(on, vdupq_n_u64(0), 0)
                     : vsetq_lane_u64(on, vdupq_n_u64(0), 1);
  }
  static VD blend(LaneMask m, VD a, VD b) { return vbslq_f64(m, a, b); }
  static void scale(float* p, std::uint32_t n, float g) {
    const float32x4_t gv = vdupq_n_f32(g);
    std::uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
      vst1q_f32(p + i, vmulq_f32(vld1q_f32(p + i), gv));
    }
    for (; i < n; ++i) {
      p[i] = p[i] * g;
    }
  }
};
