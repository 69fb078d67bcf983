// The CUDA backend against the CPU backend, on volumes built in memory. Every test
// skips itself where no usable GPU is present (except the one that checks exactly that).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "support/testvolumes.h"
#include "device/costchunks.h"
#include "device/cpu/costpair.h"
#include "device/cpu/cpu_device.h"
#include "device/cuda/bucketsort.h"
#include "device/cuda/errors.h"
#include "device/device.h"
#include "geometry/matrix.h"
#include "geometry/transform.h"
#include "volume/resample.h"

namespace {

constexpr float kIntensityRange = 255.0f;

class CudaVsCpu : public ::testing::Test {
protected:
    void SetUp() override {
        gpu = makeCudaDevice();
        if (!gpu) GTEST_SKIP() << "no usable CUDA GPU";
        cpu = makeCpuDevice(0);
    }
    std::unique_ptr<Device> gpu, cpu;
};

// A head-like test image in [0, 255]: a bright ellipsoid with inner structure, a dark
// shell around it, background zeros, and noise (the same on every call).
std::vector<float> headImage(int X, int Y, int Z, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 4.0f);
    std::vector<float> v((size_t)X * Y * Z);
    for (int k = 0; k < Z; ++k)
        for (int j = 0; j < Y; ++j)
            for (int i = 0; i < X; ++i) {
                const float u = (i - 0.5f * X) / (0.42f * X), w = (j - 0.5f * Y) / (0.45f * Y),
                            t = (k - 0.5f * Z) / (0.40f * Z);
                const float r = std::sqrt(u * u + w * w + t * t);
                float f = 0.0f;
                if (r < 1.0f) f = 160.0f + 60.0f * std::sin(6.0f * u) * std::cos(5.0f * w + 2.0f * t);
                else if (r < 1.15f) f = 40.0f;
                if (f > 0.0f) f = std::clamp(f + noise(rng), 0.0f, 255.0f);
                v[((size_t)k * Y + j) * X + i] = f;
            }
    return v;
}

struct Pair {
    VolumePtr onGpu, onCpu;
};

Pair both(Device& g, Device& c, int X, int Y, int Z, const std::vector<float>& v, float dx, float dy,
          float dz, const float center[3]) {
    Pair p{volumeFrom(g, X, Y, Z, v, dx, dy, dz), volumeFrom(c, X, Y, Z, v, dx, dy, dz)};
    for (int a = 0; a < 3; ++a) p.onGpu->center[a] = p.onCpu->center[a] = center[a];
    return p;
}

void expectSameVolume(const Volume& g, const Volume& c, const char* what) {
    ASSERT_EQ(g.x, c.x) << what;
    ASSERT_EQ(g.y, c.y) << what;
    ASSERT_EQ(g.z, c.z) << what;
    const std::vector<float> a = contents(g), b = contents(c);
    float worst = 0.0f;
    size_t at = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const float d = std::fabs(a[i] - b[i]);
        if (!(d <= worst)) {
            worst = d;
            at = i;
        }
    }
    EXPECT_LE(worst, 1e-3f * kIntensityRange)
        << what << ": voxel " << at << " gpu " << a[at] << " cpu " << b[at];
}

Matrix randomMatrix(std::mt19937& rng, float vx, float vy, float vz) {
    std::uniform_real_distribution<float> rot(-12.0f, 12.0f), shift(-6.0f, 6.0f), scale(0.9f, 1.1f),
        skew(-0.05f, 0.05f);
    TransformParams p;
    for (int i = 0; i < 3; ++i) {
        p[i] = rot(rng);
        p[3 + i] = shift(rng);
        p[6 + i] = scale(rng);
        p[9 + i] = skew(rng);
    }
    Matrix m;
    composeAffine(p, m, vx, vy, vz);
    return m;
}

}  // namespace

TEST(CudaDevice, ProbingIsQuietAndRepeatable) {
    for (int round = 0; round < 2; ++round) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::unique_ptr<Device> d = makeCudaDevice();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        if (d) {
            // With a GPU the probe leaves no error behind for the first checked call. (Without
            // a driver the runtime reports its start-up failure on every call; nothing to
            // clear then, and no CUDA call is made again.)
            EXPECT_EQ(cudaGetLastError(), cudaSuccess);
            EXPECT_STREQ(d->kind(), "cuda");
            EXPECT_FALSE(d->description().empty());
        }
    }
}

// A bad device ordinal fails with or without a GPU, so these run everywhere. The child
// process is started afresh: a CUDA runtime does not survive a plain fork.
TEST(CudaErrors, FailedCallIsQuotedAndEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(checkCudaCall(cudaSetDevice(-1)), testing::ExitedWithCode(1),
                "^CUDA error at [^:]*test_cuda_backend\\.cpp:[0-9]+ code=[0-9]+\\(cuda[A-Za-z]+\\) "
                "\"cudaSetDevice\\(-1\\)\" \n$");
}

TEST(CudaErrors, PendingErrorIsReportedWithTheMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            cudaSetDevice(-1);
            getLastCudaError("after the probe failed");
        },
        testing::ExitedWithCode(1),
        "^[^(]*test_cuda_backend\\.cpp\\([0-9]+\\) : getLastCudaError\\(\\) CUDA error : after the "
        "probe failed : \\([0-9]+\\) [^\n]+\\.\n$");
}

TEST_F(CudaVsCpu, FreshVoxelsHoldTheByteFill) {
    VolumePtr v = makeVolume(7, 5, 3, gpu.get());
    uint32_t bits;
    for (float f : contents(*v)) {
        std::memcpy(&bits, &f, 4);
        ASSERT_EQ(bits, 0x05050505u);
    }
}

