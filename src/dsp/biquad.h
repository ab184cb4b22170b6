// Second-order section in transposed direct form II with double-precision
// coefficients and state, plus the cookbook designs that all stages share.
#pragma once

#include <cmath>

struct Biquad {
  double b0;
  double b1;
  double b2;
  double a1;
  double a2;
  double z1;
  double z2;

  // The state is updated from the unrounded y even when the caller rounds
  // the value it passes on to float.
  double process(double x) {
    const double y = b0 * x + z1;
    z1 = (b1 * x + z2) - a1 * y;
    z2 = b2 * x - a2 * y;
    return y;
  }

  void clearState() {
    z1 = 0.0;
    z2 = 0.0;
  }

  // Below this a state word is set to +0 at block end. Decaying toward
  // silence, the state would otherwise end in a subnormal limit cycle that
  // never reaches zero, and operations on subnormals cost a microcode assist
  // on many CPUs. Its only possible effect on the output is the sign of a
  // zero: a section's input is a float, so either exactly zero or at least
  // 1.4e-45 in magnitude, and b0 * x then exceeds 1e-60 for every design;
  // a word below 1e-200, even grown 1e4 times by a resonance's transient,
  // is under a quarter of an ulp of that and vanishes exactly in the first
  // sum. While the input stays exactly zero, outputs built from such words
  // stay below 1e-180 and round to a float zero either way.
  static constexpr double kStateFloor = 1e-200;
  static constexpr double kLargest = 1.7976931348623157e308;

  // Block end, for a section that ran: a NaN or an infinity would stay in
  // the state for good, so both words go; words below kStateFloor become +0.
  // Other finite state is left untouched.
  void settleState() {
    const double m1 = std::fabs(z1);
    const double m2 = std::fabs(z2);
    // The common case in four comparisons (a NaN fails them all).
    if (m1 >= kStateFloor && m2 >= kStateFloor && m1 <= kLargest && m2 <= kLargest) {
      return;
    }
    if (!std::isfinite(z1) || !std::isfinite(z2)) {
      clearState();
      return;
    }
    if (std::fabs(z1) < kStateFloor) {
      z1 = 0.0;
    }
    if (std::fabs(z2) < kStateFloor) {
      z2 = 0.0;
    }
  }

  bool coefficientsFinite() const {
    return std::isfinite(b0) && std::isfinite(b1) && std::isfinite(b2) && std::isfinite(a1) &&
           std::isfinite(a2);
  }

  // One sample of the low-pass blend that runs on this section: its output,
  // rounded to float, mixed with its input by `mix`.
  float blend(float x, float mix) {
    const float r = static_cast<float>(process(static_cast<double>(x)));
    return x + (r - x) * mix;
  }

  // Each design writes the five normalised coefficients and leaves z1/z2
  // alone, so a redesign carries the state over. c = cos w0; alpha and beta
  // are formed by the caller from sin w0.
  void designNotch(double c, double alpha);
  void designLowpass(double c, double alpha);
  void designPeak(double c, double alpha, double A);
  void designLowShelf(double c, double A, double beta);
  void designHighShelf(double c, double A, double beta);

 private:
  void store(double rb0, double rb1, double rb2, double ra0, double ra1, double ra2);
};

// Decibels to linear amplitude, entirely in float.
float dbToGain(float d);
