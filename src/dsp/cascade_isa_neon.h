// SIMD traits for the pipelined cascade on AArch64 (Advanced SIMD: two
// doubles a vector, fully IEEE). -ffp-contract=off keeps the products and
// sums separately rounded: AArch64 compilers fuse them by default.
#pragma once

#include <arm_neon.h>

struct IsaNeon {
  static constexpr int L = 2;
  using VD = float64x2_t;
  using VF = float32x2_t;
  using M = uint64x2_t;
  static VD load(const double* p) { return vld1q_f64(p); }
  static void store(double* p, VD v) { vst1q_f64(p, v); }
  static VD set1(double x) { return vdupq_n_f64(x); }
  static VD add(VD a, VD b) { return vaddq_f64(a, b); }
  static VD sub(VD a, VD b) { return vsubq_f64(a, b); }
  static VD mul(VD a, VD b) { return vmulq_f64(a, b); }
  static VF toF(VD v) { return vcvt_f32_f64(v); }
  static VD toD(VF v) { return vcvt_f64_f32(v); }
  static VF loadF(const float* p) { return vld1_f32(p); }
  static void storeF(float* p, VF v) { vst1_f32(p, v); }
  static VF set1F(float x) { return vdup_n_f32(x); }
  static VF fadd(VF a, VF b) { return vadd_f32(a, b); }
  static VF fsub(VF a, VF b) { return vsub_f32(a, b); }
  static VF fmul(VF a, VF b) { return vmul_f32(a, b); }
  static VF blendLane0(VF a, VF b) { return vset_lane_f32(vget_lane_f32(a, 0), b, 0); }
  // [x0, v0]
  static VD shiftIn(VD v, double x0) { return vzip1q_f64(vdupq_n_f64(x0), v); }
  static M activeMask(VD j, double t, double lo) {
    return vandq_u64(vcleq_f64(j, vdupq_n_f64(t)), vcgtq_f64(j, vdupq_n_f64(lo)));
  }
  static VD select(M m, VD a, VD b) { return vbslq_f64(m, a, b); }
};