TEST_F(CudaVsCpu, IsotropicResampleMatches) {
    const float c[3] = {18.3f, 14.6f, 11.2f};
    const std::vector<float> img = headImage(37, 29, 23, 1);
    Pair in = both(*gpu, *cpu, 37, 29, 23, img, 1.0f, 1.2f, 0.9f, c);
    for (float n : {1.0f, 1.5f, 0.7f}) {
        VolumePtr g = isotropicResample(*in.onGpu, n, n, n), k = isotropicResample(*in.onCpu, n, n, n);
        ASSERT_TRUE(g && k);
        expectSameVolume(*g, *k, "isotropic");
    }
    // Own voxel sizes: same grid, 2x2x2 means.
    VolumePtr g = isotropicResample(*in.onGpu, 1.0f, 1.2f, 0.9f);
    VolumePtr k = isotropicResample(*in.onCpu, 1.0f, 1.2f, 0.9f);
    expectSameVolume(*g, *k, "own voxel size");
}

TEST_F(CudaVsCpu, HalfSampleMatchesOnOddAndEvenCounts) {
    const float c[3] = {10, 20, 30};
    for (int n : {1, 2, 5, 33}) {
        const std::vector<float> img = headImage(n, n + 3, n + 1, 2);
        Pair in = both(*gpu, *cpu, n, n + 3, n + 1, img, 1, 1, 1, c);
        VolumePtr g = halfSample(*in.onGpu), k = halfSample(*in.onCpu);
        expectSameVolume(*g, *k, "half sample");
        VolumePtr g2 = halfSample(*g), k2 = halfSample(*k);  // a pyramid step on top
        expectSameVolume(*g2, *k2, "second half sample");
    }
}

TEST_F(CudaVsCpu, TransformVolumeMatches) {
    const float cs[3] = {20.4f, 17.7f, 12.1f}, cr[3] = {15.0f, 16.0f, 14.0f};
    Pair src = both(*gpu, *cpu, 41, 35, 26, headImage(41, 35, 26, 3), 1.1f, 1.0f, 1.3f, cs);
    Pair ref = both(*gpu, *cpu, 30, 33, 28, headImage(30, 33, 28, 4), 1.0f, 1.0f, 1.0f, cr);
    std::mt19937 rng(5);
    std::vector<Matrix> ms;
    ms.push_back(Matrix());  // identity
    for (int i = 0; i < 6; ++i) ms.push_back(randomMatrix(rng, 1, 1, 1));
    Matrix away;
    away.data[3] = 500.0f;  // everything outside: all zeros
    ms.push_back(away);
    for (const Matrix& m : ms) {
        VolumePtr g = transformVolume(*src.onGpu, *ref.onGpu, m);
        VolumePtr k = transformVolume(*src.onCpu, *ref.onCpu, m);
        expectSameVolume(*g, *k, "transform");
    }
    // The source as its own reference, through the identity.
    VolumePtr g = transformVolume(*src.onGpu, *src.onGpu, Matrix());
    VolumePtr k = transformVolume(*src.onCpu, *src.onCpu, Matrix());
    expectSameVolume(*g, *k, "self transform");
}

// ---- the sort -----------------------------------------------------------------------

namespace {

// Sorts on the device; the result must be exactly the host's stable sort by w: a
// permutation (x, y, z tell where each element came from) with ties in input order.
void expectStableDeviceSort(const std::vector<float>& keys, const char* what) {
    std::vector<float4> h(keys.size());
    for (size_t i = 0; i < keys.size(); ++i)
        h[i] = make_float4((float)(i % 4096), (float)(i / 4096 % 4096), (float)(i / 16777216), keys[i]);
    std::vector<float4> want = h;
    std::stable_sort(want.begin(), want.end(), [](const float4& a, const float4& b) { return a.w < b.w; });
    float4* d = nullptr;
    ASSERT_EQ(cudaMalloc((void**)&d, sizeof(float4) * h.size()), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(d, h.data(), sizeof(float4) * h.size(), cudaMemcpyHostToDevice), cudaSuccess);
    bucketSort(d, (uint32_t)h.size());
    std::vector<float4> got(h.size());
    ASSERT_EQ(cudaMemcpy(got.data(), d, sizeof(float4) * h.size(), cudaMemcpyDeviceToHost), cudaSuccess);
    cudaFree(d);
    for (size_t i = 0; i < h.size(); ++i) {
        ASSERT_TRUE(got[i].w == want[i].w && got[i].x == want[i].x && got[i].y == want[i].y &&
                    got[i].z == want[i].z)
            << what << ": element " << i << " has key " << got[i].w << " from (" << got[i].x << ", "
            << got[i].y << ", " << got[i].z << "), want key " << want[i].w << " from (" << want[i].x
            << ", " << want[i].y << ", " << want[i].z << ")";
    }
}

}  // namespace

TEST_F(CudaVsCpu, BucketSortIsStable) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0.0f, 255.0f);
    std::vector<float> k(300000);
    for (float& x : k) x = u(rng);
    expectStableDeviceSort(k, "random keys");

    for (float& x : k) x = (float)(int)(u(rng) / 25.0f);  // 11 values, runs of ~27000
    expectStableDeviceSort(k, "many equal keys");

    expectStableDeviceSort({3.0f}, "one element");
    expectStableDeviceSort({2.0f, 1.0f}, "two elements");
    expectStableDeviceSort(std::vector<float>(20000, 7.5f), "all equal");

    std::vector<float> sorted(100000);
    for (size_t i = 0; i < sorted.size(); ++i) sorted[i] = (float)(i / 3) * 0.01f;
    expectStableDeviceSort(sorted, "already sorted");
    std::reverse(sorted.begin(), sorted.end());
    expectStableDeviceSort(sorted, "reversed");

    std::vector<float> small(700);
    for (float& x : small) x = u(rng);
    expectStableDeviceSort(small, "fewer buckets than a hundredth of the size allows");
}

