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
// Adds voxels [v, end) of a chunk to the eight lanes, voxel v going to lane `lane`, the
// next to lane + 1 and so on; then folds the lanes into out (s, q, n). The scalar path is
// this alone; the vector path uses it for the tail of a chunk.
void scalarLanesAndFold(const CpuDevice::Pair& p, const float* A, uint32_t v, uint32_t end, int lane,
                        float s[8], float q[8], float n[8], float out[3]);
// AVX2 and FMA present and not switched off with TARVO_SIMD=0.
bool simdAvailable();
