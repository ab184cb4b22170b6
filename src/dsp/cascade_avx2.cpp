// Built with -mavx2 (no FMA: products and sums stay separately rounded).
#define CASCADE_ISA_NS cascade_avx2
#include "cascade_dispatch.h"
#include "cascade_isa_x86.h"
#include "cascade_kernel.h"

void runPipelinedAvx2(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                      float level) {
  cascade_avx2::runPipelined<IsaAvx2>(plan, in, out, n, level);
}
