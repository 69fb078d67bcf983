#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>

#include "device/costfunction.h"
#include "device/cpu/cpu_device.h"
#include "device/cpu/simd.h"
#include "device/kernels.h"
#include "geometry/transform.h"
#include "support/testvolumes.h"
#include "volume/resample.h"

namespace {

Device& cpu() {
    static std::unique_ptr<Device> d = makeCpuDevice(3);
    return *d;
}

float at(const std::vector<float>& v, const Volume& g, int i, int j, int k) {
    return v[((size_t)k * g.y + j) * g.x + i];
}

// A smooth, non-separable test pattern.
float pattern(int i, int j, int k) { return (float)(i * 7 + j * 13 + k * 3 + (i * j) % 11); }

}  // namespace

TEST(Sampling, IntegerCoordinateIsMeanOfNeighboursAndEdgesClamp) {
    const float d[4] = {10, 20, 40, 80};
    kern::Dim3 n{4, 1, 1};
    EXPECT_EQ(kern::fetchLinear(d, n, 0.0f, 0.5f, 0.5f), 10.0f);  // voxel 0 alone
    EXPECT_EQ(kern::fetchLinear(d, n, 1.0f, 0.5f, 0.5f), 15.0f);
    EXPECT_EQ(kern::fetchLinear(d, n, 2.5f, 0.5f, 0.5f), 40.0f);  // voxel centre
    EXPECT_EQ(kern::fetchLinear(d, n, 4.0f, 0.5f, 0.5f), 80.0f);
    EXPECT_EQ(kern::fetchLinear(d, n, -7.0f, 0.5f, 0.5f), 10.0f);
    EXPECT_EQ(kern::fetchLinear(d, n, 1e30f, 0.5f, 0.5f), 80.0f);
    EXPECT_EQ(kern::fetchLinear(d, n, NAN, 0.5f, 0.5f), kern::fetchLinear(d, n, NAN, 0.5f, 0.5f));
}

TEST(Sampling, WeightsHaveEightFractionalBits) {
    const float d[2] = {0, 256};
    kern::Dim3 n{2, 1, 1};
    // Fraction 0.3 becomes 77/256; with exact weights it stays 0.3 (to float rounding).
    EXPECT_EQ(kern::fetchLinear(d, n, 0.8f, 0.5f, 0.5f), 77.0f);
    EXPECT_NEAR(kern::fetchLinear(d, n, 0.8f, 0.5f, 0.5f, kern::TieRule::Exact), 76.8f, 1e-4f);
    // Exact weights keep the clamping and the integer-coordinate convention.
    EXPECT_EQ(kern::fetchLinear(d, n, -3.0f, 0.5f, 0.5f, kern::TieRule::Exact), 0.0f);
    EXPECT_EQ(kern::fetchLinear(d, n, 1.0f, 0.5f, 0.5f, kern::TieRule::Exact), 128.0f);
    EXPECT_EQ(kern::fetchPoint(d, n, 0.99f, 0, 0), 0.0f);
    EXPECT_EQ(kern::fetchPoint(d, n, 1.0f, 0, 0), 256.0f);
    EXPECT_EQ(kern::fetchPoint(d, n, 5.0f, 0, 0), 256.0f);
}

TEST(Resample, HalfSampleCountsCentreAndConstant) {
    auto v = volumeOf(cpu(), 5, 2, 1, [](int, int, int) { return 42.0f; });
    v->center[0] = 10;
    v->center[1] = 20;
    v->center[2] = 30;
    v->maxValue = 7;
    v->datatype = 4;
    auto h = halfSample(*v);
    EXPECT_EQ(h->x, 3);
    EXPECT_EQ(h->y, 1);
    EXPECT_EQ(h->z, 1);
    EXPECT_EQ(h->dx, 2.0f);
    EXPECT_EQ(h->center[0], 5.0f);
    EXPECT_EQ(h->center[1], 10.0f);
    EXPECT_EQ(h->center[2], 15.0f);
    EXPECT_EQ(h->datatype, 4);
    EXPECT_EQ(h->maxValue, 7.0f);
    for (float x : contents(*h)) EXPECT_NEAR(x, 42.0f, 42.0f * 1e-6f);
}

