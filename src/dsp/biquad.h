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

  // One NaN or infinity at the input would otherwise stay in the state for
  // good; finite state is left untouched.
  void clearIfNotFinite() {
    if (!std::isfinite(z1) || !std::isfinite(z2)) {
      clearState();
    }
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
