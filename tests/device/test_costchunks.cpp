// The host half of the GPU cost: chunk table, packed coordinates, pivots from the first
// voxel of each bin, launch plans, and the grouping of the sums (checked numerically
// against the one-block-per-bin grouping and the CPU backend on a bin of over a million
// voxels).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "device/bucketsort.h"
#include "device/costchunks.h"
#include "device/cpu/costpair.h"
#include "device/cpu/cpu_device.h"
#include "geometry/transform.h"
#include "support/testvolumes.h"

using namespace costchunks;

namespace {

std::vector<uint32_t> pivotsOfCounts(const std::vector<uint32_t>& counts) {
    std::vector<uint32_t> p(counts.size() + 1, 0);
    for (size_t b = 0; b < counts.size(); ++b) p[b + 1] = p[b] + counts[b];
    return p;
}

// What the device pass records: index i is the first of its capped bin when i = 0 or the
// key before it lies in another capped bin; the smallest such index per bin is kept.
std::vector<uint32_t> deviceFirsts(const std::vector<float>& keys, int binCount) {
    const uint32_t width = 256u / (uint32_t)binCount;
    std::vector<uint32_t> firsts((size_t)binCount + 1, 0xffffffffu);
    for (uint32_t i = 0; i < keys.size(); ++i) {
        const uint32_t b = cappedBin(keys[i], width, (uint32_t)binCount);
        if (i == 0 || cappedBin(keys[i - 1], width, (uint32_t)binCount) != b)
            firsts[b] = std::min(firsts[b], i);
    }
    return firsts;
}

}  // namespace

TEST(CostChunks, TableCutsEveryBinOfThreeOrMoreIntoOrderedChunks) {
    std::vector<uint32_t> counts(64, 0);
    counts[0] = 9000;  // three chunks, the last short
    counts[1] = 1;
    counts[2] = 2;     // too small: no chunk
    counts[3] = 3;     // the smallest bin that counts
    counts[5] = 4096;  // exactly one chunk
    counts[6] = 4097;  // one voxel over
    counts[63] = 70;
    const std::vector<uint32_t> piv = pivotsOfCounts(counts);
    const ChunkTable t = buildChunkTable(piv.data(), 64);

    ASSERT_EQ(t.binCount, 64u);
    EXPECT_EQ(t.binsWithChunks, 5u);
    EXPECT_EQ(t.chunks, 3u + 1u + 1u + 2u + 1u);
    EXPECT_EQ(t.all.size(), 3 * (size_t)t.chunks + 65);
    for (int b = 0; b < 64; ++b) {
        const uint32_t c0 = t.binFirstChunk()[b], c1 = t.binFirstChunk()[b + 1];
        ASSERT_LE(c0, c1);
        if (counts[b] < 3) {
            EXPECT_EQ(c0, c1) << "bin " << b;
            continue;
        }
        EXPECT_EQ(c1 - c0, (counts[b] + kChunkVoxels - 1) / kChunkVoxels) << "bin " << b;
        uint32_t at = piv[b];
        for (uint32_t c = c0; c < c1; ++c) {
            EXPECT_EQ(t.bin()[c], (uint32_t)b);
            EXPECT_EQ(t.begin()[c], at);
            EXPECT_GT(t.end()[c], t.begin()[c]);
            EXPECT_LE(t.end()[c] - t.begin()[c], kChunkVoxels);
            at = t.end()[c];
        }
        EXPECT_EQ(at, piv[b + 1]) << "bin " << b << " not covered";
    }

    // Nothing to sum: an empty reference, or bins of two voxels at most.
    std::vector<uint32_t> few(256, 2);
    const std::vector<uint32_t> fewPiv = pivotsOfCounts(few);
    const ChunkTable none = buildChunkTable(fewPiv.data(), 256);
    EXPECT_EQ(none.chunks, 0u);
    EXPECT_EQ(none.binsWithChunks, 0u);
    EXPECT_EQ(none.binFirstChunk()[256], 0u);
}

