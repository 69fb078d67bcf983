// Built with -mavx2 -mfma; only called when the processor has both.
#include "device/cpu/simd.h"

void simdChunkSums(const CpuDevice::Pair& p, const float* A, uint32_t begin, uint32_t end, float out[3]) {
    scalarChunkSums(p, A, begin, end, out);
}