TEST(Resample, HalfSampleMatchesBinomialWeights) {
    // Along one axis output i draws on inputs 2i-2 .. 2i+1 with about 1/8, 3/8, 3/8, 1/8.
    auto v = volumeOf(cpu(), 16, 1, 1, [](int i, int, int) { return i == 6 ? 64.0f : 0.0f; });
    auto h = halfSample(*v);
    auto c = contents(*h);
    // Voxel 6 feeds outputs 3 (as 2i) and 4 (as 2i-2): weights 3/8 and 1/8 of the
    // one-axis filter, times the 1/4+1/2+1/4 sums of the two flat axes.
    EXPECT_NEAR(c[3], 64.0f * 0.375f, 0.05f);
    EXPECT_NEAR(c[4], 64.0f * 0.125f, 0.05f);
    EXPECT_NEAR(c[2], 0.0f, 1e-6f);
}

// The shared-lattice half-sample gives the 27 direct fetches of every output bit for bit:
// odd and even sizes, edges that clamp, axes of one and two voxels, every rounding rule.
TEST(Resample, HalfSampleEqualsItsDirectEvaluation) {
    for (auto ties : {kern::TieRule::ToEven, kern::TieRule::HalfUp, kern::TieRule::Exact})
        for (auto [x, y, z] : {std::tuple{13, 10, 7}, std::tuple{8, 1, 2}, std::tuple{1, 5, 4}}) {
            auto dev = makeCpuDevice(2, kern::TextureRules{kern::PointRule::Floor, ties});
            auto v = volumeOf(*dev, x, y, z, [](int i, int j, int k) {
                return (float)((i * 7919 + j * 104729 + k * 1299709) % 1000) * 0.37f - 50.0f;
            });
            auto h = halfSample(*v);
            const auto in = contents(*v), got = contents(*h);
            const kern::Dim3 n{x, y, z};
            auto fetch = [&](float a, float b, float c) { return kern::fetchLinear(in.data(), n, a, b, c, ties); };
            for (int k = 0; k < h->z; ++k)
                for (int j = 0; j < h->y; ++j)
                    for (int i = 0; i < h->x; ++i) {
                        const float want = kern::halfSampleValue(fetch, i, j, k);
                        const float have = got[((size_t)k * h->y + j) * h->x + i];
                        ASSERT_EQ(0, std::memcmp(&want, &have, 4)) << x << "x" << y << "x" << z << " at " << i
                                                                   << "," << j << "," << k;
                    }
        }
}

// The separable isotropic resample gives the direct per-voxel fetch of every output bit for
// bit: down- and up-sampling, anisotropic voxels, an axis of one voxel, grids running past
// the source's far edge (where the indices clamp), several slabs of output slices, every
// rounding rule. The ratios are output voxel size over source voxel size.
TEST(Resample, IsotropicEqualsItsDirectEvaluation) {
    struct Case {
        int x, y, z;
        float rx, ry, rz;
        int X, Y, Z;
    };
    const float from088 = 1.0f / 0.88f, from3 = 1.0f / 3.0f;
    const Case cases[] = {
        {13, 10, 7, 1, 1, 1, 13, 10, 7},                          // own size
        {23, 17, 19, from088, from088, from088, 20, 14, 16},      // 0.88 mm to 1 mm
        {11, 9, 21, 0.88f, 0.88f, 0.88f, 12, 10, 23},             // 1 mm to 0.88 mm
        {15, 13, 5, 1, 1, from3, 15, 13, 15},                     // 1 x 1 x 3 mm to 1 mm
        {5, 7, 3, 0.25f, 0.25f, 0.25f, 20, 28, 12},               // 4 mm to 1 mm
        {27, 19, 33, 2, 2, 2, 13, 9, 16},                         // 0.5 mm to 1 mm
        {1, 5, 4, 1, 0.5f, 1, 1, 10, 4},                          // one voxel across
        {9, 6, 5, 0.7f, 1.3f, 0.5f, 17, 9, 14},                   // well past the far edges
    };
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(-50.0f, 300.0f);
    for (auto ties : {kern::TieRule::ToEven, kern::TieRule::HalfUp, kern::TieRule::Exact}) {
        auto dev = makeCpuDevice(2, kern::TextureRules{kern::PointRule::Floor, ties});
        for (const Case& c : cases) {
            std::vector<float> in((size_t)c.x * c.y * c.z);
            for (float& v : in) v = value(rng);
            auto v = volumeFrom(*dev, c.x, c.y, c.z, in);
            VolumePtr o = makeVolume(c.X, c.Y, c.Z, dev.get());
            dev->isotropicResample(*v, *o, c.rx, c.ry, c.rz);
            const auto got = contents(*o);
            const kern::Dim3 n{c.x, c.y, c.z};
            for (int k = 0; k < c.Z; ++k)
                for (int j = 0; j < c.Y; ++j)
                    for (int i = 0; i < c.X; ++i) {
                        const kern::V3 p = kern::isotropicPosition(i, j, k, c.rx, c.ry, c.rz);
                        const float want = kern::fetchLinear(in.data(), n, p.x, p.y, p.z, ties);
                        const float have = got[((size_t)k * c.Y + j) * c.X + i];
                        ASSERT_EQ(0, std::memcmp(&want, &have, 4))
                            << c.x << "x" << c.y << "x" << c.z << " onto " << c.X << "x" << c.Y << "x" << c.Z
                            << " at " << i << "," << j << "," << k << ": " << have << " for " << want;
                    }
        }
    }
}