TEST(CostChunks, PackedCoordinatesRoundTripWithinTheirBounds) {
    EXPECT_TRUE(coordinatesPack(193, 229, 193));
    EXPECT_TRUE(coordinatesPack(2048, 2048, 1024));
    EXPECT_TRUE(coordinatesPack(0, 0, 0));
    EXPECT_FALSE(coordinatesPack(2049, 1, 1));
    EXPECT_FALSE(coordinatesPack(1, 2049, 1));
    EXPECT_FALSE(coordinatesPack(1, 1, 1025));
    EXPECT_FALSE(coordinatesPack(-1, 1, 1));
    EXPECT_FALSE(coordinatesPack(1ll << 33, 1, 1));

    std::mt19937 rng(3);
    std::vector<std::array<uint32_t, 3>> cases = {{0, 0, 0}, {2047, 2047, 1023}, {2047, 0, 0},
                                                  {0, 2047, 0}, {0, 0, 1023}, {1, 2, 3}};
    for (int i = 0; i < 1000; ++i)
        cases.push_back({(uint32_t)(rng() % 2048), (uint32_t)(rng() % 2048), (uint32_t)(rng() % 1024)});
    for (const auto& c : cases) {
        const kern::V3 v = unpackVoxel(packVoxel(c[0], c[1], c[2]));
        // The same floats the (x, y, z, intensity) voxels carry.
        EXPECT_EQ(v.x, (float)(int)c[0]);
        EXPECT_EQ(v.y, (float)(int)c[1]);
        EXPECT_EQ(v.z, (float)(int)c[2]);
    }
}

TEST(CostChunks, PivotsFromFirstsMatchTheScanForAnyKeys) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> u(0.0f, 255.999f);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::vector<float>> arrays;
    arrays.push_back({0.5f, 3.9f, 4.0f, 7.99f, 200.0f, 255.0f});  // the worked example
    arrays.push_back({});
    arrays.push_back({7.0f});
    arrays.push_back(std::vector<float>(1000, 0.0f));  // everything in bin 0
    std::vector<float> sorted(20000);
    for (float& k : sorted) k = u(rng);
    std::sort(sorted.begin(), sorted.end());
    arrays.push_back(sorted);
    std::vector<float> tail = sorted;  // intensities of 256 and more: outside every bin
    tail.insert(tail.end(), {256.0f, 300.0f, 1e10f});
    arrays.push_back(tail);
    std::vector<float> head = {-5.0f, -1.0f, -0.5f};  // the scan stops at once there
    head.insert(head.end(), sorted.begin(), sorted.end());
    arrays.push_back(head);
    std::vector<float> wild = sorted;  // not sorted at all, with keys the bins reject
    std::shuffle(wild.begin(), wild.end(), rng);
    for (int i = 0; i < 50; ++i) wild[rng() % wild.size()] = (i % 3 == 0) ? nan : (i % 3 == 1 ? -7.0f : 4e9f);
    arrays.push_back(wild);

    for (int bins : {64, 128, 256}) {
        for (const std::vector<float>& keys : arrays) {
            const uint32_t n = (uint32_t)keys.size();
            std::vector<uint32_t> want(bins + 1), got(bins + 1, 12345u);
            bucketsort::binPivots(keys.data(), n, bins, want.data());
            const std::vector<uint32_t> firsts = deviceFirsts(keys, bins);
            pivotsFromFirsts(firsts.data(), bins, n, got.data());
            EXPECT_EQ(got, want) << bins << " bins, " << n << " keys";
        }
    }
    // The worked example at 64 bins, spelled out.
    std::vector<uint32_t> p(65);
    const std::vector<uint32_t> f = deviceFirsts(arrays[0], 64);
    pivotsFromFirsts(f.data(), 64, 6, p.data());
    EXPECT_EQ(p[0], 0u);
    EXPECT_EQ(p[1], 2u);
    EXPECT_EQ(p[2], 4u);
    EXPECT_EQ(p[50], 4u);
    EXPECT_EQ(p[51], 5u);
    EXPECT_EQ(p[63], 5u);
    EXPECT_EQ(p[64], 6u);
}

