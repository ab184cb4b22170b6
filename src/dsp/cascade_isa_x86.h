// SIMD traits for the pipelined cascade on x86-64. Each traits type is used
// only in the translation unit compiled for its instruction set.
#pragma once

#include <immintrin.h>

#if defined(__SSE2__)
struct IsaSse2 {
  static constexpr int L = 2;
  using VD = __m128d;
  using VF = __m128;  // low two lanes used
  using M = __m128d;
  static VD load(const double* p) { return _mm_load_pd(p); }
  static void store(double* p, VD v) { _mm_store_pd(p, v); }
  static VD set1(double x) { return _mm_set1_pd(x); }
  static VD add(VD a, VD b) { return _mm_add_pd(a, b); }
  static VD sub(VD a, VD b) { return _mm_sub_pd(a, b); }
  static VD mul(VD a, VD b) { return _mm_mul_pd(a, b); }
  static VF toF(VD v) { return _mm_cvtpd_ps(v); }
  static VD toD(VF v) { return _mm_cvtps_pd(v); }
  static VF loadF(const float* p) { return _mm_loadu_ps(p); }
  static void storeF(float* p, VF v) { _mm_storeu_ps(p, v); }
  static VF set1F(float x) { return _mm_set1_ps(x); }
  static VF fadd(VF a, VF b) { return _mm_add_ps(a, b); }
  static VF fsub(VF a, VF b) { return _mm_sub_ps(a, b); }
  static VF fmul(VF a, VF b) { return _mm_mul_ps(a, b); }
  static VF blendLane0(VF a, VF b) { return _mm_move_ss(b, a); }
  // [x0, v0]
  static VD shiftIn(VD v, double x0) { return _mm_unpacklo_pd(_mm_set_sd(x0), v); }
  static M activeMask(VD j, double t, double lo) {
    return _mm_and_pd(_mm_cmple_pd(j, _mm_set1_pd(t)), _mm_cmpgt_pd(j, _mm_set1_pd(lo)));
  }
  static VD select(M m, VD a, VD b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
};
#endif

#if defined(__AVX2__)
struct IsaAvx2 {
  static constexpr int L = 4;
  using VD = __m256d;
  using VF = __m128;
  using M = __m256d;
  static VD load(const double* p) { return _mm256_load_pd(p); }
  static void store(double* p, VD v) { _mm256_store_pd(p, v); }
  static VD set1(double x) { return _mm256_set1_pd(x); }
  static VD add(VD a, VD b) { return _mm256_add_pd(a, b); }
  static VD sub(VD a, VD b) { return _mm256_sub_pd(a, b); }
  static VD mul(VD a, VD b) { return _mm256_mul_pd(a, b); }
  static VF toF(VD v) { return _mm256_cvtpd_ps(v); }
  static VD toD(VF v) { return _mm256_cvtps_pd(v); }
  static VF loadF(const float* p) { return _mm_loadu_ps(p); }
  static void storeF(float* p, VF v) { _mm_storeu_ps(p, v); }
  static VF set1F(float x) { return _mm_set1_ps(x); }
  static VF fadd(VF a, VF b) { return _mm_add_ps(a, b); }
  static VF fsub(VF a, VF b) { return _mm_sub_ps(a, b); }
  static VF fmul(VF a, VF b) { return _mm_mul_ps(a, b); }
  static VF blendLane0(VF a, VF b) { return _mm_blend_ps(b, a, 1); }
  // [x0, v0, v1, v2]
  static VD shiftIn(VD v, double x0) {
    return _mm256_blend_pd(_mm256_permute4x64_pd(v, 0x93), _mm256_set1_pd(x0), 1);
  }
  static M activeMask(VD j, double t, double lo) {
    return _mm256_and_pd(_mm256_cmp_pd(j, _mm256_set1_pd(t), _CMP_LE_OQ),
                         _mm256_cmp_pd(j, _mm256_set1_pd(lo), _CMP_GT_OQ));
  }
  static VD select(M m, VD a, VD b) { return _mm256_blendv_pd(b, a, m); }
};
#endif

#if defined(__AVX512F__)
struct IsaAvx512 {
  static constexpr int L = 8;
  using VD = __m512d;
  using VF = __m256;
  using M = __mmask8;
  static VD load(const double* p) { return _mm512_load_pd(p); }
  static void store(double* p, VD v) { _mm512_store_pd(p, v); }
  static VD set1(double x) { return _mm512_set1_pd(x); }
  static VD add(VD a, VD b) { return _mm512_add_pd(a, b); }
  static VD sub(VD a, VD b) { return _mm512_sub_pd(a, b); }
  static VD mul(VD a, VD b) { return _mm512_mul_pd(a, b); }
  static VF toF(VD v) { return _mm512_cvtpd_ps(v); }
  static VD toD(VF v) { return _mm512_cvtps_pd(v); }
  static VF loadF(const float* p) { return _mm256_loadu_ps(p); }
  static void storeF(float* p, VF v) { _mm256_storeu_ps(p, v); }
  static VF set1F(float x) { return _mm256_set1_ps(x); }
  static VF fadd(VF a, VF b) { return _mm256_add_ps(a, b); }
  static VF fsub(VF a, VF b) { return _mm256_sub_ps(a, b); }
  static VF fmul(VF a, VF b) { return _mm256_mul_ps(a, b); }
  static VF blendLane0(VF a, VF b) { return _mm256_blend_ps(b, a, 1); }
  // [x0, v0, ..., v6]
  static VD shiftIn(VD v, double x0) {
    return _mm512_castsi512_pd(
        _mm512_alignr_epi64(_mm512_castpd_si512(v), _mm512_castpd_si512(_mm512_set1_pd(x0)), 7));
  }
  static M activeMask(VD j, double t, double lo) {
    return static_cast<M>(_mm512_cmp_pd_mask(j, _mm512_set1_pd(t), _CMP_LE_OQ) &
                          _mm512_cmp_pd_mask(j, _mm512_set1_pd(lo), _CMP_GT_OQ));
  }
  static VD select(M m, VD a, VD b) { return _mm512_mask_blend_pd(m, b, a); }
};
#endif
