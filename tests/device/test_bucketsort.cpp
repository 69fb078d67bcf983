#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "device/bucketsort.h"
#include "device/costchunks.h"
#include "device/cpu/costpair.h"
#include "device/cpu/cpu_device.h"
#include "device/scratch.h"
#include "support/testvolumes.h"

using namespace bucketsort;

namespace {

std::vector<uint32_t> take(const uint32_t* p, uint32_t n) { return std::vector<uint32_t>(p, p + n); }

// An element under sort: its key and where it started.
struct Item {
    float key;
    uint32_t from;
};

// The device's steps of one level as plain loops, with the same network as the GPU, so
// that the driver's recursion and the tie order can be checked here.
class ModelOps : public BucketSortLevelOps {
public:
    std::vector<Item> a;
    int levels = 0;   // ranges whose extremes were asked for
    int queries = 0;  // device round trips for them

    void keyExtremes(const std::vector<uint32_t>& firsts, const std::vector<uint32_t>& sizes,
                     std::vector<float>& mins, std::vector<float>& maxs) override {
        ++queries;
        mins.clear();
        maxs.clear();
        for (size_t r = 0; r < firsts.size(); ++r) {
            ++levels;
            float mn = a[firsts[r]].key, mx = mn;
            for (uint32_t i = firsts[r] + 1; i < firsts[r] + sizes[r]; ++i) {
                if (!(mx > a[i].key)) mx = a[i].key;
                if (!(mn < a[i].key)) mn = a[i].key;
            }
            mins.push_back(mn);
            maxs.push_back(mx);
        }
    }
    void countSlices(uint32_t first, uint32_t size, const SliceGeometry& g, const ChunkPlan&,
                     uint32_t* counts) override {
        std::fill(counts, counts + g.sliceSize, 0u);
        for (uint32_t i = first; i < first + size; ++i)
            counts[sliceOf(a[i].key, g.minKey, g.sliceStep, g.sliceSize)]++;
    }
    void scatterAndSortBuckets(uint32_t first, uint32_t size, const SliceGeometry& g,
                               const ChunkPlan&, const BucketTables& t) override {
        const BucketTables& tt = t;
        std::vector<uint32_t> arrived(g.sliceSize, 0);
        std::vector<Item> out(size);
        for (uint32_t i = first; i < first + size; ++i) {
            uint32_t s = sliceOf(a[i].key, g.minKey, g.sliceStep, g.sliceSize);
            out[tt.bucketOffsets()[tt.bucketOfSlices()[s]] + tt.sliceOffsetInBucket()[s] +
                arrived[s]++] = a[i];
        }
        for (uint32_t b = 0; b < t.bucketsCount; ++b) {
            uint32_t n = tt.bucketSizes()[b];
            if (n > kBucketCapacity) continue;
            Item* p = &out[tt.bucketOffsets()[b]];
            Item lane[512];
            uint32_t slot[512];
            for (uint32_t l = 0; l < 512; ++l) {
                lane[l] = l < n ? p[l] : Item{kFillerKey, 0};
                slot[l] = l;
            }
            for (uint32_t k = 2; k <= 512; k *= 2)
                for (uint32_t j = k / 2; j > 0; j /= 2)
                    for (uint32_t l = 0; l < 512; ++l) {
                        uint32_t q = l ^ j;
                        if (q > l && bitonicSwaps(l, k, lane[l].key, slot[l], lane[q].key, slot[q])) {
                            std::swap(lane[l], lane[q]);
                            std::swap(slot[l], slot[q]);
                        }
                    }
            std::copy(lane, lane + n, p);
        }
        std::copy(out.begin(), out.end(), a.begin() + first);
    }
};

void expectStableSort(std::vector<float> keys) {
    ModelOps ops;
    for (uint32_t i = 0; i < keys.size(); ++i) ops.a.push_back({keys[i], i});
    std::vector<Item> want = ops.a;
    std::stable_sort(want.begin(), want.end(), [](const Item& x, const Item& y) { return x.key < y.key; });
    bucketSortRange(ops, 0, (uint32_t)keys.size());
    ASSERT_EQ(ops.a.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(ops.a[i].key, want[i].key) << "at " << i;
        ASSERT_EQ(ops.a[i].from, want[i].from) << "at " << i;
    }
}

}  // namespace

