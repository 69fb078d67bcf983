// The device half of the bucket sort: key extremes by pairwise halving, per-chunk slice
// counts, the stable scatter into buckets, and the 512-wide bitonic network. The level
// driver and the bucket packing are host code (device/bucketsort.h).
#include <cuda_runtime.h>

#include <vector>

#include "device/bucketsort.h"
#include "device/cuda/bucketsort.h"
#include "device/cuda/devmem.h"
#include "device/cuda/errors.h"

namespace {

using bucketsort::ChunkPlan;
using bucketsort::SliceGeometry;

constexpr unsigned kThreads = 512;
constexpr unsigned kScatterThreads = 128;  // four warps, one chunk each

unsigned blocksFor(size_t n, unsigned threads) { return (unsigned)((n + threads - 1) / threads); }

// (w, w) of every element: the running minimum and maximum of the halving.
__global__ void keyPairsD(const float4* __restrict__ data, float2* __restrict__ mm, unsigned size) {
    const unsigned i = blockIdx.x * kThreads + threadIdx.x;
    if (i >= size) return;
    const float w = data[i].w;
    mm[i] = make_float2(w, w);
}

// One halving step: entry i keeps the smaller minimum and the larger maximum of entries
// i and i + n (a NaN loses to whatever it meets second).
__global__ void reduceMinMaxD(float2* mm, unsigned n, unsigned prevN) {
    const unsigned i = blockIdx.x * kThreads + threadIdx.x;
    const unsigned j = i + n;
    if (j >= prevN) return;
    float2 a = mm[i];
    const float2 b = mm[j];
    a.x = a.x < b.x ? a.x : b.x;
    a.y = a.y > b.y ? a.y : b.y;
    mm[i] = a;
}

// Key extremes of many ranges at once, one block per range (ranges[b] = (first, size)):
// the crowded buckets of a level, most of them runs of one key.
__global__ void __launch_bounds__(kThreads)
rangeExtremesD(const float4* __restrict__ data, const uint2* __restrict__ ranges, float2* extremes) {
    __shared__ float sMin[kThreads], sMax[kThreads];
    const uint2 r = ranges[blockIdx.x];
    const unsigned t = threadIdx.x;
    float mn = data[r.x].w, mx = mn;
    for (unsigned i = t; i < r.y; i += kThreads) {
        const float w = data[r.x + i].w;
        mn = w < mn ? w : mn;
        mx = w > mx ? w : mx;
    }
    sMin[t] = mn;
    sMax[t] = mx;
    __syncthreads();
    for (unsigned h = kThreads / 2; h > 0; h /= 2) {
        if (t < h) {
            sMin[t] = sMin[t + h] < sMin[t] ? sMin[t + h] : sMin[t];
            sMax[t] = sMax[t + h] > sMax[t] ? sMax[t + h] : sMax[t];
        }
        __syncthreads();
    }
    if (t == 0) extremes[blockIdx.x] = make_float2(sMin[0], sMax[0]);
}

// Slice counts per chunk, chunk-major (counts[c * sliceSize + s]). The atomics only count,
// so the totals do not depend on timing.
__global__ void countSlicesD(const float4* __restrict__ data, unsigned size, SliceGeometry g,
                             unsigned chunkLen, unsigned* __restrict__ counts) {
    const unsigned i = blockIdx.x * kThreads + threadIdx.x;
    if (i >= size) return;
    const unsigned s = bucketsort::sliceOf(data[i].w, g.minKey, g.sliceStep, g.sliceSize);
    atomicAdd(&counts[(size_t)(i / chunkLen) * g.sliceSize + s], 1u);
}

// Per slice: turns the chunk counts into where each chunk starts inside the slice, and
// writes the slice's total.
__global__ void chunkStartsD(unsigned* __restrict__ counts, unsigned sliceSize, unsigned chunks,
                             unsigned* __restrict__ dSliceCounts) {
    const unsigned s = blockIdx.x * blockDim.x + threadIdx.x;
    if (s >= sliceSize) return;
    unsigned run = 0;
    for (unsigned c = 0; c < chunks; ++c) {
        const size_t at = (size_t)c * sliceSize + s;
        const unsigned m = counts[at];
        counts[at] = run;
        run += m;
    }
    dSliceCounts[s] = run;
}

// Stable scatter: one warp walks one chunk in order, 32 elements a step. Lanes of equal
// slice rank themselves by lane; the lowest of them advances the chunk's running start in
// that slice. So every slice receives its elements in their original order.
__global__ void __launch_bounds__(kScatterThreads)
assignElementToBucketD(const float4* __restrict__ src, float4* __restrict__ dst, unsigned size,
                       SliceGeometry g, ChunkPlan plan, unsigned* chunkStarts,
                       const unsigned* __restrict__ tables) {
    const unsigned chunk = (blockIdx.x * kScatterThreads + threadIdx.x) / 32;
    const unsigned lane = threadIdx.x & 31;
    if (chunk >= plan.chunks) return;  // whole warps only
    const unsigned* tBucketOfSlices = tables;
    const unsigned* tSliceOffsetInBucket = tables + g.sliceSize;
    const unsigned* tBucketOffsets = tables + 2 * (size_t)g.sliceSize;
    volatile unsigned* start = chunkStarts + (size_t)chunk * g.sliceSize;
    const unsigned begin = chunk * plan.chunkLen;
    const unsigned end = (unsigned)min((unsigned long long)size, (unsigned long long)begin + plan.chunkLen);
    for (unsigned base = begin; base < end; base += 32) {
        const unsigned i = base + lane;
        const bool active = i < end;
        float4 e = make_float4(0.0f, 0.0f, 0.0f, 0.0f);
        unsigned s = 0xffffffffu;  // no slice has this number
        if (active) {
            e = src[i];
            s = bucketsort::sliceOf(e.w, g.minKey, g.sliceStep, g.sliceSize);
        }
        const unsigned same = __match_any_sync(0xffffffffu, s);
        const unsigned before = active ? start[s] : 0u;
        __syncwarp();
        if (active) {
            const unsigned rank = __popc(same & ((1u << lane) - 1u));
            if (rank == 0) start[s] = before + __popc(same);
            const unsigned b = __ldg(&tBucketOfSlices[s]);
            dst[__ldg(&tBucketOffsets[b]) + __ldg(&tSliceOffsetInBucket[s]) + before + rank] = e;
        }
        __syncwarp();
    }
}

// One block per bucket: the bucket sorted whole in shared memory on (key, position), so
// equal keys stay in scatter order. Buckets of more than 512 elements (a single crowded
// slice) are left for the next level.
__global__ void __launch_bounds__(kThreads)
bitonicSortD(float4* data, const unsigned* __restrict__ tBucketSizes,
             const unsigned* __restrict__ tBucketOffsets) {
    __shared__ float4 shared[kThreads];
    __shared__ unsigned slot[kThreads];
    const unsigned count = __ldg(&tBucketSizes[blockIdx.x]);
    const unsigned offset = __ldg(&tBucketOffsets[blockIdx.x]);
    if (count < 2 || count > kThreads) return;  // the whole block leaves together
    const unsigned t = threadIdx.x;
    const float f = bucketsort::kFillerKey;
    shared[t] = t < count ? data[offset + t] : make_float4(f, f, f, f);
    slot[t] = t;
    __syncthreads();
    for (unsigned k = 2; k <= kThreads; k *= 2) {
        for (unsigned j = k / 2; j > 0; j /= 2) {
            const unsigned p = t ^ j;
            if (p > t && bucketsort::bitonicSwaps(t, k, shared[t].w, slot[t], shared[p].w, slot[p])) {
                const float4 e = shared[t];
                shared[t] = shared[p];
                shared[p] = e;
                const unsigned q = slot[t];
                slot[t] = slot[p];
                slot[p] = q;
            }
            __syncthreads();
        }
    }
    if (t < count) data[offset + t] = shared[t];
}

// The device steps of one sort, with scratch shared by all its levels: a nested level
// runs only after its parent has copied its result back, so the scratch is free again
// (and small enough: a level of n elements has at most n / 512 crowded buckets, whose
// ranges and extremes take 16 bytes each of the 16 n bytes of dTmpData).
class CudaLevelOps final : public bucketsort::BucketSortLevelOps {
public:
    CudaLevelOps(float4* dData, uint32_t size, SortScratch& s) : dData_(dData), s_(s), dTmpData(nullptr) {
        devmem::growDevice(s_.dTmpData, s_.tmpCap, size, s_.ledger);
        dTmpData = s_.dTmpData;
    }

