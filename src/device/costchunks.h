#pragma once
// The host half of the GPU cost evaluation: how the binned reference is cut into chunks,
// how its coordinates are packed, how the bin pivots follow from the first voxel of each
// bin, how a batch is split into launches, and the fixed order in which partial sums are
// added. The kernels in cuda/costfunction.cu follow these definitions (and call the
// __host__ __device__ ones), so everything but the launch itself runs and is tested on
// the CPU.
//
// Grouping of one evaluation (one matrix):
//  - every bin of at least three voxels is cut into chunks of at most kChunkVoxels
//    consecutive voxels; smaller bins contribute nothing and get no chunk;
//  - in a chunk, voxel v (counted from the chunk's start) goes to lane v % 256; each lane
//    adds its samples in voxel order; the 256 lanes are folded by foldLanes;
//  - a bin of one chunk takes that chunk's sums; a bin of several chunks adds them the
//    same way, chunk c to lane c % 256 in chunk order, then foldLanes;
//  - the bins are folded by kern::correlationRatioFromBins.
// Nothing depends on timing or on how many matrices share a launch, so every result is
// reproducible to the bit.
#include <cstdint>
#include <vector>

#include "device/kernels.h"

namespace costchunks {

constexpr uint32_t kLanes = 256;  // threads of one block
constexpr uint32_t kWarpLanes = 32;
constexpr uint32_t kVoxelsPerLane = 16;
constexpr uint32_t kChunkVoxels = kLanes * kVoxelsPerLane;

// ---- partial sums --------------------------------------------------------------------

struct Sums {
    float s, q, n;  // sum of samples, sum of their squares, count
};

TARVO_HD Sums zeroSums() { return Sums{0.0f, 0.0f, 0.0f}; }

// One counted sample: s += f, q = f * f + q (fused), n += 1.
TARVO_HD void addSample(Sums& a, float f) {
    a.s = a.s + f;
    a.q = fmaf(f, f, a.q);
    a.n = a.n + 1.0f;
}

TARVO_HD void addSums(Sums& a, const Sums& b) {
    a.s = a.s + b.s;
    a.q = a.q + b.q;
    a.n = a.n + b.n;
}

// 256 lane sums folded in the block's order: a tree inside each warp of 32 lanes
// (h = 16, 8, 4, 2, 1: lane l adds lane l + h), then the same tree over the 8 warp
// results (h = 4, 2, 1). Overwrites `lanes`.
Sums foldLanes(Sums* lanes);

// Sums of one chunk: counted[v] says whether voxel v's sample f[v] counts.
Sums chunkSums(const float* f, const uint8_t* counted, uint32_t count);

// Sums of one bin from the sums of its chunks, in chunk order.
Sums binSums(const Sums* chunks, uint32_t count);

// ---- packed reference coordinates -----------------------------------------------------
// One 32-bit word per reference voxel: x in bits 0-10, y in 11-21, z in 22-31. The bin
// of a voxel is known from its place in the sorted order, so the evaluation reads 4
// bytes per voxel instead of the 16 of (x, y, z, key).

// True when every voxel index of a grid of these dimensions fits the packing.
TARVO_HD bool coordinatesPack(int64_t x, int64_t y, int64_t z) {
    return x >= 0 && x <= 2048 && y >= 0 && y <= 2048 && z >= 0 && z <= 1024;
}

TARVO_HD uint32_t packVoxel(uint32_t i, uint32_t j, uint32_t k) { return i | (j << 11) | (k << 22); }

// The same floats as (float)(int)i etc.: the indices are small integers.
TARVO_HD kern::V3 unpackVoxel(uint32_t w) {
    return kern::V3{(float)(w & 2047u), (float)((w >> 11) & 2047u), (float)(w >> 22)};
}

// ---- bin pivots from the first voxel of each bin --------------------------------------
// The bin of key w, with everything at or beyond binCount (and keys the binning rejects)
// in one overflow bin, binCount.
TARVO_HD uint32_t cappedBin(float w, uint32_t binWidth, uint32_t binCount) {
    const uint32_t b = kern::binOf(w, binWidth);
    return b < binCount ? b : binCount;
}

// The key the reference voxels are sorted on: the capped bin itself, not the intensity.
// Under the stable sort every bin then keeps its voxels in storage order, as the CPU
// backend groups them, so neighbouring lanes fetch neighbouring texels; and the costs of
// the two backends add the same samples in the same order within a bin.
TARVO_HD float binSortKey(float w, uint32_t binWidth, uint32_t binCount) {
    return (float)cappedBin(w, binWidth, binCount);
}
TARVO_HD uint32_t binOfSortKey(float key) { return (uint32_t)key; }

// firsts[v] (v = 0 .. binCount) is the smallest index of a key whose capped bin is v, or
// any value of at least count when there is none. Gives the pivots of
// bucketsort::binPivots: pivots[k] = smallest index whose capped bin is at least k, or
// count. The device finds the firsts in one pass: index i is a bin's first when i = 0
// or the key before it has another capped bin (the smallest such i per bin wins).
void pivotsFromFirsts(const uint32_t* firsts, int binCount, uint32_t count, uint32_t* pivots);

// ---- chunk table ------------------------------------------------------------------------
// Chunks in bin order, so the chunks of bin b are binFirstChunk[b] .. binFirstChunk[b + 1] - 1.
// Kept in one array so that it travels to the device in one copy:
// begin[chunks], end[chunks], bin[chunks], binFirstChunk[binCount + 1].
struct ChunkTable {
    std::vector<uint32_t> all;
    uint32_t chunks = 0;
    uint32_t binCount = 0;
    uint32_t binsWithChunks = 0;