TEST(CostChunks, LaunchPlansKeepGridAndMemoryBounds) {
    struct Case {
        uint32_t n, chunks, bins, sms, forced;
    };
    const Case cases[] = {
        {1, 2203, 256, 132, 0},     // 1 mm, one matrix
        {33, 120, 128, 132, 0},     // 4 mm starts
        {8000, 45, 64, 132, 0},     // 8 mm rotation grid
        {343, 45, 64, 132, 0},      // 8 mm coarse grid
        {70000, 20, 64, 132, 0},    // more rows than one grid holds
        {3000, 420, 256, 132, 0},   // more sums than one launch may hold
        {100000, 1, 64, 1, 0},      // tiny GPU, tiny reference
        {5000, 45, 64, 132, 3},     // forced
        {1, 1, 64, 132, 8},
    };
    for (const Case& c : cases) {
        const LaunchPlan p = planLaunches(c.n, c.chunks, c.bins, c.sms, c.forced);
        SCOPED_TRACE(testing::Message() << c.n << " matrices, " << c.chunks << " chunks");
        EXPECT_GE(p.matricesPerBlock, 1u);
        EXPECT_LE(p.matricesPerBlock, kMaxMatricesPerBlock);
        if (c.forced) {
            EXPECT_EQ(p.matricesPerBlock, c.forced);
        }
        EXPECT_GE(p.rowsPerLaunch, 1u);
        EXPECT_LE(p.rowsPerLaunch, c.n);
        EXPECT_LE((p.rowsPerLaunch + p.matricesPerBlock - 1) / p.matricesPerBlock, kMaxGridY);
        EXPECT_LE(p.rowsPerLaunch * bytesPerRow(c.chunks, c.bins), kBatchBytes);
    }
    // A search-sized batch is one launch, and small batches keep one matrix per block.
    EXPECT_EQ(planLaunches(8000, 45, 64, 132).rowsPerLaunch, 8000u);
    EXPECT_EQ(planLaunches(33, 120, 128, 132).matricesPerBlock, 1u);
    EXPECT_EQ(planLaunches(1, 2203, 256, 132).matricesPerBlock, 1u);
    EXPECT_GT(planLaunches(8000, 45, 64, 132).matricesPerBlock, 1u);
    EXPECT_LT(planLaunches(3000, 420, 256, 132).rowsPerLaunch, 3000u);
    EXPECT_LT(planLaunches(70000, 20, 64, 132).rowsPerLaunch, 70000u);
}

TEST(CostChunks, FoldsAddInTheirFixedOrder) {
    // Integers add exactly in any order: the fold is the plain sum.
    Sums lanes[kLanes];
    float want = 0.0f;
    for (uint32_t l = 0; l < kLanes; ++l) {
        lanes[l] = Sums{(float)l, (float)(2 * l), 1.0f};
        want += (float)l;
    }
    const Sums all = foldLanes(lanes);
    EXPECT_EQ(all.s, want);
    EXPECT_EQ(all.q, 2 * want);
    EXPECT_EQ(all.n, 256.0f);

    // Where order matters: 2^24 swallows a lone 1 (ties to even) but not a pair of them.
    // Lane 0 holds 2^24 and every other lane 1: the warp tree meets 2^24 with 1 once
    // (lost), then with 2, 4, 8 and 16 (kept); the other seven warps give 32 each.
    for (Sums& l : lanes) l = Sums{1.0f, 0.0f, 0.0f};
    lanes[0].s = 16777216.0f;
    EXPECT_EQ(foldLanes(lanes).s, 16777216.0f + 30.0f + 7 * 32.0f);

    // A chunk: voxel v to lane v % 256, in order; uncounted voxels add nothing.
    std::vector<float> f(kChunkVoxels);
    std::vector<uint8_t> counted(kChunkVoxels);
    for (uint32_t v = 0; v < kChunkVoxels; ++v) {
        f[v] = (float)(v % 7);
        counted[v] = v % 5 != 0;
    }
    const Sums c = chunkSums(f.data(), counted.data(), kChunkVoxels);
    float s = 0, q = 0, n = 0;
    for (uint32_t v = 0; v < kChunkVoxels; ++v)
        if (counted[v]) {
            s += f[v];
            q += f[v] * f[v];
            n += 1;
        }
    EXPECT_EQ(c.s, s);
    EXPECT_EQ(c.q, q);
    EXPECT_EQ(c.n, n);

    // A bin of one chunk is that chunk, to the bit.
    const Sums odd{0.1f, 0.7f, 3.0f};
    const Sums one = binSums(&odd, 1);
    EXPECT_EQ(std::memcmp(&one, &odd, sizeof odd), 0);
    const Sums none = binSums(nullptr, 0);
    EXPECT_EQ(none.n, 0.0f);
}