TEST(BucketSort, SliceCountsPackIntoFourBuckets) {
    const uint32_t counts[5] = {300, 300, 100, 600, 50};
    uint32_t offsets[6] = {}, ofSlice[5] = {}, sizes[6] = {}, inBucket[5] = {}, buckets = 0;
    bool overflow = packSlicesIntoBuckets(counts, 5, offsets, ofSlice, sizes, inBucket, buckets);
    EXPECT_TRUE(overflow);
    ASSERT_EQ(buckets, 4u);
    EXPECT_EQ(take(offsets, 4), (std::vector<uint32_t>{0, 300, 700, 1300}));
    EXPECT_EQ(take(sizes, 4), (std::vector<uint32_t>{300, 400, 600, 50}));
    EXPECT_EQ(take(ofSlice, 5), (std::vector<uint32_t>{0, 1, 1, 2, 3}));
    EXPECT_EQ(take(inBucket, 5), (std::vector<uint32_t>{0, 0, 300, 0, 0}));
}

TEST(BucketSort, OversizedSliceAfterEmptyBucketLeavesItEmpty) {
    BucketTables t = packBuckets({0, 600, 10});
    EXPECT_TRUE(t.overflow);
    ASSERT_EQ(t.bucketsCount, 3u);
    EXPECT_EQ(take(t.bucketSizes(), 3), (std::vector<uint32_t>{0, 600, 10}));
    EXPECT_EQ(take(t.bucketOffsets(), 3), (std::vector<uint32_t>{0, 0, 600}));
}

TEST(BucketSort, FirstSliceAloneOverfillsBucketZero) {
    BucketTables t = packBuckets({700, 5, 5});
    EXPECT_TRUE(t.overflow);
    ASSERT_EQ(t.bucketsCount, 2u);
    EXPECT_EQ(take(t.bucketSizes(), 2), (std::vector<uint32_t>{700, 10}));
    EXPECT_EQ(take(t.bucketOffsets(), 2), (std::vector<uint32_t>{0, 700}));
    EXPECT_EQ(take(t.sliceOffsetInBucket(), 3), (std::vector<uint32_t>{0, 0, 5}));
}

TEST(BucketSort, TablesHoldOneBucketPerSlice) {
    // Every slice just over half a bucket: each closes the previous bucket, so there are
    // as many buckets as slices (more than the size / 100 a table of old would hold).
    std::vector<uint32_t> counts(40, 257);
    BucketTables t = packBuckets(counts);
    EXPECT_FALSE(t.overflow);
    EXPECT_EQ(t.bucketsCount, 40u);
    EXPECT_EQ(t.bucketOffsets()[39], 39u * 257u);
}

TEST(BucketSort, SliceGeometryOfAThousandKeys) {
    SliceGeometry g = sliceGeometry(0.0f, 255.0f, 1000);
    EXPECT_EQ(g.sliceStep, 12.75f);
    EXPECT_EQ(g.sliceSize, 30u);
    EXPECT_EQ(sliceOf(255.0f, 0.0f, g.sliceStep, g.sliceSize), 20u);
    EXPECT_EQ(sliceOf(12.74f, 0.0f, g.sliceStep, g.sliceSize), 0u);
    EXPECT_EQ(sliceOf(12.75f, 0.0f, g.sliceStep, g.sliceSize), 1u);
}

TEST(BucketSort, KeysThatCannotBeSlicedStayInTheTable) {
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(sliceGeometry(0.0f, inf, 100).sliceSize, 0u);
    EXPECT_EQ(sliceGeometry(-inf, 0.0f, 100).sliceSize, 0u);
    EXPECT_EQ(sliceGeometry(0.0f, std::nanf(""), 100).sliceSize, 0u);
    EXPECT_EQ(sliceOf(std::nanf(""), 0.0f, 1.0f, 30), 0u);
    EXPECT_EQ(sliceOf(1.0e30f, 0.0f, 1.0f, 30), 29u);
    EXPECT_EQ(sliceOf(-5.0f, 0.0f, 1.0f, 30), 0u);
}

TEST(BucketSort, ChunksCoverTheLevelInWarpSteps) {
    for (uint32_t n : {1u, 31u, 8192u, 8193u, 1000000u, 8500000u, 2147483647u}) {
        ChunkPlan p = chunkPlan(n);
        EXPECT_EQ(p.chunkLen % 32, 0u) << n;
        EXPECT_GE((uint64_t)p.chunkLen * p.chunks, n) << n;
        EXPECT_LT((uint64_t)p.chunkLen * (p.chunks - 1), n) << n;
        EXPECT_LE(p.chunks, 128u) << n;
    }
}

