// What every test program shares: the one seed, a deterministic generator,
// test signals, and bit-exact and finiteness checks. The generator is a plain
// xorshift so that sequences do not depend on the standard library's
// distributions.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dsp/bypass.h"

// The seed of every randomised test: fixed so that CI runs repeat, taken from
// CALVORINE_TEST_SEED (any base strtoull reads) to explore, and printed with
// what it seeds so that a failure can be replayed.
inline std::uint64_t testSeed(const char* what, std::uint64_t fixed) {
  std::uint64_t seed = fixed;
  if (const char* env = std::getenv("CALVORINE_TEST_SEED"); env != nullptr && *env != '\0') {
    seed = std::strtoull(env, nullptr, 0);
  }
  std::printf("[ seed     ] %s: CALVORINE_TEST_SEED=%llu\n", what,
              static_cast<unsigned long long>(seed));
  return seed;
}

class Xorshift {
 public:
  explicit Xorshift(std::uint64_t seed) : s_(seed != 0 ? seed : 0x9e3779b97f4a7c15ull) {}
  std::uint64_t next() {
    s_ ^= s_ << 13;
    s_ ^= s_ >> 7;
    s_ ^= s_ << 17;
    return s_;
  }
  // Uniform in [-1, 1), 24 random bits.
  float uniform() {
    return static_cast<float>(static_cast<std::int32_t>(next() >> 40) - (1 << 23)) *
           (1.0f / 8388608.0f);
  }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }

 private:
  std::uint64_t s_;
};

inline std::vector<float> noiseBlock(std::size_t n, std::uint64_t seed, float amp = 1.0f) {
  Xorshift rng(seed);
  std::vector<float> v(n);
  for (float& x : v) {
    x = amp * rng.uniform();
  }
  return v;
}

inline std::vector<float> sineBlock(std::size_t n, double freq, double rate, float amp = 1.0f,
                                    std::size_t start = 0) {
  std::vector<float> v(n);
  const double w = 2.0 * 3.141592653589793 * freq / rate;
  for (std::size_t i = 0; i < n; ++i) {
    v[i] = amp * static_cast<float>(std::sin(w * static_cast<double>(start + i)));
  }
  return v;
}

inline bool allFinite(const float* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(p[i])) {
      return false;
    }
  }
  return true;
}

inline float peakAbs(const float* p, std::size_t n) {
  float m = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    m = std::fabs(p[i]) > m ? std::fabs(p[i]) : m;
  }
  return m;
}

inline bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Which samples lie within a fade of `enabled`: every switch of its state
// after the first block starts one, which a comparison with a switch taken
// at once leaves out. A fade lasts one fade length, but a switch on while
// two switches off lie within the last fade length waits for the older of
// their copies of the chain to fade first, up to one fade length more; the
// older switch bounds that wait from above, exactly when both took a copy.
class FadeWindows {
 public:
  explicit FadeWindows(double rate) : length_(bypassFadeLength(rate)) {}
  // How many samples at the start of a block with this enable state fall
  // within a fade; counted from the first block on, one call per block.
  std::size_t skip(bool on, std::size_t n) {
    if (started_ && on != on_) {
      std::size_t start = now_;
      if (!on) {
        offs_[1] = offs_[0];
        offs_[0] = now_;
        offCount_ += offCount_ < 2 ? 1 : 0;
      } else if (offCount_ == 2 && now_ - offs_[1] < length_) {
        start = offs_[1] + length_;
      }
      end_ = start + length_ > end_ ? start + length_ : end_;
    }
    started_ = true;
    on_ = on;
    const std::size_t left = end_ > now_ ? end_ - now_ : 0;
    now_ += n;
    return left < n ? left : n;
  }

 private:
  std::size_t length_;
  std::size_t now_ = 0;
  std::size_t end_ = 0;
  std::size_t offs_[2] = {0, 0};  // the last two switches off, the latest first
  int offCount_ = 0;
  bool started_ = false;
  bool on_ = true;
};
