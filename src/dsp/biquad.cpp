#include "biquad.h"

#include <cmath>

void Biquad::store(double rb0, double rb1, double rb2, double ra0, double ra1, double ra2) {
  b0 = rb0 / ra0;
  b1 = rb1 / ra0;
  b2 = rb2 / ra0;
  a1 = ra1 / ra0;
  // a2 is scaled by a separately computed reciprocal, not divided: keep it so,
  // the stored bits depend on it.
  const double r = 1.0 / ra0;
  a2 = ra2 * r;
}

void Biquad::designNotch(double c, double alpha) {
  store(1.0, -2.0 * c, 1.0, 1.0 + alpha, -2.0 * c, 1.0 - alpha);
}

void Biquad::designLowpass(double c, double alpha) {
  const double omc = 1.0 - c;
  store(omc / 2.0, omc, omc / 2.0, 1.0 + alpha, -2.0 * c, 1.0 - alpha);
}

void Biquad::designPeak(double c, double alpha, double A) {
  store(1.0 + alpha * A, -2.0 * c, 1.0 - alpha * A, 1.0 + alpha / A, -2.0 * c, 1.0 - alpha / A);
}

void Biquad::designLowShelf(double c, double A, double beta) {
  const double ap1 = A + 1.0;
  const double am1 = A - 1.0;
  store(A * ((ap1 - am1 * c) + beta), (2.0 * A) * (am1 - ap1 * c), A * ((ap1 - am1 * c) - beta),
        (ap1 + am1 * c) + beta, -2.0 * (am1 + ap1 * c), (ap1 + am1 * c) - beta);
}

void Biquad::designHighShelf(double c, double A, double beta) {
  const double ap1 = A + 1.0;
  const double am1 = A - 1.0;
  store(A * ((ap1 + am1 * c) + beta), (-2.0 * A) * (am1 + ap1 * c), A * ((ap1 + am1 * c) - beta),
        (ap1 - am1 * c) + beta, 2.0 * (am1 - ap1 * c), (ap1 - am1 * c) - beta);
}

float dbToGain(float d) {
  return std::exp((d * 0.05f) * 2.3025851f);
}