TEST(Resample, IsotropicToOwnSizeIsTwoByTwoMean) {
    auto v = volumeOf(cpu(), 6, 5, 4, pattern);
    auto o = isotropicResample(*v, 1, 1, 1);
    ASSERT_TRUE(o);
    auto in = contents(*v), out = contents(*o);
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 5; ++j)
            for (int i = 0; i < 6; ++i) {
                float s = 0;
                for (int c = 0; c < 8; ++c)
                    s += at(in, *v, std::max(i - (c & 1), 0), std::max(j - ((c >> 1) & 1), 0),
                            std::max(k - (c >> 2), 0));
                ASSERT_NEAR(at(out, *o, i, j, k), s / 8, 1e-4) << i << "," << j << "," << k;
            }
}

TEST(Resample, IsotropicCountsTruncateAndCentreScales) {
    auto v = volumeOf(cpu(), 181, 4, 3, [](int, int, int) { return 1.0f; });
    v->center[0] = 10;
    auto o = isotropicResample(*v, 2, 1, 1);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->x, 90);
    EXPECT_EQ(o->center[0], 5.0f);
    EXPECT_FALSE(isotropicResample(*v, 1000, 1, 1));  // no voxels left on x
}

TEST(Resample, OrientationFollowsTheSamplingGrid) {
    auto v = volumeOf(cpu(), 8, 8, 8, pattern);
    v->orient.code = 1;
    v->orient.m[0][3] = -10;
    auto h = halfSample(*v);
    EXPECT_EQ(h->orient.code, 1);
    EXPECT_EQ(h->orient.m[0][0], 2.0f);
    EXPECT_EQ(h->orient.m[0][3], -10.5f);  // output voxel 0 sampled at input index -0.5
}

TEST(Transform, IdentityAveragesAndShiftMovesContent) {
    auto v = volumeOf(cpu(), 12, 10, 8, pattern);
    v->center[0] = 5;
    v->center[1] = 4;
    v->center[2] = 3;
    Matrix id;
    auto o = transformVolume(*v, *v, id);
    auto in = contents(*v), out = contents(*o);
    EXPECT_EQ(at(out, *o, 3, 3, 3),
              (at(in, *v, 2, 2, 2) + at(in, *v, 3, 2, 2) + at(in, *v, 2, 3, 2) + at(in, *v, 3, 3, 2) +
               at(in, *v, 2, 2, 3) + at(in, *v, 3, 2, 3) + at(in, *v, 2, 3, 3) + at(in, *v, 3, 3, 3)) /
                  8);
    // The matrix +5 on x is inverted by the commands; here the inverse (-5) samples x - 5.
    Matrix shift;
    shift.data[3] = -5;
    auto s = transformVolume(*v, *v, shift);
    auto sh = contents(*s);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(at(sh, *s, i, 4, 4), 0.0f);
    EXPECT_EQ(at(sh, *s, 9, 4, 4), at(out, *o, 4, 4, 4));
}