TEST_F(CudaVsCpu, BucketSortOfAHeadWithItsBackground) {
    // The reference as the cost sorts it: most voxels exactly 0, a shell of one value, the
    // rest continuous; and a cluster of near-equal keys that only a nested level splits.
    std::vector<float> k = headImage(96, 112, 90, 6);
    expectStableDeviceSort(k, "head");
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> u(100.0f, 100.01f);
    std::vector<float> c;
    for (int i = 0; i < 40000; ++i) c.push_back(u(rng));
    for (int i = 0; i < 3000; ++i) c.push_back(i % 2 ? 0.0f : 255.0f);
    std::shuffle(c.begin(), c.end(), rng);
    expectStableDeviceSort(c, "cluster");
}

// ---- the cost -----------------------------------------------------------------------

namespace {

struct CostCase {
    int bins;
    float srcVoxel;  // 4 and above: the source is point-sampled
    bool exact = false;  // full float trilinear weights
};

void compareCosts(Device& gpu, Device& cpu, const CostCase& cc) {
    const float cs[3] = {19.6f, 17.3f, 14.8f}, cr[3] = {17.7f, 19.2f, 15.9f};
    const float d = cc.srcVoxel;
    Pair src = both(gpu, cpu, 40, 36, 30, headImage(40, 36, 30, 21), d, d, d, cs);
    Pair ref = both(gpu, cpu, 36, 40, 32, headImage(36, 40, 32, 22), d, d, d, cr);
    CostPairOptions opts;
    opts.exactWeights = cc.exact;
    gpu.initCorrelationRatio(*src.onGpu, *ref.onGpu, cc.bins, opts);
    cpu.initCorrelationRatio(*src.onCpu, *ref.onCpu, cc.bins, opts);

    std::mt19937 rng(31 + cc.bins);
    std::vector<float> mats;
    auto add = [&](const Matrix& m) { mats.insert(mats.end(), m.data, m.data + 16); };
    add(Matrix());
    for (int i = 0; i < 40; ++i) add(randomMatrix(rng, d, d, d));
    Matrix away;
    away.data[7] = 1000.0f;
    add(away);
    Matrix odd4th;  // the fourth row has no effect
    odd4th.data[12] = 3.0f;
    odd4th.data[15] = 9.0f;
    add(odd4th);
    const int n = (int)mats.size() / 16;

    std::vector<float> g(n), k(n), singles(n);
    gpu.calcCorrelationRatio(mats.data(), n, g.data());
    cpu.calcCorrelationRatio(mats.data(), n, k.data());
    for (int i = 0; i < n; ++i) gpu.calcCorrelationRatio(&mats[16 * i], 1, &singles[i]);
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(g[i], k[i], 1e-4f) << "bins " << cc.bins << " voxel " << d << " matrix " << i;
        EXPECT_EQ(std::memcmp(&g[i], &singles[i], 4), 0)
            << "batch and single differ: " << g[i] << " vs " << singles[i];
    }
    EXPECT_EQ(g[n - 2], 1.0f);  // nothing inside the source
    EXPECT_EQ(std::memcmp(&g[0], &g[n - 1], 4), 0);

    // A second set-up of the same pair sorts the same way: the same bits.
    gpu.freeCorrelationRatio();
    gpu.initCorrelationRatio(*src.onGpu, *ref.onGpu, cc.bins, opts);
    std::vector<float> again(n);
    gpu.calcCorrelationRatio(mats.data(), n, again.data());
    EXPECT_EQ(std::memcmp(g.data(), again.data(), 4 * (size_t)n), 0);
    gpu.freeCorrelationRatio();

    // The weights option reaches the kernel: interpolated costs move with it.
    if (d < 4.0f) {
        CostPairOptions other;
        other.exactWeights = !cc.exact;
        gpu.initCorrelationRatio(*src.onGpu, *ref.onGpu, cc.bins, other);
        gpu.calcCorrelationRatio(mats.data(), n, again.data());
        int differ = 0;
        for (int i = 1; i < n - 2; ++i) differ += again[i] != g[i];
        EXPECT_GT(differ, (n - 3) / 2) << "exact weights " << cc.exact;
        gpu.freeCorrelationRatio();
    }
    cpu.freeCorrelationRatio();
}

}  // namespace

TEST_F(CudaVsCpu, CostsMatchAtEveryBinCount) {
    compareCosts(*gpu, *cpu, {256, 1.0f});
    compareCosts(*gpu, *cpu, {128, 2.0f});
    compareCosts(*gpu, *cpu, {64, 4.0f});  // point sampling
    compareCosts(*gpu, *cpu, {64, 8.0f});
    compareCosts(*gpu, *cpu, {256, 1.0f, true});  // exact weights: point fetches blended
    compareCosts(*gpu, *cpu, {128, 2.0f, true});
    compareCosts(*gpu, *cpu, {64, 8.0f, true});   // point sampling ignores the option
}