// ---- the grouping against the one-block-per-bin grouping -------------------------------

namespace {

// A head in a box: most of the box is background (exactly 0), so bin 0 is the big one.
std::vector<float> boxedHead(int X, int Y, int Z, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 3.0f);
    std::vector<float> v((size_t)X * Y * Z, 0.0f);
    for (int k = 0; k < Z; ++k)
        for (int j = 0; j < Y; ++j)
            for (int i = 0; i < X; ++i) {
                const float a = (i - 0.5f * X) / (0.4f * X), b = (j - 0.5f * Y) / (0.42f * Y),
                            c = (k - 0.5f * Z) / (0.38f * Z);
                const float r = std::sqrt(a * a + b * b + c * c);
                if (r >= 1.0f) continue;
                float f = r < 0.85f ? 150.0f + 70.0f * std::sin(5.0f * a) * std::cos(4.0f * b + c) : 45.0f;
                v[((size_t)k * Y + j) * X + i] = std::clamp(f + noise(rng), 0.0f, 255.0f);
            }
    return v;
}

// Per-voxel samples of the prepared CPU pair through A, in bin order (the CPU keeps its
// voxels tile by tile; a bin's voxels are taken from its chunks in chunk order). Bins of
// fewer than three voxels have no chunks and stay uncounted.
void samples(const cpucost::Pair& p, const float* A, std::vector<float>& f, std::vector<uint8_t>& counted) {
    const kern::Dim3 sd{p.sx, p.sy, p.sz};
    const cpucost::Reference& r = *p.ref;
    const kern::V3 rc{r.refC[0], r.refC[1], r.refC[2]}, sc{p.srcC[0], p.srcC[1], p.srcC[2]};
    const size_t n = r.px.size();
    f.assign(n, 0.0f);
    counted.assign(n, 0);
    std::vector<uint32_t> at(r.pivots.begin(), r.pivots.end() - 1);
    std::vector<size_t> binOrder(n, SIZE_MAX);  // bin-order position -> voxel
    for (const cpucost::Chunk& c : r.chunks)
        for (uint32_t v = c.begin; v < c.end; ++v) binOrder[at[c.bin]++] = v;
    for (size_t o = 0; o < n; ++o) {
        const size_t v = binOrder[o];
        if (v == SIZE_MAX) continue;
        const kern::V3 m = kern::costPosition(A, r.px[v], r.py[v], r.pz[v], rc, sc);
        if (!kern::insideInclusive(m, (float)p.sx, (float)p.sy, (float)p.sz)) continue;
        counted[o] = 1;
        f[o] = p.linear ? kern::fetchLinear(p.src.data(), sd, m.x, m.y, m.z)
                        : kern::fetchPoint(p.src.data(), sd, m.x, m.y, m.z);
    }
}

