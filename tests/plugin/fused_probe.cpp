// Linked into nothing: one explicit fused multiply-add, so that a test can
// show check_no_fma.sh recognises it in this architecture's disassembly.
#include <cmath>

#if defined(__x86_64__)
#define FUSED_PROBE_TARGET __attribute__((target("fma")))
#else
#define FUSED_PROBE_TARGET
#endif

FUSED_PROBE_TARGET double fusedProbe(double a, double b, double c) {
  return std::fma(a, b, c);
}