TEST(Transform, HalfOpenBoundsAndFourthRow) {
    auto v = volumeOf(cpu(), 4, 4, 4, [](int, int, int) { return 9.0f; });
    auto run = [&](float tx, float extra) {
        Matrix m;
        m.data[3] = tx;
        m.data[12] = extra;  // the fourth row is never read
        m.data[15] = 3;
        return contents(*transformVolume(*v, *v, m));
    };
    auto a = run(-0.25f, 0);
    EXPECT_EQ(a[0], 0.0f);  // s.x = -0.25: outside, although the texture would clamp
    EXPECT_EQ(a[1], 9.0f);
    auto b = run(0.75f, 0);
    EXPECT_EQ(b[3], 9.0f);  // s.x = 3.75 lies in [n - 0.5, n)
    auto c = run(1.0f, 0);
    EXPECT_EQ(c[3], 0.0f);  // s.x = 4 = n: outside
    EXPECT_EQ(run(0.75f, 5), b);
}

TEST(Transform, AnisotropicVoxelsConvertReferenceToSourceUnits) {
    auto src = volumeOf(cpu(), 20, 4, 4, [](int i, int, int) { return (float)i; }, 1);
    auto ref = volumeOf(cpu(), 10, 4, 4, [](int, int, int) { return 0.0f; }, 2);
    src->center[0] = 0;
    ref->center[0] = 0;
    Matrix id;
    auto o = transformVolume(*src, *ref, id);
    EXPECT_EQ(o->x, 10);
    EXPECT_EQ(o->dx, 2.0f);
    auto c = contents(*o);
    // Reference voxel 3 is 6 mm in: source position 6 -> mean of source voxels 5 and 6.
    EXPECT_NEAR(c[3], 5.5f, 1e-5);
}

// ---- cost -----------------------------------------------------------------------------

TEST(CostMath, PerBinExample) {
    float S[64] = {4, 30}, Q[64] = {10, 300}, N[64] = {2, 3};
    EXPECT_NEAR(kern::correlationRatioFromBins(S, Q, N, 64), 0.025381f, 1e-6);
    float z[64] = {};
    EXPECT_EQ(kern::correlationRatioFromBins(z, z, z, 64), 1.0f);
}

TEST(CostMath, BinsAndStages) {
    EXPECT_EQ(kern::binOf(255.0f, 4), 63u);
    EXPECT_EQ(kern::binOf(255.0f, 1), 255u);
    EXPECT_EQ(kern::binOf(256.0f, 1), 256u);
    EXPECT_EQ(kern::binOf(3.999f, 4), 0u);
    EXPECT_EQ(kern::binOf(4.0f, 4), 1u);
    EXPECT_EQ(kern::binCountForStage(0), 0);
    EXPECT_EQ(kern::binCountForStage(2), 128);
}

namespace {

struct Pair {
    VolumePtr src, ref;
};

Pair phantomPair(Device& dev, int n, int stage) {
    Pair p;
    auto body = [n](int i, int j, int k) {
        float r = std::sqrt((float)((i - n / 2) * (i - n / 2) + (j - n / 2) * (j - n / 2) +
                                    (k - n / 2) * (k - n / 2)));
        return r < n / 5 ? 200.0f : (r < n / 3 ? 120.0f + (float)(i % 3) : 10.0f);
    };
    p.ref = volumeOf(dev, n, n, n, body);
    p.src = volumeOf(dev, n, n, n, [&](int i, int j, int k) { return 255.0f - body(i, j, k) * 0.9f; });
    for (Volume* v : {p.src.get(), p.ref.get()}) {
        v->stage = (int16_t)stage;
        for (int a = 0; a < 3; ++a) v->center[a] = n / 2 + 0.3f;
    }
    return p;
}

float cost(const Pair& p, const Matrix& m) {
    float v = 0;
    calcCorrelationRatio(*p.src, *p.ref, m.data, &v);
    return v;
}

}  // namespace

