#include "device/bucketsort.h"

#include <algorithm>
#include <cmath>

namespace bucketsort {

SliceGeometry sliceGeometry(float minKey, float maxKey, uint32_t size) {
    SliceGeometry g;
    const float R = maxKey - minKey;
    const float step = (float)((double)R / (double)size * kSliceWidthFactor);
    if (!(R > 0.0f) || !std::isfinite(R) || !(step > 0.0f) || !std::isfinite(step)) return g;
    const float q = R / step;  // about size / 50
    if (!(q >= 0.0f && q < 4.0e9f)) return g;
    g.minKey = minKey;
    g.sliceStep = step;
    g.sliceSize = (uint32_t)q + kExtraSlices;
    return g;
}

bool packSlicesIntoBuckets(const uint32_t* hSliceCounts, uint32_t sliceSize,
                           uint32_t* hBucketOffsets, uint32_t* hBucketOfSlices,
                           uint32_t* hBucketSizes, uint32_t* hSliceOffsetInBucket,
                           uint32_t& bucketsCount) {
    const int64_t cap = kBucketCapacity;
    hBucketOffsets[0] = 0;
    int64_t A = 0;  // running size of the open bucket
    bool overflow = false;
    bucketsCount = 0;
    for (uint32_t i = 0; i < sliceSize; ++i) {
        const uint32_t m = hSliceCounts[i];
        hBucketOfSlices[i] = bucketsCount;
        A += m;
        hBucketSizes[bucketsCount] = (uint32_t)A;
        hSliceOffsetInBucket[i] = (uint32_t)(A - m);
        if (A > cap && i != 0) {
            // The open bucket closes without slice i, which opens the next one.
            hBucketOfSlices[i] = bucketsCount + 1;
            hBucketSizes[bucketsCount] -= m;
            hSliceOffsetInBucket[i] = 0;
            hBucketOffsets[bucketsCount + 1] = hBucketOffsets[bucketsCount] + (uint32_t)(A - m);
            ++bucketsCount;
            A = m;
            hBucketSizes[bucketsCount] = m;
        }
        if (A > cap && i == 0) {
            // Slice 0 alone overfills the first bucket: it closes with the slice in it.
            hBucketOffsets[bucketsCount + 1] = hBucketOffsets[bucketsCount] + (uint32_t)A;
            hSliceOffsetInBucket[0] = 0;
            ++bucketsCount;
            A = 0;
        }
        if (m > kBucketCapacity) overflow = true;
    }
    ++bucketsCount;  // the last open bucket
    return overflow;
}

BucketTables packBuckets(const std::vector<uint32_t>& sliceCounts) {
    BucketTables t;
    t.sliceSize = (uint32_t)sliceCounts.size();
    t.all.assign(4 * (size_t)t.sliceSize + 2, 0u);
    t.overflow = packSlicesIntoBuckets(sliceCounts.data(), t.sliceSize, t.bucketOffsets(),
                                       t.bucketOfSlices(), t.bucketSizes(),
                                       t.sliceOffsetInBucket(), t.bucketsCount);
    return t;
}

ChunkPlan chunkPlan(uint32_t size) {
    // Enough chunks to keep a GPU busy on a 1 mm head (about 128 warps), few enough that
    // the per-chunk slice counts (chunks x slices, slices ~ size / 50) stay near 10 bytes
    // an element; a chunk is never shorter than 8192 elements.
    constexpr uint32_t kMinChunk = 8192, kMaxChunks = 128;
    ChunkPlan p;
    uint64_t chunks = ((uint64_t)size + kMinChunk - 1) / kMinChunk;
    chunks = std::clamp<uint64_t>(chunks, 1, kMaxChunks);
    uint64_t len = ((uint64_t)size + chunks - 1) / chunks;
    len = (len + 31) / 32 * 32;
    p.chunkLen = (uint32_t)len;
    p.chunks = (uint32_t)(((uint64_t)size + len - 1) / len);
    if (p.chunks == 0) p.chunks = 1;
    return p;
}

namespace {

// One level over elements [first, first + size) whose key extremes are known.
void sortLevel(BucketSortLevelOps& ops, uint32_t first, uint32_t size, float minKey, float maxKey) {
    if (maxKey == minKey) return;  // all keys equal: already in order
    const SliceGeometry g = sliceGeometry(minKey, maxKey, size);
    if (g.sliceSize == 0) return;  // keys the sort does not support (not finite)
    const ChunkPlan plan = chunkPlan(size);
    std::vector<uint32_t> counts(g.sliceSize);
    ops.countSlices(first, size, g, plan, counts.data());
    const BucketTables t = packBuckets(counts);
    ops.scatterAndSortBuckets(first, size, g, plan, t);
    if (!t.overflow) return;
    // A bucket of more than 512 elements is a single slice, so its key range is about one
    // slice width and the next level splits it finely; a bucket of equal keys (the common
    // case: background, repeated intensities) ends there. A bucket as large as the whole
    // level cannot occur with finite keys; the guard keeps unsupported keys from recursing
    // forever.
    std::vector<uint32_t> firsts, sizes;
    for (uint32_t b = 0; b < t.bucketsCount; ++b) {
        const uint32_t n = t.bucketSizes()[b];
        if (n > kBucketCapacity && n < size) {
            firsts.push_back(first + t.bucketOffsets()[b]);
            sizes.push_back(n);
        }
    }
    if (firsts.empty()) return;
    std::vector<float> mins, maxs;
    ops.keyExtremes(firsts, sizes, mins, maxs);
    for (size_t i = 0; i < firsts.size(); ++i) sortLevel(ops, firsts[i], sizes[i], mins[i], maxs[i]);
}

}  // namespace

void bucketSortRange(BucketSortLevelOps& ops, uint32_t first, uint32_t size) {
    if (size < 2) return;
    std::vector<float> mins, maxs;
    ops.keyExtremes({first}, {size}, mins, maxs);
    sortLevel(ops, first, size, mins[0], maxs[0]);
}

void binPivots(const float* sortedKeys, uint32_t count, int binCount, uint32_t* pivots) {
    const uint32_t width = 256u / (uint32_t)binCount;
    pivots[0] = 0;
    uint32_t i = 0;
    for (uint32_t k = 1; k <= (uint32_t)binCount; ++k) {
        while (i < count && kern::binOf(sortedKeys[i], width) < k) ++i;
        pivots[k] = i;
    }
}

}  // namespace bucketsort
