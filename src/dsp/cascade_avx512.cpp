// Built with -mavx512f; -ffp-contract=off keeps products and sums separately
// rounded although the instruction set has fused multiply-adds.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's own AVX-512 headers trip this warning (their "undefined" vectors).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#define CASCADE_ISA_NS cascade_avx512
#include "cascade_dispatch.h"
#include "cascade_isa_x86.h"
#include "cascade_kernel.h"

void runPipelinedAvx512(const CascadePlan& plan, const float* in, float* out, std::uint32_t n,
                        float level) {
  cascade_avx512::runPipelined<IsaAvx512>(plan, in, out, n, level);
}
