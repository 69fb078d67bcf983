#pragma once
#include <cstdint>

#include "device/cpu/cpu_device.h"

// Per-chunk cost sums. Both paths keep eight running lanes (voxel v of the chunk goes to
// lane v % 8) and fold them the same way, so the vector path gives the scalar path's
// result bit for bit.
void scalarChunkSums(const CpuDevice::Pair& p, const float* A, uint32_t begin, uint32_t end,
                     float out[3]);
void simdChunkSums(const CpuDevice::Pair& p, const float* A, uint32_t begin, uint32_t end,
                   float out[3]);
// AVX2 and FMA present and not switched off with TARVO_SIMD=0.
bool simdAvailable();
