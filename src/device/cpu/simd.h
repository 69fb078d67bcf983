#pragma once
#include <cstddef>
#include <cstdint>

#include "device/cpu/costpair.h"

// Per-chunk cost sums, three floats (s, q, n) per chunk into out. Both paths keep eight
// running lanes per chunk (voxel v of the chunk goes to lane v % 8) and fold them with
// foldLanes8, so the vector path gives the scalar path's result bit for bit.
void scalarChunkSums(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                     float* out);
void simdChunkSums(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                   float* out);
// Folds eight lanes (h = 4, 2, 1: lane l adds lane l + h) into out (s, q, n).
void foldLanes8(float s[8], float q[8], float n[8], float out[3]);
// AVX2 and FMA present and not switched off with TARVO_SIMD=0.
bool simdAvailable();