    void keyExtremes(const std::vector<uint32_t>& firsts, const std::vector<uint32_t>& sizes,
                     std::vector<float>& minKeys, std::vector<float>& maxKeys) override {
        const size_t count = firsts.size();
        std::vector<float2> extremes(count);
        if (count == 1) {
            // One range (a whole level): pairwise halving over all of it, on every core.
            float2* mm = reinterpret_cast<float2*>(dTmpData);  // half of the scatter area
            const uint32_t size = sizes[0];
            keyPairsD<<<blocksFor(size, kThreads), kThreads>>>(dData_ + firsts[0], mm, size);
            unsigned prevN = size, n = (size + 1) / 2;
            while (n > 0) {
                reduceMinMaxD<<<blocksFor(n, kThreads), kThreads>>>(mm, n, prevN);
                prevN = n;
                n = (n % 2 == 0 || n == 1) ? n / 2 : n / 2 + 1;
            }
            checkCudaCall(cudaMemcpy(extremes.data(), mm, sizeof(float2), cudaMemcpyDeviceToHost));
        } else {
            // Many ranges: one block each, one copy each way.
            std::vector<uint2> ranges(count);
            for (size_t i = 0; i < count; ++i) ranges[i] = make_uint2(firsts[i], sizes[i]);
            uint2* dRanges = reinterpret_cast<uint2*>(dTmpData);
            float2* dExtremes = reinterpret_cast<float2*>(dRanges + count);
            checkCudaCall(cudaMemcpy(dRanges, ranges.data(), sizeof(uint2) * count, cudaMemcpyHostToDevice));
            rangeExtremesD<<<(unsigned)count, kThreads>>>(dData_, dRanges, dExtremes);
            checkCudaCall(cudaMemcpy(extremes.data(), dExtremes, sizeof(float2) * count, cudaMemcpyDeviceToHost));
        }
        minKeys.resize(count);
        maxKeys.resize(count);
        for (size_t i = 0; i < count; ++i) {
            minKeys[i] = extremes[i].x;
            maxKeys[i] = extremes[i].y;
        }
    }

