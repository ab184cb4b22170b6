// The second-order section on its own: exact identities of the designs,
// measured against the analytic response, state carried over a redesign.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "dsp/biquad.h"

namespace {

constexpr double kPi = 3.141592653589793;

Biquad fresh() {
  Biquad b{};
  b.clearState();
  return b;
}

void sincosOf(double w0, double& s, double& c) {
  s = std::sin(w0);
  c = std::cos(w0);
}

TEST(Biquad, NotchIdentities) {
  double s = 0;
  double c = 0;
  sincosOf(2 * kPi * 60.0 / 48000.0, s, c);
  Biquad b = fresh();
  b.designNotch(c, s / 36.0);
  EXPECT_EQ(b.b0, b.b2);
  EXPECT_EQ(b.b1, b.a1);
}

TEST(Biquad, PeakAtUnityAmplitudeIsFlat) {
  double s = 0;
  double c = 0;
  sincosOf(2 * kPi * 1000.0 / 48000.0, s, c);
  Biquad b = fresh();
  b.designPeak(c, s / 1.4, 1.0);
  EXPECT_EQ(b.b0, 1.0);
  EXPECT_EQ(b.b1, b.a1);
  // The quotient and the reciprocal product may round one ulp apart.
  EXPECT_LE(std::fabs(b.b2 - b.a2), std::fabs(std::nextafter(b.a2, 2.0) - b.a2));
}

}  // namespace
