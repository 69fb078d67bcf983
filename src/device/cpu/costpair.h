#pragma once
// The CPU backend's prepared cost: the reference and the pair, as the cost files
// (costfunction.cpp, cost_scalar.cpp, cost_avx2.cpp) and the tests that look inside them
// see them. Private to the backend: nothing outside src/device/cpu includes it but tests.
#include <cstdint>
#include <memory>
#include <vector>

#include "device/cpu/threadpool.h"
#include "device/device.h"

namespace cpucost { struct Chunk; struct Tile; struct Task; struct Reference; struct Pair; }

// The prepared reference, shared by every pair made with it. It is cut into cubic tiles; a tile's voxels are
// grouped by bin, in storage order inside a bin, and stored as coordinates only (the
// bin is known from the chunk). Visiting the reference tile by tile keeps the source
// positions of a stretch of work inside a small box whatever the rotation, so the
// samples come from the core's own cache rather than from memory.
struct cpucost::Chunk {
    uint32_t bin, begin, end;  // voxels [begin, end) of px, py, pz, all in `bin`
    uint32_t tile = 0;         // index into Reference::tiles
};
// The reference voxel box a tile covers (inclusive bounds).
struct cpucost::Tile {
    float lo[3], hi[3];
};
struct cpucost::Task {
    uint32_t first, last;  // chunks [first, last): one hand-out to a worker
};
struct cpucost::Reference final : PreparedReference {
    float refC[3] = {0, 0, 0};  // truncated reference centre
    int binCount = 0;
    // Cumulative bin sizes, as the GPU's pivots: bin k holds pivots[k + 1] - pivots[k]
    // voxels (which lie in several tiles here).
    std::vector<uint32_t> pivots;  // binCount + 1
    std::vector<float> px, py, pz;
    std::vector<Chunk> chunks;  // tile by tile; only bins of three voxels or more
    std::vector<Tile> tiles;
    std::vector<Task> tasks;
};
// The prepared pair: a source with a shared reference.
struct cpucost::Pair {
    std::vector<float> src;  // copy of the source voxels
    // Linear pairs on the vector path: each row of the source with its first and last
    // voxel repeated (rows of sx + 2), so that the two x-neighbours of a trilinear
    // sample, clamping included, are one 64-bit load at row + floor(x - 0.5) + 1.
    std::vector<float> rowsPadded;
    // The vector path asks for the rows of samples ahead of their turn: set for
    // sources larger than the last-level cache holds (see initCorrelationRatio).
    bool prefetch = false;
    // Beside the padded rows of prefetched sources, one bit per offset: set where a
    // trilinear sample from that offset reads only zeros (its two pairs in this row
    // and the next, in this slice and the next), so that the vector path counts such
    // samples without reading them. A head's background is often exactly zero: about
    // two in five samples inside the source at 1 mm for the subject and template pair.
    // Bit o is bit o % 32 of word o / 32; empty when not used.
    std::vector<uint32_t> zeroCubes;
    int sx = 0, sy = 0, sz = 0;
    bool linear = true;
    kern::TextureRules rules;
    const float* srcMask = nullptr;  // the moving mask on the source grid, or null
    float srcC[3] = {0, 0, 0};
    // Which blocks of kNonzeroBlock^3 source voxels hold anything but zeros, as a summed
    // table of (bx + 1) (by + 1) (bz + 1) counts; empty when a moving mask decides
    // which samples count. See sampleFreeSums.
    std::vector<uint32_t> nonzeroBlocks;
    int bx = 0, by = 0, bz = 0;
    std::shared_ptr<const Reference> ref;
    std::vector<float> partials;  // scratch: 3 floats per (matrix, chunk)
};

// Fills p.zeroCubes from p.rowsPadded (done for prefetched sources).
void markZeroCubes(cpucost::Pair& p, ThreadPool& pool);

// Edge of the blocks of Pair::nonzeroBlocks, in voxels.
constexpr int kNonzeroBlock = 4;

// What a tile's chunks sum to under one matrix when that is known without sampling:
//   Outside: every position falls outside the source, so nothing counts (0, 0, 0);
//   Zero: every position falls inside, more than a voxel from the faces, where all the
//   voxels a sample reads are zero, so each voxel adds exactly 0, 0 and 1 (0, 0, count).
// Decided in double from the tile's corners with a voxel to spare on every side, which must
// exceed what the positions' rounding in float can reach (matrices of huge terms are
// sampled). Sample otherwise.
enum class TileSums { Sample, Outside, Zero };
TileSums sampleFreeSums(const cpucost::Pair& p, const cpucost::Tile& t, const float* A);

// Sums (s, q, n) of `count` chunks for one matrix, three floats per chunk into out.
void cpuChunkSums(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                  float* out);