// One block of 256 threads per bin: thread t adds voxels t, t + 256, ... of the bin; the
// first warp adds entries t + 32, t + 64, ... into entry t, then halves 16 .. 2, then
// entry 0 + entry 1.
float oneBlockPerBin(const cpucost::Reference& p, const std::vector<float>& f,
                     const std::vector<uint8_t>& counted) {
    float S[256] = {0}, Q[256] = {0}, N[256] = {0};
    for (int b = 0; b < p.binCount; ++b) {
        const uint32_t s = p.pivots[b], e = p.pivots[b + 1];
        if (e - s < 3) continue;
        Sums lane[256];
        for (Sums& l : lane) l = zeroSums();
        for (uint32_t v = s; v < e; ++v)
            if (counted[v]) addSample(lane[(v - s) % 256], f[v]);
        for (int t = 0; t < 32; ++t)
            for (int r = t + 32; r < 256; r += 32) addSums(lane[t], lane[r]);
        for (int h = 16; h >= 2; h /= 2)
            for (int t = 0; t < h; ++t) addSums(lane[t], lane[t + h]);
        addSums(lane[0], lane[1]);
        S[b] = lane[0].s;
        Q[b] = lane[0].q;
        N[b] = lane[0].n;
    }
    return kern::correlationRatioFromBins(S, Q, N, p.binCount);
}

}  // namespace

TEST(CostChunks, ChunkGroupingStaysWithinTenMillionthsOfOneBlockPerBin) {
    CpuDevice cpu(2);
    const int RX = 128, RY = 128, RZ = 100, SX = 110, SY = 120, SZ = 96;
    VolumePtr ref = volumeFrom(cpu, RX, RY, RZ, boxedHead(RX, RY, RZ, 1));
    VolumePtr src = volumeFrom(cpu, SX, SY, SZ, boxedHead(SX, SY, SZ, 2));
    const float rc[3] = {63.7f, 64.2f, 49.9f}, sc[3] = {55.3f, 59.6f, 48.1f};
    for (int a = 0; a < 3; ++a) {
        ref->center[a] = rc[a];
        src->center[a] = sc[a];
    }
    cpu.initCorrelationRatio(*src, *ref, 256, {});
    const cpucost::Pair& p = *cpu.pair();
    const ChunkTable t = buildChunkTable(p.ref->pivots.data(), 256);
    // A bin of over a million voxels, cut into more chunks than a block has lanes.
    ASSERT_GT(p.ref->pivots[1] - p.ref->pivots[0], 1000000u);
    ASSERT_GT(t.binFirstChunk()[1] - t.binFirstChunk()[0], kLanes);

    std::mt19937 rng(5);
    std::uniform_real_distribution<float> rot(-8.0f, 8.0f), shift(-5.0f, 5.0f), scale(0.93f, 1.07f);
    std::vector<float> f;
    std::vector<uint8_t> counted;
    std::vector<Sums> chunks(t.chunks);
    for (int m = 0; m < 4; ++m) {
        TransformParams tp;
        if (m > 0)
            for (int i = 0; i < 3; ++i) {
                tp[i] = rot(rng);
                tp[3 + i] = shift(rng);
                tp[6 + i] = scale(rng);
            }
        Matrix A;
        composeAffine(tp, A, 1, 1, 1);
        samples(p, A.data, f, counted);
        for (uint32_t c = 0; c < t.chunks; ++c) {
            const uint32_t b = t.begin()[c];
            chunks[c] = chunkSums(&f[b], &counted[b], t.end()[c] - b);
        }
        const float chunked = ratioFromChunks(t, chunks.data());
        const float perBin = oneBlockPerBin(*p.ref, f, counted);
        float onCpu = -1.0f;
        cpu.calcCorrelationRatio(A.data, 1, &onCpu);
        EXPECT_GT(chunked, 0.0f);
        EXPECT_LT(chunked, 1.0f);
        EXPECT_NEAR(chunked, perBin, 1e-5f) << "matrix " << m;
        EXPECT_NEAR(chunked, onCpu, 1e-5f) << "matrix " << m;
    }
    cpu.freeCorrelationRatio();
}