TEST(BucketSort, BinPivotsOfSortedIntensities) {
    const float keys[6] = {0.5f, 3.9f, 4.0f, 7.99f, 200.0f, 255.0f};
    uint32_t piv[65];
    binPivots(keys, 6, 64, piv);
    EXPECT_EQ(piv[0], 0u);
    EXPECT_EQ(piv[1], 2u);
    for (int k = 2; k <= 50; ++k) EXPECT_EQ(piv[k], 4u) << k;
    for (int k = 51; k <= 63; ++k) EXPECT_EQ(piv[k], 5u) << k;
    EXPECT_EQ(piv[64], 6u);

    // 255 is in the last bin, 256 and above in none; all zeros fill bin 0.
    const float top[3] = {255.0f, 256.0f, 300.0f};
    uint32_t p256[257];
    binPivots(top, 3, 256, p256);
    EXPECT_EQ(p256[255], 0u);
    EXPECT_EQ(p256[256], 1u);
    const float zeros[4] = {0, 0, 0, 0};
    binPivots(zeros, 4, 128, p256);
    EXPECT_EQ(p256[0], 0u);
    for (int k = 1; k <= 128; ++k) EXPECT_EQ(p256[k], 4u);
}

TEST(BucketSortDriver, SortsStablyWhateverTheKeys) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.0f, 255.0f);
    std::vector<float> keys(20000);
    for (float& k : keys) k = u(rng);
    expectStableSort(keys);  // distinct keys, one level of buckets

    for (float& k : keys) k = (float)(int)(u(rng) / 16.0f);  // 16 values: runs of ~1250 equal keys
    expectStableSort(keys);
    ModelOps runs;
    for (uint32_t i = 0; i < keys.size(); ++i) runs.a.push_back({keys[i], i});
    bucketSortRange(runs, 0, (uint32_t)keys.size());
    EXPECT_EQ(runs.levels, 17);  // the whole array, then every run ...
    EXPECT_EQ(runs.queries, 2);  // ... asked about in one go

    std::vector<float> sorted(3000);
    for (size_t i = 0; i < sorted.size(); ++i) sorted[i] = (float)i * 0.01f;
    expectStableSort(sorted);
    std::reverse(sorted.begin(), sorted.end());
    expectStableSort(sorted);

    expectStableSort({42.0f});
    expectStableSort({2.0f, 1.0f});
    expectStableSort(std::vector<float>(5000, 3.0f));
}

TEST(BucketSortDriver, NestedLevelsSplitAClusterInsideOneSlice) {
    // 4000 distinct keys packed into a sliver of the range, plus outliers that stretch it:
    // the cluster falls into one slice, and only a nested level separates it.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(100.0f, 100.01f);
    std::vector<float> keys;
    for (int i = 0; i < 4000; ++i) keys.push_back(u(rng));
    for (int i = 0; i < 600; ++i) keys.push_back(0.0f);
    for (int i = 0; i < 600; ++i) keys.push_back(255.0f);
    for (int i = 0; i < 600; ++i) keys.push_back(100.005f);  // a run inside the cluster
    std::shuffle(keys.begin(), keys.end(), rng);

    ModelOps probe;
    for (uint32_t i = 0; i < keys.size(); ++i) probe.a.push_back({keys[i], i});
    bucketSortRange(probe, 0, (uint32_t)keys.size());
    // The top level, the runs of 0 and of 255, the cluster, and the run inside it.
    EXPECT_GE(probe.levels, 5);
    expectStableSort(keys);
}

TEST(BucketSortDriver, UnsupportedKeysEndWithoutLooping) {
    const float inf = std::numeric_limits<float>::infinity();
    for (float odd : {inf, -inf, std::nanf("")}) {
        std::vector<float> keys(2000, 1.0f);
        keys[10] = odd;
        keys[20] = 2.0f;
        ModelOps ops;
        for (uint32_t i = 0; i < keys.size(); ++i) ops.a.push_back({keys[i], i});
        bucketSortRange(ops, 0, (uint32_t)keys.size());
        EXPECT_LE(ops.levels, 2) << odd;
    }
}