TEST(Cost, AlignedBeatsMovedAndOutsideIsOne) {
    Pair p = phantomPair(cpu(), 24, 4);
    initCorrelationRatio(*p.src, *p.ref);
    Matrix id, moved, away;
    moved.data[3] = 3;
    away.data[3] = 500;
    float a = cost(p, id), b = cost(p, moved);
    EXPECT_LT(a, b);
    EXPECT_LT(a, 0.05f);
    EXPECT_EQ(cost(p, away), 1.0f);
    moved.data[12] = 4;  // fourth row
    EXPECT_EQ(cost(p, moved), b);
    freeCorrelationRatio();
}

TEST(Cost, ConstantSourceAndUnknownStage) {
    Pair p = phantomPair(cpu(), 12, 4);
    cpu().upload(p.src->data, std::vector<float>(12 * 12 * 12, 77.0f).data(), 12 * 12 * 12);
    initCorrelationRatio(*p.src, *p.ref);
    EXPECT_EQ(cost(p, Matrix()), 1.0f);
    freeCorrelationRatio();
    p.ref->stage = 0;
    testing::internal::CaptureStdout();
    initCorrelationRatio(*p.src, *p.ref);
    float v = 5;
    calcCorrelationRatio(*p.src, *p.ref, Matrix().data, &v);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nError Stage!\n\nError Stage!\n");
    EXPECT_EQ(v, 0.0f);
}

TEST(Cost, BinsOfTwoVoxelsContributeNothing) {
    // Reference: bin 0 everywhere except two voxels in bin 100 and three in bin 200.
    std::vector<float> ref(64, 0.0f), src(64);
    ref[5] = ref[6] = 100.5f;
    ref[9] = ref[10] = ref[11] = 200.5f;
    for (int i = 0; i < 64; ++i) src[i] = (float)((i * 37) % 64);
    auto r = volumeFrom(cpu(), 4, 4, 4, ref);
    auto s = volumeFrom(cpu(), 4, 4, 4, src);
    r->stage = s->stage = 3;
    initCorrelationRatio(*s, *r);
    float withTwo = 0;
    calcCorrelationRatio(*s, *r, Matrix().data, &withTwo);
    freeCorrelationRatio();
    // Moving the two voxels of bin 100 into bin 0 changes nothing but bin 0's membership.
    ref[5] = ref[6] = 0.0f;
    auto r2 = volumeFrom(cpu(), 4, 4, 4, ref);
    r2->stage = 3;
    initCorrelationRatio(*s, *r2);
    float without = 0;
    calcCorrelationRatio(*s, *r2, Matrix().data, &without);
    freeCorrelationRatio();
    EXPECT_NE(withTwo, without);  // they left bin 0 and are not counted anywhere
}

TEST(Cost, BatchEqualsSinglesAndThreadCountDoesNotMatter) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-0.2f, 0.2f);
    std::vector<float> mats;
    for (int m = 0; m < 9; ++m) {
        Matrix a;
        for (int i = 0; i < 12; ++i) a.data[i] += (i % 4 == 3) ? 10 * u(rng) : u(rng);
        mats.insert(mats.end(), a.data, a.data + 16);
    }
    std::vector<float> reference;
    for (int threads : {1, 2, 5}) {
        auto dev = makeCpuDevice(threads);
        Pair p = phantomPair(*dev, 40, 3);
        initCorrelationRatio(*p.src, *p.ref);
        std::vector<float> batch(9), single(9);
        calcCorrelationRatioBatch(*p.src, *p.ref, mats.data(), 9, batch.data());
        for (int m = 0; m < 9; ++m) calcCorrelationRatio(*p.src, *p.ref, &mats[16 * m], &single[m]);
        freeCorrelationRatio();
        EXPECT_EQ(0, std::memcmp(batch.data(), single.data(), 9 * sizeof(float)));
        if (reference.empty()) reference = batch;
        EXPECT_EQ(0, std::memcmp(batch.data(), reference.data(), 9 * sizeof(float))) << threads;
    }
}

TEST(Cost, ReferenceCentreIsTruncatedSourceCentreIsNot) {
    Pair p = phantomPair(cpu(), 16, 4);
    p.ref->center[0] = 8.7f;
    initCorrelationRatio(*p.src, *p.ref);
    float a = cost(p, Matrix());
    freeCorrelationRatio();
    p.ref->center[0] = 8.0f;
    initCorrelationRatio(*p.src, *p.ref);
    EXPECT_EQ(cost(p, Matrix()), a);
    freeCorrelationRatio();
    p.src->center[0] += 0.5f;
    initCorrelationRatio(*p.src, *p.ref);
    EXPECT_NE(cost(p, Matrix()), a);
    freeCorrelationRatio();
}