TEST_F(CudaVsCpu, CostOfAVolumeWithItselfAndOfAConstantSource) {
    const float c[3] = {16.0f, 15.0f, 12.0f};
    Pair v = both(*gpu, *cpu, 33, 31, 25, headImage(33, 31, 25, 41), 1, 1, 1, c);
    Pair flat = both(*gpu, *cpu, 33, 31, 25, std::vector<float>(33 * 31 * 25, 90.0f), 1, 1, 1, c);
    const Matrix id;
    float g = -1, k = -1;
    gpu->initCorrelationRatio(*v.onGpu, *v.onGpu, 256, {});
    cpu->initCorrelationRatio(*v.onCpu, *v.onCpu, 256, {});
    gpu->calcCorrelationRatio(id.data, 1, &g);
    cpu->calcCorrelationRatio(id.data, 1, &k);
    EXPECT_NEAR(g, k, 1e-4f);
    EXPECT_LT(g, 0.2f);
    gpu->initCorrelationRatio(*flat.onGpu, *v.onGpu, 256, {});
    gpu->calcCorrelationRatio(id.data, 1, &g);
    EXPECT_EQ(g, 1.0f);
    gpu->freeCorrelationRatio();
    cpu->freeCorrelationRatio();
}

TEST_F(CudaVsCpu, LargeBatchSpansSeveralLaunches) {
    const float c[3] = {8.0f, 8.0f, 8.0f};
    Pair v = both(*gpu, *cpu, 17, 17, 17, headImage(17, 17, 17, 51), 1, 1, 1, c);
    gpu->initCorrelationRatio(*v.onGpu, *v.onGpu, 64, {});
    std::mt19937 rng(9);
    const int n = 70000;  // more rows than one grid holds
    std::vector<float> mats;
    for (int i = 0; i < 64; ++i) {
        Matrix m = randomMatrix(rng, 1, 1, 1);
        mats.insert(mats.end(), m.data, m.data + 16);
    }
    std::vector<float> all((size_t)n * 16);
    for (int i = 0; i < n; ++i)
        std::copy_n(mats.begin() + 16 * (i % 64), 16, all.begin() + 16 * (size_t)i);
    std::vector<float> r(n), first(64);
    gpu->calcCorrelationRatio(all.data(), n, r.data());
    gpu->calcCorrelationRatio(mats.data(), 64, first.data());
    for (int i = 0; i < n; ++i) ASSERT_EQ(std::memcmp(&r[i], &first[i % 64], 4), 0) << i;
    gpu->freeCorrelationRatio();
}

// ---- the cost on large bins, large batches and odd grids ----------------------------

namespace {

const cpucost::Pair& cpuPair(Device& cpu) { return *static_cast<CpuDevice&>(cpu).pair(); }

unsigned multiprocessors() {
    int device = 0, sms = 1;
    cudaGetDevice(&device);
    cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, device);
    return (unsigned)sms;
}

std::vector<float> randomMatrices(int n, unsigned seed, float voxel) {
    std::mt19937 rng(seed);
    std::vector<float> mats;
    for (int i = 0; i < n; ++i) {
        Matrix m = i == 0 ? Matrix() : randomMatrix(rng, voxel, voxel, voxel);
        mats.insert(mats.end(), m.data, m.data + 16);
    }
    return mats;
}

// The GPU batch against the CPU backend (within 1e-4) and against one evaluation at a
// time on the GPU (to the bit), for the first `checked` matrices.
void expectBatchMatches(Device& gpu, Device& cpu, const std::vector<float>& mats, int checked,
                        const char* what) {
    const int n = (int)mats.size() / 16;
    std::vector<float> g(n), k(checked), one(1);
    gpu.calcCorrelationRatio(mats.data(), n, g.data());
    cpu.calcCorrelationRatio(mats.data(), checked, k.data());
    for (int i = 0; i < checked; ++i) {
        EXPECT_NEAR(g[i], k[i], 1e-4f) << what << ": matrix " << i;
        gpu.calcCorrelationRatio(&mats[16 * (size_t)i], 1, one.data());
        EXPECT_EQ(std::memcmp(&g[i], one.data(), 4), 0)
            << what << ": batch and single differ at " << i << ": " << g[i] << " vs " << one[0];
    }
}

}  // namespace

// Background fills most of a head's box, so at 1 mm one bin holds millions of voxels:
// here over a million, cut into hundreds of chunks that several blocks finish together.
TEST_F(CudaVsCpu, CostsMatchWhenOneBinHoldsOverAMillionVoxels) {
    const float cs[3] = {60.2f, 64.9f, 49.6f}, cr[3] = {80.4f, 79.7f, 55.2f};
    Pair src = both(*gpu, *cpu, 120, 130, 100, headImage(120, 130, 100, 61), 1, 1, 1, cs);
    Pair ref = both(*gpu, *cpu, 160, 160, 110, headImage(160, 160, 110, 62), 1, 1, 1, cr);
    gpu->initCorrelationRatio(*src.onGpu, *ref.onGpu, 256, {});
    cpu->initCorrelationRatio(*src.onCpu, *ref.onCpu, 256, {});
    const std::vector<uint32_t>& piv = cpuPair(*cpu).ref->pivots;
    ASSERT_GT(piv[1] - piv[0], 1000000u);

    std::vector<float> mats = randomMatrices(16, 63, 1.0f);
    expectBatchMatches(*gpu, *cpu, mats, 16, "million-voxel bin");
    // Twice the same batch: the same bits, whichever block happened to finish each bin.
    std::vector<float> a(16), b(16);
    gpu->calcCorrelationRatio(mats.data(), 16, a.data());
    gpu->calcCorrelationRatio(mats.data(), 16, b.data());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(float) * 16), 0);
    gpu->freeCorrelationRatio();
    cpu->freeCorrelationRatio();
}

