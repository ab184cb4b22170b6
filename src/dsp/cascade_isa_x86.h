// SIMD traits for the pipelined cascade on x86-64. Each traits type is used
// only in the translation unit compiled for its instruction set.
//
// Each gives the steps a hand-over waits (measured on the AVX-512 build
// machine with the full chain's thirteen sections: fewer stall the
// recurrences, more lengthen fill and drain) and, besides plain arithmetic,
// the kernel's lane moves: wrap (lanes down by one into vector 0, the block's
// input into lane m, section 0's), lowpass (section 0's mix, in lane m only),
// storeLane0 (the last section's output), blend by lane (state restored or
// captured) and scale (the level).
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "biquad.h"

#if defined(__SSE2__)
struct IsaSse2 {
  static constexpr int L = 2;
  // Seven vectors for thirteen sections: a step is long enough that the
  // hand-over to the next vector is ready after one.
  static constexpr int kDelay = 1;
  static constexpr int kDelayWrap = 2;
  using VD = __m128d;
  using VF = __m128;  // low two lanes used
  using LaneMask = __m128d;
  struct Hop {
    int m;
    __m128 gain;  // the input gain, in lane 0
    __m128 lp;    // all ones in lane m
  };
  static VD load(const double* p) { return _mm_load_pd(p); }
  static void store(double* p, VD v) { _mm_store_pd(p, v); }
  static VD add(VD a, VD b) { return _mm_add_pd(a, b); }
  static VD sub(VD a, VD b) { return _mm_sub_pd(a, b); }
  static VD mul(VD a, VD b) { return _mm_mul_pd(a, b); }
  static VF toF(VD v) { return _mm_cvtpd_ps(v); }
  static VD toD(VF v) { return _mm_cvtps_pd(v); }
  static VD lanes(const Biquad* const* a, double Biquad::*f) {
    return _mm_set_pd(a[1]->*f, a[0]->*f);
  }
  static VF lanesF(const float* p) { return _mm_set_ps(0.0f, 0.0f, p[1], p[0]); }
  static VF zeroF() { return _mm_setzero_ps(); }
  static VF set1F(float x) { return _mm_set1_ps(x); }
  static VF fmul(VF a, VF b) { return _mm_mul_ps(a, b); }
  static Hop hop(int m, float gain) {
    const std::int32_t on = -1;
    return {m, _mm_set_ss(gain),
            _mm_castsi128_ps(m == 0 ? _mm_set_epi32(0, 0, 0, on) : _mm_set_epi32(0, 0, on, 0))};
  }
  // [r1, x] or, with m = 0, [x, -].
  static VF wrap(VF r, const float* x, const Hop& h) {
    const __m128 xv = _mm_mul_ss(_mm_load_ss(x), h.gain);
    return h.m == 0 ? xv : _mm_unpacklo_ps(_mm_shuffle_ps(r, r, 1), xv);
  }
  static VF lowpass(VF r, VF x, VF mix, const Hop& h) {
    const __m128 mixed = _mm_add_ps(x, _mm_mul_ps(_mm_sub_ps(r, x), mix));
    return _mm_or_ps(_mm_and_ps(h.lp, mixed), _mm_andnot_ps(h.lp, r));
  }
  static void storeLane0(float* p, VF r) { _mm_store_ss(p, r); }
  static LaneMask laneMask(int lane) {
    const std::int64_t on = -1;
    return _mm_castsi128_pd(lane == 0 ? _mm_set_epi64x(0, on) : _mm_set_epi64x(on, 0));
  }
  static VD blend(LaneMask m, VD a, VD b) {
    return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b));
  }
  static void scale(float* p, std::uint32_t n, float g) {
    const __m128 gv = _mm_set1_ps(g);
    std::uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
      _mm_storeu_ps(p + i, _mm_mul_ps(_mm_loadu_ps(p + i), gv));
    }
    for (; i < n; ++i) {
      p[i] = p[i] * g;
    }
  }
};
#endif