TEST(Cost, VectorAndScalarSamplingAgreeBitForBit) {
    if (!simdAvailable()) GTEST_SKIP() << "no AVX2/FMA on this processor";
    // Linear, point sampling (under both point rules), linear with exact weights.
    struct Mode {
        float voxel;
        bool exact;
        kern::PointRule point;
    };
    for (const Mode mode : {Mode{1.0f, false, kern::PointRule::Floor}, Mode{4.0f, false, kern::PointRule::Floor},
                            Mode{4.0f, false, kern::PointRule::Fixed8}, Mode{1.0f, true, kern::PointRule::Floor}}) {
        kern::TextureRules rules;
        rules.point = mode.point;
        auto dev = makeCpuDevice(1, rules);
        const float voxel = mode.voxel;
        const bool exact = mode.exact;
        Pair p = phantomPair(*dev, 30, 3);
        p.src->dx = voxel;
        CostPairOptions o;
        o.exactWeights = exact;
        initCorrelationRatio(*p.src, *p.ref, o);
        const cpucost::Pair& pr = *static_cast<CpuDevice&>(*dev).pair();
        std::mt19937 rng(3);
        std::uniform_real_distribution<float> u(-0.3f, 0.3f);
        for (int m = 0; m < 20; ++m) {
            // Sources this small are not prefetched by default; the second half asks
            // ahead all the same, which must change no sum (and read nothing outside).
            const_cast<cpucost::Pair&>(pr).prefetch = m >= 10 && !pr.rowsPadded.empty();
            Matrix a;
            for (int i = 0; i < 12; ++i) a.data[i] += (i % 4 == 3) ? 30 * u(rng) : u(rng);
            // One matrix far out, one not a number: no sample inside, and no read outside.
            if (m == 5) a.data[3] = 1e30f;
            if (m == 6) a.data[7] = NAN;
            for (const auto& ch : pr.ref->chunks) {
                // Odd lengths exercise the tail of the vector loop.
                for (uint32_t end : {ch.end, ch.begin + (ch.end - ch.begin) / 2 + 1}) {
                    const cpucost::Chunk part{ch.bin, ch.begin, end};
                    float s[3], v[3];
                    scalarChunkSums(pr, a.data, &part, 1, s);
                    simdChunkSums(pr, a.data, &part, 1, v);
                    ASSERT_EQ(0, std::memcmp(s, v, sizeof s)) << "matrix " << m << " chunk " << ch.begin;
                }
            }
            // All chunks in one call, as the workers take them.
            std::vector<float> s(3 * pr.ref->chunks.size()), v(s.size());
            scalarChunkSums(pr, a.data, pr.ref->chunks.data(), pr.ref->chunks.size(), s.data());
            simdChunkSums(pr, a.data, pr.ref->chunks.data(), pr.ref->chunks.size(), v.data());
            ASSERT_EQ(0, std::memcmp(s.data(), v.data(), 4 * s.size())) << "matrix " << m;
        }
        freeCorrelationRatio();
    }
}