// A batch larger than the sums of one launch may hold: later launches, several matrices
// per block, must give what the first launch and single evaluations give.
TEST_F(CudaVsCpu, BatchOverSeveralLaunchesRepeatsTheFirstToTheBit) {
    const float cs[3] = {60.2f, 64.9f, 49.6f}, cr[3] = {80.4f, 79.7f, 55.2f};
    Pair src = both(*gpu, *cpu, 120, 130, 100, headImage(120, 130, 100, 71), 1, 1, 1, cs);
    Pair ref = both(*gpu, *cpu, 160, 160, 110, headImage(160, 160, 110, 72), 1, 1, 1, cr);
    gpu->initCorrelationRatio(*src.onGpu, *ref.onGpu, 256, {});
    cpu->initCorrelationRatio(*src.onCpu, *ref.onCpu, 256, {});
    const costchunks::ChunkTable table = costchunks::buildChunkTable(cpuPair(*cpu).ref->pivots.data(), 256);
    const uint32_t perLaunch =
        costchunks::planLaunches(1u << 20, table.chunks, 256, multiprocessors()).rowsPerLaunch;
    const int n = (int)perLaunch + 37;
    const costchunks::LaunchPlan plan = costchunks::planLaunches(n, table.chunks, 256, multiprocessors());
    ASSERT_LT(plan.rowsPerLaunch, (uint32_t)n) << "the batch must need a second launch";
    EXPECT_GT(plan.matricesPerBlock, 1u);

    const std::vector<float> distinct = randomMatrices(64, 73, 1.0f);
    std::vector<float> all((size_t)n * 16);
    for (int i = 0; i < n; ++i) std::copy_n(distinct.begin() + 16 * (i % 64), 16, all.begin() + 16 * (size_t)i);
    std::vector<float> r(n), first(64);
    gpu->calcCorrelationRatio(all.data(), n, r.data());
    expectBatchMatches(*gpu, *cpu, distinct, 8, "first launch");
    gpu->calcCorrelationRatio(distinct.data(), 64, first.data());
    for (int i = 0; i < n; ++i) ASSERT_EQ(std::memcmp(&r[i], &first[i % 64], 4), 0) << "matrix " << i;
    gpu->freeCorrelationRatio();
    cpu->freeCorrelationRatio();
}

// The 8 mm search: thousands of matrices over a small point-sampled pair, several per block.
TEST_F(CudaVsCpu, RotationGridSizedBatchIsReproducible) {
    const float cs[3] = {10.6f, 14.2f, 10.9f}, cr[3] = {12.3f, 14.8f, 12.1f};
    Pair src = both(*gpu, *cpu, 21, 29, 21, headImage(21, 29, 21, 81), 8, 8, 8, cs);
    Pair ref = both(*gpu, *cpu, 25, 29, 25, headImage(25, 29, 25, 82), 8, 8, 8, cr);
    gpu->initCorrelationRatio(*src.onGpu, *ref.onGpu, 64, {});
    cpu->initCorrelationRatio(*src.onCpu, *ref.onCpu, 64, {});
    const int n = 8000;
    const std::vector<float> mats = randomMatrices(n, 83, 8.0f);
    std::vector<float> a(n), b(n);
    gpu->calcCorrelationRatio(mats.data(), n, a.data());
    gpu->calcCorrelationRatio(mats.data(), n, b.data());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(float) * n), 0);
    expectBatchMatches(*gpu, *cpu, mats, 200, "rotation grid");
    gpu->freeCorrelationRatio();
    cpu->freeCorrelationRatio();
}

// A grid wider than the packed coordinates hold: the kernel reads the sorted
// (x, y, z, intensity) voxels instead, with the same results.
TEST_F(CudaVsCpu, GridTooWideToPackGivesTheSameCosts) {
    const int X = 2100, Y = 6, Z = 5;
    ASSERT_FALSE(costchunks::coordinatesPack(X, Y, Z));
    // A slow wave along x: the shifts below move it against the reference.
    auto wave = [&](float shift) {
        std::vector<float> v((size_t)X * Y * Z);
        for (int k = 0; k < Z; ++k)
            for (int j = 0; j < Y; ++j)
                for (int i = 0; i < X; ++i)
                    v[((size_t)k * Y + j) * X + i] =
                        120.0f + 100.0f * std::sin(((float)i + shift) / 37.0f) + 5.0f * (float)j + 3.0f * (float)k;
        return v;
    };
    const float c[3] = {1049.5f, 2.5f, 2.0f};
    Pair src = both(*gpu, *cpu, X, Y, Z, wave(0.0f), 1, 1, 1, c);
    Pair ref = both(*gpu, *cpu, X, Y, Z, wave(2.0f), 1, 1, 1, c);
    gpu->initCorrelationRatio(*src.onGpu, *ref.onGpu, 128, {});
    cpu->initCorrelationRatio(*src.onCpu, *ref.onCpu, 128, {});
    std::vector<float> mats;
    for (int i = 0; i < 45; ++i) {  // shifts and stretches along x, a little turn about x
        TransformParams p;
        p[0] = 0.1f * (float)(i % 5);
        p[3] = -3.5f + 0.17f * (float)i;
        p[6] = 0.9f + 0.005f * (float)i;
        Matrix m;
        composeAffine(p, m, 1, 1, 1);
        mats.insert(mats.end(), m.data, m.data + 16);
    }
    expectBatchMatches(*gpu, *cpu, mats, 45, "wide grid");
    gpu->freeCorrelationRatio();
    cpu->freeCorrelationRatio();
}