    const uint32_t* begin() const { return all.data(); }
    const uint32_t* end() const { return all.data() + chunks; }
    const uint32_t* bin() const { return all.data() + 2 * (size_t)chunks; }
    const uint32_t* binFirstChunk() const { return all.data() + 3 * (size_t)chunks; }
};

// pivots: binCount + 1 entries, non-decreasing.
ChunkTable buildChunkTable(const uint32_t* pivots, int binCount, uint32_t chunkVoxels = kChunkVoxels);

// The result of one evaluation from the sums of every chunk (table order).
float ratioFromChunks(const ChunkTable& t, const Sums* chunks);

// ---- launches -----------------------------------------------------------------------------
// Largest grid y of a launch, most matrices one block walks through, and the device
// memory the per-launch sums of a batch may take.
constexpr uint32_t kMaxGridY = 65535;
constexpr uint32_t kMaxMatricesPerBlock = 8;
constexpr uint64_t kBatchBytes = 32ull << 20;

// Device bytes one matrix of a launch needs: its matrix, the sums of every chunk and bin,
// the arrival counters of every bin and of the matrix, its result.
uint64_t bytesPerRow(uint32_t chunks, uint32_t binCount);

// Where the arrays of a launch of `rows` matrices lie in one block of device memory (byte
// offsets, each aligned to kRowAlign): matrices (16 floats a row), chunk sums (float4 per
// row and chunk), bin sums (float4 per row and bin), bin arrivals (uint32 per row and bin),
// matrix arrivals and results (one each per row).
constexpr uint64_t kRowAlign = 256;
struct RowLayout {
    uint64_t matrices = 0, chunkSums = 0, binSums = 0, binArrivals = 0, matrixArrivals = 0, results = 0;
    uint64_t total = 0;
};
RowLayout rowLayout(uint32_t rows, uint32_t chunks, uint32_t binCount);

struct LaunchPlan {
    uint32_t rowsPerLaunch = 1;     // matrices per launch (the last launch may have fewer)
    uint32_t matricesPerBlock = 1;  // matrices one block evaluates, one after the other
};

// A batch of n > 0 matrices over `chunks` > 0 chunks, on a GPU of `multiprocessors`. Blocks
// take several matrices only when the batch gives far more blocks than the GPU holds at once;
// forcedMatricesPerBlock (1 .. 8) overrides that choice, 0 leaves it.
LaunchPlan planLaunches(uint32_t n, uint32_t chunks, uint32_t binCount, uint32_t multiprocessors,
                        uint32_t forcedMatricesPerBlock = 0);

}  // namespace costchunks