    void countSlices(uint32_t first, uint32_t size, const SliceGeometry& g, const ChunkPlan& plan,
                     uint32_t* hSliceCounts) override {
        const size_t entries = (size_t)plan.chunks * g.sliceSize;
        grow(s_.dChunkCounts, s_.chunkCountsCap, entries);
        grow(s_.dSliceCounts, s_.sliceCountsCap, g.sliceSize);
        checkCudaCall(cudaMemset(s_.dChunkCounts, 0, sizeof(unsigned int) * entries));
        countSlicesD<<<blocksFor(size, kThreads), kThreads>>>(dData_ + first, size, g, plan.chunkLen,
                                                                s_.dChunkCounts);
        chunkStartsD<<<blocksFor(g.sliceSize, 256), 256>>>(s_.dChunkCounts, g.sliceSize, plan.chunks,
                                                           s_.dSliceCounts);
        checkCudaCall(cudaMemcpy(hSliceCounts, s_.dSliceCounts, sizeof(unsigned int) * g.sliceSize,
                                 cudaMemcpyDeviceToHost));
    }

    void scatterAndSortBuckets(uint32_t first, uint32_t size, const SliceGeometry& g,
                               const ChunkPlan& plan, const bucketsort::BucketTables& t) override {
        grow(s_.dTables, s_.tablesCap, t.all.size());
        checkCudaCall(cudaMemcpy(s_.dTables, t.all.data(), sizeof(unsigned int) * t.all.size(),
                                 cudaMemcpyHostToDevice));
        const size_t scatterThreads = (size_t)plan.chunks * 32;
        assignElementToBucketD<<<blocksFor(scatterThreads, kScatterThreads), kScatterThreads>>>(
            dData_ + first, dTmpData, size, g, plan, s_.dChunkCounts, s_.dTables);
        const unsigned* dBucketOffsets = s_.dTables + (t.bucketOffsets() - t.all.data());
        const unsigned* dBucketSizes = s_.dTables + (t.bucketSizes() - t.all.data());
        bitonicSortD<<<t.bucketsCount, kThreads>>>(dTmpData, dBucketSizes, dBucketOffsets);
        checkCudaCall(cudaMemcpy(dData_ + first, dTmpData, sizeof(float4) * size, cudaMemcpyDeviceToDevice));
    }

private:
    void grow(unsigned*& p, size_t& cap, size_t n) { devmem::growDevice(p, cap, n, s_.ledger); }

    float4* dData_;
    SortScratch& s_;
    float4* dTmpData;
};

}  // namespace

void SortScratch::release() {
    devmem::freeDevice(dTmpData, ledger);
    devmem::freeDevice(dChunkCounts, ledger);
    devmem::freeDevice(dSliceCounts, ledger);
    devmem::freeDevice(dTables, ledger);
    tmpCap = chunkCountsCap = sliceCountsCap = tablesCap = 0;
}

int bucketSort(float4* dData, uint32_t size, SortScratch& scratch) {
    if (size < 2) return 0;
    CudaLevelOps ops(dData, size, scratch);
    bucketsort::bucketSortRange(ops, 0, size);
    return 0;
}

int bucketSort(float4* dData, uint32_t size) {
    SortScratch scratch;
    bucketSort(dData, size, scratch);
    scratch.release();
    return 0;
}