// References whose bins are too small to count, or only just large enough.
TEST_F(CudaVsCpu, TinyReferencesFollowTheThreeVoxelRule) {
    const float c[3] = {1.0f, 1.0f, 0.0f};
    Pair src = both(*gpu, *cpu, 4, 4, 1, std::vector<float>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130, 140, 150}, 1, 1, 1, c);
    const std::vector<std::vector<float>> refs = {
        {10, 20, 30, 40, 50, 60},   // every bin of one voxel
        {10, 10, 30, 30, 50, 50},   // bins of two: still nothing
        {10, 10, 10, 80, 80, 80},   // two bins of three
        {10, 10, 10, 10, 10, 99},   // one bin of five and a lone voxel
    };
    for (const std::vector<float>& v : refs) {
        Pair ref = both(*gpu, *cpu, 3, 2, 1, v, 1, 1, 1, c);
        gpu->initCorrelationRatio(*src.onGpu, *ref.onGpu, 256, {});
        cpu->initCorrelationRatio(*src.onCpu, *ref.onCpu, 256, {});
        std::vector<float> mats;  // the identity, a half-voxel shift, a stretch
        for (int i = 0; i < 3; ++i) {
            TransformParams p;
            p[3] = i == 1 ? 0.5f : 0.0f;
            p[6] = i == 2 ? 1.1f : 1.0f;
            Matrix m;
            composeAffine(p, m, 1, 1, 1);
            mats.insert(mats.end(), m.data, m.data + 16);
        }
        std::vector<float> g(3), k(3);
        gpu->calcCorrelationRatio(mats.data(), 3, g.data());
        cpu->calcCorrelationRatio(mats.data(), 3, k.data());
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(g[i], k[i], 1e-4f) << "reference " << v[0] << ".." << v[5];
        gpu->freeCorrelationRatio();
        cpu->freeCorrelationRatio();
    }
}

// A registration's four levels on one pair: with the cost's memory reserved for the finest
// level, no level allocates anything, and every level's costs agree with the CPU (the
// coarse ones read their source from an array larger than the volume, through its edge
// copies; the 8 and 4 mm ones point-sample it).
TEST_F(CudaVsCpu, ReservedLevelsAllocateNothingAndMatch) {
    const int X = 61, Y = 70, Z = 57;
    const float c[3] = {30.2f, 35.0f, 28.6f};
    Pair s = both(*gpu, *cpu, X, Y, Z, headImage(X, Y, Z, 11), 1, 1, 1, c);
    Pair r = both(*gpu, *cpu, X, Y, Z, headImage(X, Y, Z, 12), 1, 1, 1, c);
    VolumePtr gs[4], gr[4], cs[4], cr[4];
    gs[0] = std::move(s.onGpu);
    gr[0] = std::move(r.onGpu);
    cs[0] = std::move(s.onCpu);
    cr[0] = std::move(r.onCpu);
    for (int l = 1; l < 4; ++l) {
        gs[l] = halfSample(*gs[l - 1]);
        gr[l] = halfSample(*gr[l - 1]);
        cs[l] = halfSample(*cs[l - 1]);
        cr[l] = halfSample(*cr[l - 1]);
    }
    gpu->reserveCorrelationRatio(*gs[0], *gr[0]);
    std::mt19937 rng(17);
    for (int l = 3; l >= 0; --l) {
        const uint64_t before = gpu->memoryStats().allocations;
        const int bins = l == 3 ? 64 : l == 2 ? 128 : 256;
        gpu->initCorrelationRatio(*gs[l], *gr[l], bins, {});
        cpu->initCorrelationRatio(*cs[l], *cr[l], bins, {});
        const int n = l == 3 ? 343 : l == 2 ? 33 : 2;
        std::vector<float> mats(16 * (size_t)n), g(n), k(n);
        for (int i = 0; i < n; ++i) {
            const Matrix m = randomMatrix(rng, gs[l]->dx, gs[l]->dy, gs[l]->dz);
            std::memcpy(&mats[16 * (size_t)i], m.data, sizeof m.data);
        }
        gpu->calcCorrelationRatio(mats.data(), n, g.data());
        cpu->calcCorrelationRatio(mats.data(), n, k.data());
        for (int i = 0; i < n; ++i) EXPECT_NEAR(g[i], k[i], 1e-4f) << "level " << l << " matrix " << i;
        gpu->freeCorrelationRatio();
        cpu->freeCorrelationRatio();
        EXPECT_EQ(gpu->memoryStats().allocations, before) << "level " << l << " allocated";
    }
    EXPECT_GT(gpu->memoryStats().peakBytes, (uint64_t)X * Y * Z * 16);
}

namespace {
[[noreturn]] void failDuringAPreparedPair() {
    swapDeviceForTesting(makeCudaDevice()).release();
    static VolumePtr v = volumeFrom(device(), 17, 19, 15, headImage(17, 19, 15, 3));
    v->center[0] = 8.0f;
    v->center[1] = 9.0f;
    v->center[2] = 7.0f;
    device().initCorrelationRatio(*v, *v, 256, {});
    checkCudaCall(cudaErrorLaunchFailure);
    std::abort();  // not reached
}
}  // namespace

// The whole road of a device failure met during a prepared pair: one error, then an exit
// that leaves the reset device alone (its handles died in the reset; releasing them would
// print a second, misleading error).
TEST(CudaErrors, FailureDuringAPreparedPairReportsOnce) {
    if (!makeCudaDevice()) GTEST_SKIP() << "no usable CUDA GPU";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto once = testing::Truly([](const std::string& err) {
        size_t n = 0;
        for (size_t at = err.find("CUDA error"); at != std::string::npos; at = err.find("CUDA error", at + 1)) ++n;
        return n == 1;
    });
    EXPECT_EXIT(failDuringAPreparedPair(), testing::ExitedWithCode(1), once);
}

// ---- masks and nearest-voxel resampling ----------------------------------------------

