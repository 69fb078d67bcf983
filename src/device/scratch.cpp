#include "device/scratch.h"

#include <algorithm>

#include "device/bucketsort.h"
#include "device/costchunks.h"

namespace scratch {

void Ledger::allocated(const void* p, uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++allocations_;
    sizes_[p] = bytes;
    inUse_ += bytes;
    peak_ = std::max(peak_, inUse_);
}

void Ledger::freed(const void* p) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sizes_.find(p);
    if (it == sizes_.end()) return;
    inUse_ -= it->second;
    sizes_.erase(it);
}

Needs sortNeeds(uint64_t refCount) {
    Needs d;
    d.n[RefVoxels] = refCount;
    // The sort's first level is its largest: slices are about size / 50 whatever the keys
    // (sliceGeometry), plus the extra ones and a rounding step; a nested level has fewer
    // elements, so fewer slices and no more chunks.
    const uint64_t slices = refCount / 50 + bucketsort::kExtraSlices + 2;
    const uint64_t chunks = bucketsort::chunkPlan((uint32_t)std::clamp<uint64_t>(refCount, 1, UINT32_MAX)).chunks;
    d.n[SortChunkCounts] = chunks * slices;
    d.n[SortSlices] = slices;
    d.n[SortTables] = 4 * slices + 2;
    return d;
}

Needs pairNeeds(int64_t sx, int64_t sy, int64_t sz, uint64_t refCount, uint64_t hostRows) {
    Needs d = sortNeeds(refCount);
    d.arrayX = (uint64_t)std::max<int64_t>(sx, 0) + 1;
    d.arrayY = (uint64_t)std::max<int64_t>(sy, 0) + 1;
    d.arrayZ = (uint64_t)std::max<int64_t>(sz, 0) + 1;
    d.n[RefCoords] = refCount;
    // Chunks: every bin of the largest bin count cut at kChunkVoxels, one partial each.
    const uint64_t bins = 256, costChunks = refCount / costchunks::kChunkVoxels + bins;
    d.n[ChunkTable] = 3 * costChunks + bins + 1;
    // A launch takes at most kBatchBytes of rows, or one row when a row is larger.
    d.n[Batch] = std::max(costchunks::rowLayout(1, (uint32_t)costChunks, (uint32_t)bins).total,
                          costchunks::kBatchBytes + costchunks::kRowAlign * 6);
    d.n[HostRows] = hostRows;
    return d;
}

Needs cover(const Needs& a, const Needs& b) {
    Needs c;
    for (int s = 0; s < kSlots; ++s) c.n[s] = std::max(a.n[s], b.n[s]);
    c.arrayX = std::max(a.arrayX, b.arrayX);
    c.arrayY = std::max(a.arrayY, b.arrayY);
    c.arrayZ = std::max(a.arrayZ, b.arrayZ);
    return c;
}

std::vector<int> Book::grow(const Needs& need) {
    std::vector<int> out;
    for (int s = 0; s < kSlots; ++s)
        if (need.n[s] > cap_.n[s]) {
            cap_.n[s] = need.n[s];
            out.push_back(s);
        }
    if (need.arrayX > cap_.arrayX || need.arrayY > cap_.arrayY || need.arrayZ > cap_.arrayZ) {
        // A 3D array cannot grow on one axis alone: the new one covers both.
        cap_.arrayX = std::max(cap_.arrayX, need.arrayX);
        cap_.arrayY = std::max(cap_.arrayY, need.arrayY);
        cap_.arrayZ = std::max(cap_.arrayZ, need.arrayZ);
        out.push_back(kSlots);
    }
    return out;
}

}  // namespace scratch
