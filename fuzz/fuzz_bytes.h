// The fuzz targets' input: bytes read front to back as numbers of any bit
// pattern; past the end every read gives zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
  bool empty() const { return n_ == 0; }
  std::uint8_t u8() {
    if (n_ == 0) {
      return 0;
    }
    --n_;
    return *p_++;
  }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      v |= static_cast<std::uint32_t>(u8()) << (8 * i);
    }
    return v;
  }
  std::uint64_t u64() { return u32() | (static_cast<std::uint64_t>(u32()) << 32); }
  float f32() {
    const std::uint32_t bits = u32();
    float f = 0.0f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  }
  double f64() {
    const std::uint64_t bits = u64();
    double d = 0.0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
};