namespace {

// A 0/1 mask of a volume's grid: a ball (inside) with a slab cut away, so that every
// rule (reference voxels left out, source samples dropped) meets edges in all directions.
std::vector<float> ballMask(int X, int Y, int Z, float radius) {
    std::vector<float> m((size_t)X * Y * Z);
    for (int k = 0; k < Z; ++k)
        for (int j = 0; j < Y; ++j)
            for (int i = 0; i < X; ++i) {
                const float u = i - 0.5f * X, w = j - 0.5f * Y, t = k - 0.5f * Z;
                const bool in = u * u + w * w + t * t < radius * radius && !(j > 0.6f * Y);
                m[((size_t)k * Y + j) * X + i] = in ? 1.0f : 0.0f;
            }
    return m;
}

}  // namespace

TEST_F(CudaVsCpu, MaskedCostsMatch) {
    const float cs[3] = {19.6f, 17.3f, 14.8f}, cr[3] = {17.7f, 19.2f, 15.9f};
    for (float d : {1.0f, 4.0f}) {  // trilinear and point-sampled sources
        Pair src = both(*gpu, *cpu, 40, 36, 30, headImage(40, 36, 30, 21), d, d, d, cs);
        Pair ref = both(*gpu, *cpu, 36, 40, 32, headImage(36, 40, 32, 22), d, d, d, cr);
        Pair srcMask = both(*gpu, *cpu, 40, 36, 30, ballMask(40, 36, 30, 14.0f), d, d, d, cs);
        Pair refMask = both(*gpu, *cpu, 36, 40, 32, ballMask(36, 40, 32, 13.0f), d, d, d, cr);
        std::mt19937 rng(77);
        std::vector<float> mats;
        for (int i = 0; i < 30; ++i) {
            const Matrix m = i ? randomMatrix(rng, d, d, d) : Matrix();
            mats.insert(mats.end(), m.data, m.data + 16);
        }
        const int n = (int)mats.size() / 16;
        const CostPairOptions cases[3] = {{refMask.onCpu.get(), nullptr, false},
                                          {nullptr, srcMask.onCpu.get(), false},
                                          {refMask.onCpu.get(), srcMask.onCpu.get(), false}};
        const CostPairOptions gpuCases[3] = {{refMask.onGpu.get(), nullptr, false},
                                             {nullptr, srcMask.onGpu.get(), false},
                                             {refMask.onGpu.get(), srcMask.onGpu.get(), false}};
        std::vector<float> plain(n);
        cpu->initCorrelationRatio(*src.onCpu, *ref.onCpu, 256, {});
        cpu->calcCorrelationRatio(mats.data(), n, plain.data());
        for (int c = 0; c < 3; ++c) {
            std::vector<float> g(n), k(n);
            gpu->initCorrelationRatio(*src.onGpu, *ref.onGpu, 256, gpuCases[c]);
            cpu->initCorrelationRatio(*src.onCpu, *ref.onCpu, 256, cases[c]);
            gpu->calcCorrelationRatio(mats.data(), n, g.data());
            cpu->calcCorrelationRatio(mats.data(), n, k.data());
            int changed = 0;
            for (int i = 0; i < n; ++i) {
                EXPECT_NEAR(g[i], k[i], 1e-4f) << "mask case " << c << " voxel " << d << " matrix " << i;
                changed += std::fabs(k[i] - plain[i]) > 1e-3f;
            }
            EXPECT_GT(changed, n / 2) << "the masks must matter (case " << c << ")";
        }
        gpu->freeCorrelationRatio();
        cpu->freeCorrelationRatio();
    }
}

TEST_F(CudaVsCpu, NearestTransformMatches) {
    const float cs[3] = {20.4f, 17.7f, 12.1f}, cr[3] = {15.0f, 16.0f, 14.0f};
    Pair src = both(*gpu, *cpu, 41, 35, 26, headImage(41, 35, 26, 3), 1.1f, 1.0f, 1.3f, cs);
    Pair ref = both(*gpu, *cpu, 30, 33, 28, headImage(30, 33, 28, 4), 1.0f, 1.0f, 1.0f, cr);
    std::mt19937 rng(9);
    for (int i = 0; i < 4; ++i) {
        const Matrix m = randomMatrix(rng, 1, 1, 1);
        VolumePtr g = makeVolume(30, 33, 28, gpu.get()), k = makeVolume(30, 33, 28, cpu.get());
        for (Volume* v : {g.get(), k.get()}) {
            v->dx = v->dy = v->dz = 1.0f;
            for (int a = 0; a < 3; ++a) v->center[a] = cr[a];
        }
        // Positions outside the source take the value given (the world commands' physical
        // zero), on both backends.
        gpu->transformVolume(*src.onGpu, *g, m.data, true, -3.5f);
        cpu->transformVolume(*src.onCpu, *k, m.data, true, -3.5f);
        // Nearest values are voxels of the source: equal, except where a position lies
        // within rounding of a cell boundary.
        const std::vector<float> a = contents(*g), b = contents(*k);
        size_t differ = 0;
        for (size_t v = 0; v < a.size(); ++v) differ += a[v] != b[v];
        EXPECT_LT(differ, a.size() / 1000) << "matrix " << i;
    }
}

// ---- a reference prepared once for many sources --------------------------------------

