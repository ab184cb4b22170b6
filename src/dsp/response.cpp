#include "response.h"

#include <cmath>

std::complex<double> sectionResponse(const Biquad& s, double w) {
  const std::complex<double> z1 = std::polar(1.0, -w);  // z^-1
  const std::complex<double> z2 = z1 * z1;
  return (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
}

std::complex<double> planResponse(const CascadePlan& plan, double w) {
  std::complex<double> h = static_cast<double>(plan.inputGain);
  for (std::int32_t j = 0; j < plan.count; ++j) {
    if (plan.tracker != nullptr && j == plan.trackerAt) {
      h *= static_cast<double>(plan.trackerGain);  // the tracker itself: no fixed response
    }
    std::complex<double> s = sectionResponse(*plan.sections[j], w);
    if (j == 0 && plan.lowpassFirst) {
      // x + (y - x) * mix
      s = 1.0 + (s - 1.0) * static_cast<double>(plan.lowpassMix);
    }
    h *= s * static_cast<double>(plan.gains[j]);
  }
  if (plan.tracker != nullptr && plan.trackerAt == plan.count) {
    h *= static_cast<double>(plan.trackerGain);
  }
  return h * static_cast<double>(plan.outputGain) * static_cast<double>(plan.levelGain);
}