// Samples that read only zeros, and tiles that fall wholly outside the source or wholly on
// its zeros, are counted without being read: the sums must be those of reading them, to
// the bit, and both shortcuts must have been taken. The source is a small head amid zeros
// (some of them -0.0), smaller than the reference on two axes, so that tiles lie across its
// faces as well as inside and outside it.
TEST(Cost, ZerosAreCountedWithoutReadingThemToTheBit) {
    const int X = 70, Y = 37, Z = 41, S = 60;
    std::vector<float> ref((size_t)X * Y * Z), src((size_t)S * 30 * S, 0.0f);
    for (int k = 0; k < Z; ++k)
        for (int j = 0; j < Y; ++j)
            for (int i = 0; i < X; ++i) ref[((size_t)k * Y + j) * X + i] = (float)((i / 5 + j / 4 + k / 6) * 9 % 200);
    for (int k = 0; k < S; ++k)
        for (int j = 0; j < 30; ++j)
            for (int i = 0; i < S; ++i) {
                const float u = i - 30.0f, v = j - 15.0f, w = k - 30.0f;
                float& at = src[((size_t)k * 30 + j) * S + i];
                if (u * u + v * v + w * w < 100.0f) at = 100.0f + 3.0f * (float)((i * 7 + j * 3 + k) % 13);
                else if ((i + j + k) % 5 == 0) at = -0.0f;
            }
    auto r = volumeFrom(cpu(), X, Y, Z, ref), s = volumeFrom(cpu(), S, 30, S, src);
    r->stage = s->stage = 3;
    r->center[0] = 35.2f, r->center[1] = 18.4f, r->center[2] = 20.6f;
    s->center[0] = 30.0f, s->center[1] = 15.0f, s->center[2] = 30.0f;
    auto dev = makeCpuDevice(1);
    auto& cpuDev = static_cast<CpuDevice&>(*dev);
    dev->initCorrelationRatio(*s, *r, 256, {});
    auto& pr = const_cast<cpucost::Pair&>(*cpuDev.pair());
    // Sources this small are neither prefetched nor mapped for zeros by default.
    if (!pr.rowsPadded.empty()) {
        pr.prefetch = true;
        markZeroCubes(pr, cpuDev.pool());
    }
    const auto& chunks = pr.ref->chunks;
    int zeroTiles = 0, outsideTiles = 0;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1, 1);
    for (int m = 0; m < 24; ++m) {
        TransformParams tp;
        for (int a = 0; a < 3; ++a) tp[a] = 40.0f * u(rng);
        for (int a = 3; a < 6; ++a) tp[a] = (m % 4 == 3 ? 60.0f : 8.0f) * u(rng);
        tp[6] = tp[7] = tp[8] = 1.0f + 0.15f * u(rng);
        Matrix a;
        composeAffine(tp, a, 1, 1, 1);
        for (const auto& t : pr.ref->tiles) {
            const TileSums k = sampleFreeSums(pr, t, a.data);
            zeroTiles += k == TileSums::Zero;
            outsideTiles += k == TileSums::Outside;
        }
        std::vector<float> read(3 * chunks.size()), known(read.size());
        scalarChunkSums(pr, a.data, chunks.data(), chunks.size(), read.data());
        cpuChunkSums(pr, a.data, chunks.data(), chunks.size(), known.data());
        ASSERT_EQ(0, std::memcmp(read.data(), known.data(), 4 * read.size())) << "matrix " << m;
    }
    EXPECT_GT(zeroTiles, 0);
    EXPECT_GT(outsideTiles, 0);
    dev->freeCorrelationRatio();
}

namespace {

// The cost straight from its definition, in double, visiting the reference in storage
// order: no tiles, chunks or lanes.
double costByDefinition(const Volume& src, const Volume& ref, const float* A, int binCount) {
    const std::vector<float> s = contents(src), r = contents(ref);
    const uint32_t width = 256u / (uint32_t)binCount;
    std::vector<uint32_t> members(binCount, 0);
    for (float w : r)
        if (kern::binOf(w, width) < (uint32_t)binCount) members[kern::binOf(w, width)]++;
    std::vector<double> S(binCount), Q(binCount), N(binCount);
    const kern::V3 rc = kern::truncatedCenter({ref.center[0], ref.center[1], ref.center[2]});
    const kern::V3 sc{src.center[0], src.center[1], src.center[2]};
    for (int k = 0; k < ref.z; ++k)
        for (int j = 0; j < ref.y; ++j)
            for (int i = 0; i < ref.x; ++i) {
                const uint32_t b = kern::binOf(at(r, ref, i, j, k), width);
                if (b >= (uint32_t)binCount || members[b] < 3) continue;
                const kern::V3 m = kern::costPosition(A, (float)i, (float)j, (float)k, rc, sc);
                if (!kern::insideInclusive(m, (float)src.x, (float)src.y, (float)src.z)) continue;
                const double f = kern::fetchLinear(s.data(), {src.x, src.y, src.z}, m.x, m.y, m.z);
                S[b] += f;
                Q[b] += f * f;
                N[b] += 1;
            }
    double s0 = 0, q0 = 0, n0 = 0, v0 = 0;
    for (int b = 0; b < binCount; ++b) {
        s0 += S[b];
        q0 += Q[b];
        n0 += N[b];
        if (N[b] > 0) v0 += std::max(0.0, Q[b] - S[b] * S[b] / N[b]);
    }
    const double t = q0 - s0 * s0 / n0;
    return n0 > 1 && t > 1 ? v0 / t : 1.0;
}

}  // namespace