// A batch's fixed image: each level's reference sorted once and paired with one source
// after another. Every pair must give, to the bit, what a pair prepared on its own gives,
// also after plain pairs have reused the buffers the sort works in; the shared reference
// allocates nothing once a pair is reserved, and gives its memory back when it goes.
TEST_F(CudaVsCpu, SharedReferenceGivesThePlainPairsCostsToTheBit) {
    struct Case {
        int bins;
        float voxel;
        int X, Y, Z;  // the reference; 2100 wide does not pack
        bool masked;
    };
    const Case cases[] = {{256, 1.0f, 61, 70, 57, false}, {256, 1.0f, 61, 70, 57, true},
                          {128, 2.0f, 31, 35, 29, true},  {64, 4.0f, 16, 18, 15, false},
                          {64, 8.0f, 8, 9, 8, false},      {128, 1.0f, 2100, 6, 5, false}};
    for (const Case& c : cases) {
        const float cr[3] = {0.5f * c.X - 0.3f, 0.5f * c.Y + 0.2f, 0.5f * c.Z - 0.1f};
        Pair ref = both(*gpu, *cpu, c.X, c.Y, c.Z, headImage(c.X, c.Y, c.Z, 90), c.voxel, c.voxel, c.voxel, cr);
        Pair mask = both(*gpu, *cpu, c.X, c.Y, c.Z, ballMask(c.X, c.Y, c.Z, 0.4f * std::min({c.X, c.Y, c.Z}) + 2),
                         c.voxel, c.voxel, c.voxel, cr);
        const Volume* gMask = c.masked ? mask.onGpu.get() : nullptr;
        const Volume* kMask = c.masked ? mask.onCpu.get() : nullptr;
        // Sources of other sizes and contents, and a plain pair of another reference between
        // them (it sorts into the scratch).
        std::vector<Pair> sources;
        for (int k = 0; k < 3; ++k) {
            const int sx = c.X + 3 * k - 2, sy = c.Y - k, sz = c.Z + k;
            const float cs[3] = {0.5f * sx + 0.4f * k, 0.5f * sy - 0.6f, 0.5f * sz + 0.3f};
            sources.push_back(both(*gpu, *cpu, sx, sy, sz, headImage(sx, sy, sz, 91 + k), c.voxel, c.voxel,
                                   c.voxel, cs));
        }
        Pair other = both(*gpu, *cpu, c.X - 1, c.Y + 2, c.Z, headImage(c.X - 1, c.Y + 2, c.Z, 99), c.voxel, c.voxel,
                          c.voxel, cr);
        const std::vector<float> mats = randomMatrices(40, 95, c.voxel);
        const int n = (int)mats.size() / 16;
        for (const Pair& src : sources) {
            gpu->reserveCorrelationRatio(*src.onGpu, *ref.onGpu);
            gpu->reserveCorrelationRatio(*src.onGpu, *other.onGpu);
        }

        const DeviceMemoryStats before = gpu->memoryStats();
        ReferencePtr shared = gpu->prepareReference(*ref.onGpu, c.bins, gMask);
        ReferencePtr sharedCpu = cpu->prepareReference(*ref.onCpu, c.bins, kMask);
        ASSERT_TRUE(shared);
        const uint64_t allocationsOfOne = gpu->memoryStats().allocations;
        for (size_t k = 0; k < sources.size(); ++k) {
            for (bool exact : {false, true}) {
                const std::string what = "bins " + std::to_string(c.bins) + " voxel " + std::to_string(c.voxel) +
                                         " width " + std::to_string(c.X) + (c.masked ? " masked" : "") +
                                         " source " + std::to_string(k) + (exact ? " exact" : "");
                CostPairOptions opts;
                opts.exactWeights = exact;
                std::vector<float> withShared(n), plain(n), onCpu(n), between(n);
                gpu->initCorrelationRatio(*sources[k].onGpu, shared, opts);
                gpu->calcCorrelationRatio(mats.data(), n, withShared.data());
                gpu->initCorrelationRatio(*sources[k].onGpu, *other.onGpu, c.bins, opts);  // sorts in the scratch
                gpu->calcCorrelationRatio(mats.data(), n, between.data());
                CostPairOptions own = opts;
                own.refMask = gMask;
                gpu->initCorrelationRatio(*sources[k].onGpu, *ref.onGpu, c.bins, own);
                gpu->calcCorrelationRatio(mats.data(), n, plain.data());
                EXPECT_EQ(std::memcmp(withShared.data(), plain.data(), sizeof(float) * n), 0) << what;
                gpu->initCorrelationRatio(*sources[k].onGpu, shared, opts);  // after the plain pairs
                gpu->calcCorrelationRatio(mats.data(), n, between.data());
                EXPECT_EQ(std::memcmp(withShared.data(), between.data(), sizeof(float) * n), 0) << what << ", again";
                cpu->initCorrelationRatio(*sources[k].onCpu, sharedCpu, opts);
                cpu->calcCorrelationRatio(mats.data(), n, onCpu.data());
                for (int i = 0; i < n; ++i) EXPECT_NEAR(withShared[i], onCpu[i], 1e-4f) << what << " matrix " << i;
            }
        }
        EXPECT_EQ(gpu->memoryStats().allocations, allocationsOfOne) << "pairs with the shared reference allocated";
        gpu->freeCorrelationRatio();
        cpu->freeCorrelationRatio();
        shared.reset();
        EXPECT_EQ(gpu->memoryStats().bytesInUse, before.bytesInUse) << "the shared reference kept memory";
    }
    // No reference: nothing prepared, nothing to measure.
    const float c[3] = {8, 8, 8};
    Pair v = both(*gpu, *cpu, 17, 17, 17, headImage(17, 17, 17, 5), 1, 1, 1, c);
    gpu->initCorrelationRatio(*v.onGpu, ReferencePtr(), {});
    const Matrix id;
    float r = 0;
    gpu->calcCorrelationRatio(id.data, 1, &r);
    EXPECT_EQ(r, 1.0f);
}
