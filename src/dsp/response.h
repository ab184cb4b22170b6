// The frequency response of one block's plan: what the sections that run, the
// low-pass blend's mix, the stage gains and the output level do to a steady
// sine. For drawing the chain (the UI); the plug-in itself never needs it.
#pragma once

#include <complex>

#include "biquad.h"
#include "cascade.h"

// One section at angular frequency w (radians per sample).
std::complex<double> sectionResponse(const Biquad& s, double w);

// The whole plan at w, the output level and its sign included.
std::complex<double> planResponse(const CascadePlan& plan, double w);