#if defined(__AVX2__)
struct IsaAvx2 {
  static constexpr int L = 4;
  static constexpr int kDelay = 2;
  static constexpr int kDelayWrap = 2;
  using VD = __m256d;
  using VF = __m128;
  using LaneMask = __m256d;
  struct Hop {
    __m128 gain;
    __m128 sel;  // all ones in lane m
    bool top;    // m == 3
  };
  static VD load(const double* p) { return _mm256_load_pd(p); }
  static void store(double* p, VD v) { _mm256_store_pd(p, v); }
  static VD add(VD a, VD b) { return _mm256_add_pd(a, b); }
  static VD sub(VD a, VD b) { return _mm256_sub_pd(a, b); }
  static VD mul(VD a, VD b) { return _mm256_mul_pd(a, b); }
  static VF toF(VD v) { return _mm256_cvtpd_ps(v); }
  static VD toD(VF v) { return _mm256_cvtps_pd(v); }
  static VD lanes(const Biquad* const* a, double Biquad::*f) {
    return _mm256_set_pd(a[3]->*f, a[2]->*f, a[1]->*f, a[0]->*f);
  }
  static VF lanesF(const float* p) { return _mm_set_ps(p[3], p[2], p[1], p[0]); }
  static VF zeroF() { return _mm_setzero_ps(); }
  static VF set1F(float x) { return _mm_set1_ps(x); }
  static VF fmul(VF a, VF b) { return _mm_mul_ps(a, b); }
  static Hop hop(int m, float gain) {
    const std::int32_t on = -1;
    return {_mm_set1_ps(gain),
            _mm_castsi128_ps(
                _mm_set_epi32(m == 3 ? on : 0, m == 2 ? on : 0, m == 1 ? on : 0, m == 0 ? on : 0)),
            m == 3};
  }
  // [r1, r2, r3, 0] with x in lane m.
  static VF wrap(VF r, const float* x, const Hop& h) {
    if (h.top) {
      const __m128 xv = _mm_mul_ss(_mm_load_ss(x), h.gain);
      return _mm_castsi128_ps(_mm_alignr_epi8(_mm_castps_si128(xv), _mm_castps_si128(r), 4));
    }
    const __m128 shifted = _mm_castsi128_ps(_mm_srli_si128(_mm_castps_si128(r), 4));
    return _mm_blendv_ps(shifted, _mm_mul_ps(_mm_broadcast_ss(x), h.gain), h.sel);
  }
  static VF lowpass(VF r, VF x, VF mix, const Hop& h) {
    return _mm_blendv_ps(r, _mm_add_ps(x, _mm_mul_ps(_mm_sub_ps(r, x), mix)), h.sel);
  }
  static void storeLane0(float* p, VF r) { _mm_store_ss(p, r); }
  static LaneMask laneMask(int lane) {
    const std::int64_t on = -1;
    return _mm256_castsi256_pd(_mm256_set_epi64x(lane == 3 ? on : 0, lane == 2 ? on : 0,
                                                 lane == 1 ? on : 0, lane == 0 ? on : 0));
  }
  static VD blend(LaneMask m, VD a, VD b) { return _mm256_blendv_pd(b, a, m); }
  static void scale(float* p, std::uint32_t n, float g) {
    const __m256 gv = _mm256_set1_ps(g);
    std::uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
      _mm256_storeu_ps(p + i, _mm256_mul_ps(_mm256_loadu_ps(p + i), gv));
    }
    for (; i < n; ++i) {
      p[i] = p[i] * g;
    }
  }
};
#endif

#if defined(__AVX512F__)
struct IsaAvx512 {
  static constexpr int L = 8;
  // Two vectors: a step is short, and a zmm conversion round trip alone
  // takes about thirteen cycles.
  static constexpr int kDelay = 3;
  static constexpr int kDelayWrap = 3;
  using VD = __m512d;
  using VF = __m256;
  using LaneMask = __mmask8;
  struct Hop {
    __m512i idx;  // lane l takes lane l + 1; lane m the input
    __m128 gain;
    __mmask16 lp;  // lane m
  };
  static VD load(const double* p) { return _mm512_load_pd(p); }
  static void store(double* p, VD v) { _mm512_store_pd(p, v); }
  static VD add(VD a, VD b) { return _mm512_add_pd(a, b); }
  static VD sub(VD a, VD b) { return _mm512_sub_pd(a, b); }
  static VD mul(VD a, VD b) { return _mm512_mul_pd(a, b); }
  static VF toF(VD v) { return _mm512_cvtpd_ps(v); }
  static VD toD(VF v) { return _mm512_cvtps_pd(v); }
  static VD lanes(const Biquad* const* a, double Biquad::*f) {
    return _mm512_set_pd(a[7]->*f, a[6]->*f, a[5]->*f, a[4]->*f, a[3]->*f, a[2]->*f, a[1]->*f,
                         a[0]->*f);
  }
  static VF lanesF(const float* p) {
    return _mm256_set_ps(p[7], p[6], p[5], p[4], p[3], p[2], p[1], p[0]);
  }
  static VF zeroF() { return _mm256_setzero_ps(); }
  static VF set1F(float x) { return _mm256_set1_ps(x); }
  static VF fmul(VF a, VF b) { return _mm256_mul_ps(a, b); }
  static Hop hop(int m, float gain) {
    const __mmask16 lane = static_cast<__mmask16>(1u << m);
    const __m512i up = _mm512_set_epi32(0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    // Lane m takes the second source's lane 0.
    return {_mm512_mask_set1_epi32(up, lane, 16), _mm_set_ss(gain), lane};
  }
  // One instruction moves the lanes and brings the input in.
  static VF wrap(VF r, const float* x, const Hop& h) {
    const __m128 xv = _mm_mul_ss(_mm_load_ss(x), h.gain);
    return _mm512_castps512_ps256(
        _mm512_permutex2var_ps(_mm512_castps256_ps512(r), h.idx, _mm512_castps128_ps512(xv)));
  }
  // Masked operations on lane m alone: no blend.
  static VF lowpass(VF r, VF x, VF mix, const Hop& h) {
    const __m512 xz = _mm512_castps256_ps512(x);
    __m512 t = _mm512_castps256_ps512(r);
    t = _mm512_mask_sub_ps(t, h.lp, t, xz);
    t = _mm512_mask_mul_ps(t, h.lp, t, _mm512_castps256_ps512(mix));
    t = _mm512_mask_add_ps(t, h.lp, xz, t);
    return _mm512_castps512_ps256(t);
  }
  static void storeLane0(float* p, VF r) { _mm_store_ss(p, _mm256_castps256_ps128(r)); }
  static LaneMask laneMask(int lane) { return static_cast<LaneMask>(1u << lane); }
  static VD blend(LaneMask m, VD a, VD b) { return _mm512_mask_mov_pd(b, m, a); }
  static void scale(float* p, std::uint32_t n, float g) {
    const __m512 gv = _mm512_set1_ps(g);
    std::uint32_t i = 0;
    for (; i + 16 <= n; i += 16) {
      _mm512_storeu_ps(p + i, _mm512_mul_ps(_mm512_loadu_ps(p + i), gv));
    }
    for (; i < n; ++i) {
      p[i] = p[i] * g;
    }
  }
};
#endif