// The GPU's set-up on the host: reference voxels keyed by capped bin, sorted by the bucket
// sort's steps, bin starts found where the key changes. It must give the CPU backend's
// grouping exactly: the same pivots, and inside every bin the voxels in storage order.
TEST(BucketSortDriver, BinKeysGiveTheCpuGrouping) {
    const int X = 23, Y = 19, Z = 17;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(0.0f, 255.999f);
    std::vector<float> ref((size_t)X * Y * Z);
    for (size_t v = 0; v < ref.size(); ++v) {
        // Background runs, ordinary intensities, and a few beyond the last bin.
        ref[v] = v % 7 == 0 ? 0.0f : (v % 101 == 0 ? 256.0f + (float)(v % 5) : u(rng));
    }
    auto dev = makeCpuDevice(1);
    VolumePtr src = volumeFrom(*dev, X, Y, Z, ref), refVol = volumeFrom(*dev, X, Y, Z, ref);
    for (int binCount : {64, 128, 256}) {
        dev->initCorrelationRatio(*src, *refVol, binCount, CostPairOptions{});
        const cpucost::Reference& cpu = *static_cast<CpuDevice&>(*dev).pair()->ref;

        const uint32_t width = 256u / (uint32_t)binCount, count = (uint32_t)ref.size();
        ModelOps ops;
        for (uint32_t i = 0; i < count; ++i)
            ops.a.push_back({costchunks::binSortKey(ref[i], width, (uint32_t)binCount), i});
        bucketSortRange(ops, 0, count);
        std::vector<uint32_t> firsts((size_t)binCount + 1, 0xffffffffu), pivots((size_t)binCount + 1);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t b = costchunks::binOfSortKey(ops.a[i].key);
            if (i == 0 || costchunks::binOfSortKey(ops.a[i - 1].key) != b) firsts[b] = std::min(firsts[b], i);
        }
        costchunks::pivotsFromFirsts(firsts.data(), binCount, count, pivots.data());
        ASSERT_EQ(pivots, cpu.pivots) << binCount << " bins";
        for (uint32_t i = 0; i < cpu.pivots[binCount]; ++i) {
            const uint32_t v = ops.a[i].from;
            ASSERT_EQ((float)(v % X), cpu.px[i]) << "position " << i;
            ASSERT_EQ((float)(v / X % Y), cpu.py[i]) << "position " << i;
            ASSERT_EQ((float)(v / X / Y), cpu.pz[i]) << "position " << i;
        }
        dev->freeCorrelationRatio();
    }
}

// The sort's working memory never outgrows the bounds a cost pair reserves for it,
// whether the keys are bins (the cost's set-up) or arbitrary.
TEST(BucketSortDriver, LevelsStayWithinTheReservedScratch) {
    struct Recording : ModelOps {
        uint64_t chunkCounts = 0, slices = 0, tables = 0;
        void countSlices(uint32_t first, uint32_t size, const SliceGeometry& g, const ChunkPlan& plan,
                         uint32_t* counts) override {
            chunkCounts = std::max<uint64_t>(chunkCounts, (uint64_t)plan.chunks * g.sliceSize);
            slices = std::max<uint64_t>(slices, g.sliceSize);
            ModelOps::countSlices(first, size, g, plan, counts);
        }
        void scatterAndSortBuckets(uint32_t first, uint32_t size, const SliceGeometry& g, const ChunkPlan& plan,
                                   const BucketTables& t) override {
            tables = std::max<uint64_t>(tables, t.all.size());
            ModelOps::scatterAndSortBuckets(first, size, g, plan, t);
        }
    };
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(0.0f, 255.999f);
    std::exponential_distribution<float> e(0.01f);
    for (uint32_t count : {3u, 700u, 40000u, 300000u})
        for (int keys = 0; keys < 3; ++keys) {
            Recording ops;
            for (uint32_t i = 0; i < count; ++i) {
                const float w = keys == 2 ? e(rng) : u(rng);
                ops.a.push_back({keys == 0 ? costchunks::binSortKey(w, 1, 256) : w, i});
            }
            bucketSortRange(ops, 0, count);
            const scratch::Needs need = scratch::pairNeeds(1, 1, 1, count);
            EXPECT_LE(ops.chunkCounts, need.n[scratch::SortChunkCounts]) << count << " keys " << keys;
            EXPECT_LE(ops.slices, need.n[scratch::SortSlices]) << count << " keys " << keys;
            EXPECT_LE(ops.tables, need.n[scratch::SortTables]) << count << " keys " << keys;
        }
}