// The reference is visited tile by tile: grids that are not whole numbers of tiles, bins
// whose voxels lie in different tiles (three of them count, two do not), any rotation,
// must all give the cost of the plain definition.
TEST(Cost, TiledVisitingGivesTheCostOfTheDefinition) {
    const int X = 70, Y = 37, Z = 41;  // two whole tiles and a part along x, under one along y
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> noise(0.0f, 6.0f);
    std::vector<float> ref((size_t)X * Y * Z), src(ref.size());
    for (int k = 0; k < Z; ++k)
        for (int j = 0; j < Y; ++j)
            for (int i = 0; i < X; ++i) {
                const size_t v = ((size_t)k * Y + j) * X + i;
                ref[v] = (float)((i / 5 + j / 4 + k / 6) * 9 % 200) + noise(rng);
                src[v] = 255.0f - 0.8f * ref[v] + noise(rng);
            }
    // Bin 250: three voxels, one in each tile along x. Bin 240: two voxels, in two tiles.
    for (int i : {3, 40, 66}) ref[((size_t)20 * Y + 10) * X + i] = 250.5f;
    for (int i : {10, 50}) ref[((size_t)30 * Y + 5) * X + i] = 240.5f;
    auto r = volumeFrom(cpu(), X, Y, Z, ref), s = volumeFrom(cpu(), X, Y, Z, src);
    r->stage = s->stage = 3;
    for (int a = 0; a < 3; ++a) r->center[a] = s->center[a] = (a == 0 ? X : a == 1 ? Y : Z) / 2.0f + 0.4f;

    auto dev = makeCpuDevice(2);
    dev->initCorrelationRatio(*s, *r, 256, {});
    const cpucost::Pair& p = *static_cast<CpuDevice&>(*dev).pair();
    int chunksOf250 = 0, chunksOf240 = 0;
    for (const auto& c : p.ref->chunks) chunksOf250 += c.bin == 250, chunksOf240 += c.bin == 240;
    EXPECT_EQ(chunksOf250, 3);
    EXPECT_EQ(chunksOf240, 0);
    for (float deg : {0.0f, 30.0f, 90.0f}) {
        TransformParams tp;
        tp[2] = deg;
        tp[0] = deg / 3;
        tp[3] = 1.3f;
        Matrix m;
        composeAffine(tp, m, 1, 1, 1);
        float got = 0;
        dev->calcCorrelationRatio(m.data, 1, &got);
        EXPECT_NEAR(got, costByDefinition(*s, *r, m.data, 256), 1e-5) << deg << " degrees";
    }
    dev->freeCorrelationRatio();
}

// A batch prepares the fixed image's bins once: the same prepared reference, paired with
// one source after another and outliving each pair, must give exactly the costs of pairs
// prepared from scratch.
TEST(Cost, PreparedReferenceServesSeveralSourcesExactly) {
    Pair a = phantomPair(cpu(), 24, 4), b = phantomPair(cpu(), 20, 4);
    Matrix m;
    m.data[0] = 1.04f;
    m.data[3] = 1.5f;
    m.data[6] = 0.05f;
    const float costs[2] = {(initCorrelationRatio(*a.src, *a.ref), cost(a, m)),
                            (initCorrelationRatio(*b.src, *a.ref), cost(b, m))};
    freeCorrelationRatio();
    ReferencePtr shared = prepareReference(*a.ref, nullptr);
    ASSERT_TRUE(shared);
    for (int round = 0; round < 2; ++round) {
        initCorrelationRatio(*a.src, *a.ref, shared, {});
        EXPECT_EQ(cost(a, m), costs[0]);
        initCorrelationRatio(*b.src, *a.ref, shared, {});
        EXPECT_EQ(cost(b, m), costs[1]);
        freeCorrelationRatio();
    }
    EXPECT_EQ(shared.use_count(), 1);  // no pair keeps it once freed
}
