// The tracker's work (per sample, per frame, per slow tick) compiled for
// AVX2, picked at instantiation on CPUs that have it.
#define TRACKER_ISA_NS tracker_avx2
#include "hum_tracker_kernel.h"

void humTrackerRunAvx2(HumTracker& t, const float* in, float* out, std::uint32_t n,
                       const TrackerLead* lead) {
  tracker_avx2::runLed(t, in, out, n, lead);
}

bool humTrackerFiniteAvx2(const HumTracker& t) {
  return tracker_avx2::stateFinite(t);
}
