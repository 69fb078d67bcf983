#pragma once
// The host half of the GPU bucket sort: slice geometry, packing slices into buckets of
// at most 512 elements, and the per-level driver with its recursion into buckets that a
// single slice overfills. The device half (cuda/bucketsort.cu) supplies the per-level kernels
// through BucketSortLevelOps, so all the bookkeeping here runs (and is tested) on the
// CPU as well.
//
// The order of equal keys is fixed: they keep their order of arrival. Each level
// scatters elements into their slices stably, the bucket network breaks ties by position
// inside the bucket, and a bucket that is sorted again one level down is left in scatter
// order. So a level's input is always in original order among equal keys, and so is its
// output.
#include <cstdint>
#include <vector>

#include "device/kernels.h"

namespace bucketsort {

// Largest bucket the in-block bitonic network sorts whole.
constexpr uint32_t kBucketCapacity = 512;
// Average slice population aimed at, and slices added beyond the key range for rounding.
constexpr double kSliceWidthFactor = 50.0;
constexpr uint32_t kExtraSlices = 10;
// Key of the empty lanes of the bitonic network (bits 0x4DFC0000): sorts behind every key
// the sort supports.
constexpr float kFillerKey = 528482304.0f;

struct SliceGeometry {
    float minKey = 0.0f;     // the level's smallest key: slice 0 starts here
    float sliceStep = 0.0f;  // key width of one slice
    uint32_t sliceSize = 0;  // slice count; 0 when the keys cannot be sliced (not finite)
};

// sliceStep = (R / size) * 50 in double, rounded once to float, with R = maxKey - minKey in
// float; sliceSize = trunc(R / sliceStep) + 10.
SliceGeometry sliceGeometry(float minKey, float maxKey, uint32_t size);

// Slice of key w: trunc((w - minKey) / sliceStep). Clamped into the table so that keys the
// sort does not support (NaN, infinities) cannot index outside it.
TARVO_HD uint32_t sliceOf(float w, float minKey, float sliceStep, uint32_t sliceSize) {
    const float q = (w - minKey) / sliceStep;
    if (!(q >= 0.0f)) return 0;
    if (q >= (float)(sliceSize - 1)) return sliceSize - 1;
    return (uint32_t)q;
}

// Ascending order of the bitonic network on (key, position in bucket): a total order,
// so the network's result does not depend on how equal keys meet.
TARVO_HD bool sortsBefore(float wa, uint32_t pa, float wb, uint32_t pb) {
    return wa < wb || (wa == wb && pa < pb);
}

// One compare-exchange of the bitonic network: lanes t and p = t ^ j (p > t) at stage k
// swap when they are out of order for the direction of the stage.
TARVO_HD bool bitonicSwaps(uint32_t t, uint32_t k, float wt, uint32_t pt, float wp, uint32_t pp) {
    return (t & k) == 0 ? sortsBefore(wp, pp, wt, pt) : sortsBefore(wt, pt, wp, pp);
}

// Packs consecutive slices into buckets of at most 512 elements; a slice of more than 512
// elements gets a bucket of its own (which may leave an empty bucket before it). The
// per-bucket tables must hold sliceSize + 1 entries, the per-slice ones sliceSize.
// hBucketSizes and hSliceOffsetInBucket must be zero on entry. Returns true when some slice
// holds more than 512 elements.
bool packSlicesIntoBuckets(const uint32_t* hSliceCounts, uint32_t sliceSize,
                           uint32_t* hBucketOffsets, uint32_t* hBucketOfSlices,
                           uint32_t* hBucketSizes, uint32_t* hSliceOffsetInBucket,
                           uint32_t& bucketsCount);

// The four tables of one level, contiguous so they travel to the device in one copy:
// bucketOfSlices[sliceSize], sliceOffsetInBucket[sliceSize], bucketOffsets[sliceSize + 1],
// bucketSizes[sliceSize + 1].
struct BucketTables {
    std::vector<uint32_t> all;
    uint32_t sliceSize = 0;
    uint32_t bucketsCount = 0;
    bool overflow = false;

    uint32_t* bucketOfSlices() { return all.data(); }
    uint32_t* sliceOffsetInBucket() { return all.data() + sliceSize; }
    uint32_t* bucketOffsets() { return all.data() + 2 * (size_t)sliceSize; }
    uint32_t* bucketSizes() { return all.data() + 3 * (size_t)sliceSize + 1; }
    const uint32_t* bucketOfSlices() const { return all.data(); }
    const uint32_t* sliceOffsetInBucket() const { return all.data() + sliceSize; }
    const uint32_t* bucketOffsets() const { return all.data() + 2 * (size_t)sliceSize; }
    const uint32_t* bucketSizes() const { return all.data() + 3 * (size_t)sliceSize + 1; }
};
BucketTables packBuckets(const std::vector<uint32_t>& sliceCounts);

// How one level splits its elements into contiguous chunks for the stable scatter: each
// chunk is scattered in order by one worker, and its per-slice counts are kept apart from
// the other chunks' so the scatter can start each chunk at the right place in each slice.
struct ChunkPlan {
    uint32_t chunkLen = 0;  // a multiple of 32 (one warp's step)
    uint32_t chunks = 0;
};
ChunkPlan chunkPlan(uint32_t size);

// What one level needs from the device. `first` is the level's element offset in the
// caller's array, `size` its element count.
class BucketSortLevelOps {
public:
    virtual ~BucketSortLevelOps() = default;
    // Smallest and largest key of each range [firsts[i], firsts[i] + sizes[i]) (every size at
    // least 2): the crowded buckets of a level are asked about together.
    virtual void keyExtremes(const std::vector<uint32_t>& firsts, const std::vector<uint32_t>& sizes,
                             std::vector<float>& minKeys, std::vector<float>& maxKeys) = 0;
    // Element count of every slice (sliceCounts has g.sliceSize entries), and whatever the
    // scatter needs to place each chunk's elements after the earlier chunks' ones.
    virtual void countSlices(uint32_t first, uint32_t size, const SliceGeometry& g,
                             const ChunkPlan& plan, uint32_t* sliceCounts) = 0;
    // Stable scatter of the range into bucket order, then every bucket of at most 512
    // elements sorted on (key, position in bucket); larger buckets stay in scatter order.
    virtual void scatterAndSortBuckets(uint32_t first, uint32_t size, const SliceGeometry& g,
                                       const ChunkPlan& plan, const BucketTables& t) = 0;
};

// Sorts elements [first, first + size) by key, equal keys in their original order.
void bucketSortRange(BucketSortLevelOps& ops, uint32_t first, uint32_t size);

// Bin pivots of keys sorted ascending: pivots[k] (k = 0 .. binCount) is the index of the first
// key whose bin (kern::binOf, width 256 / binCount) is at least k, or count when none is.
void binPivots(const float* sortedKeys, uint32_t count, int binCount, uint32_t* pivots);

}  // namespace bucketsort
