// World coordinates, the world matrix files, the registration start and the degrees of
// freedom: the geometry that the world-space commands rest on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

#include "volume/transformfiles.h"
#include "device/costfunction.h"
#include "device/kernels.h"
#include "geometry/world.h"
#include "registration/dof.h"
#include "registration/cost.h"
#include "registration/pipeline.h"
#include "support/testvolumes.h"
#include "volume/resample.h"

namespace {

void expectNear(const Affine& a, const Affine& b, double tol, const char* what) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(a.a[i][j], b.a[i][j], tol) << what << " [" << i << "][" << j << "]";
}

Affine someAffine(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1, 1);
    Affine m;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) m.a[i][j] = (i == j ? 1.5 : 0.0) + u(rng) * (j == 3 ? 30 : 0.4);
    return m;
}

// A sagittal grid: i posterior, j inferior, k left, 2 mm voxels, centre at the origin.
Orientation sagittal(int x, int y, int z) {
    Orientation o;
    o.code = 1;
    const float q[3][3] = {{0, 0, -2}, {-2, 0, 0}, {0, -2, 0}};
    const int n[3] = {x, y, z};
    for (int r = 0; r < 3; ++r) {
        float off = 0;
        for (int c = 0; c < 3; ++c) {
            o.m[r][c] = q[r][c];
            off -= q[r][c] * (n[c] - 1) * 0.5f;
        }
        o.m[r][3] = off;
    }
    return o;
}

std::string scratch(const char* name) { return "/tmp/tarvo_world_" + std::to_string(getpid()) + "_" + name; }

}  // namespace

TEST(Affine, InverseAndLps) {
    const Affine m = someAffine(1);
    expectNear(m * m.inverse(), Affine::identity(), 1e-12, "m m^-1");
    // RAS -> LPS flips the signs of x and y on both sides; twice gives the matrix back.
    const Affine l = rasToLps(m);
    EXPECT_DOUBLE_EQ(l.a[0][0], m.a[0][0]);
    EXPECT_DOUBLE_EQ(l.a[0][2], -m.a[0][2]);
    EXPECT_DOUBLE_EQ(l.a[2][0], -m.a[2][0]);
    EXPECT_DOUBLE_EQ(l.a[0][3], -m.a[0][3]);
    EXPECT_DOUBLE_EQ(l.a[2][3], m.a[2][3]);
    expectNear(lpsToRas(l), m, 0, "twice");
}

TEST(WorldGrid, OrientationOrVoxelSizes) {
    Orientation none;
    const WorldGrid g = WorldGrid::of(none, 2, 3, 4);
    expectNear(g.voxelToWorld, Affine::diagonal(2, 3, 4), 0, "no orientation: the grid scaled");
    const Orientation s = sagittal(10, 12, 14);
    const WorldGrid h = WorldGrid::of(s, 2, 2, 2);
    const double centre[3] = {4.5, 5.5, 6.5};
    double w[3];
    h.voxelToWorld.apply(centre, w);
    EXPECT_NEAR(w[0], 0, 1e-6);
    EXPECT_NEAR(w[1], 0, 1e-6);
    EXPECT_NEAR(w[2], 0, 1e-6);
}

TEST(WorldGrid, LevelGridsLieWhereTheResampledVolumesSayTheyLie) {
    // The resampling keeps an orientation of its own for what it writes; the registration's
    // level grids must agree with it, or world matrices would be off by the level drift.
    auto& dev = device();
    VolumePtr v = volumeOf(dev, 30, 26, 22, [](int i, int j, int k) { return (float)(i + j + k); }, 1.3f);
    v->orient = sagittal(30, 26, 22);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) v->orient.m[r][c] *= 0.65f;  // 1.3 mm voxels
    VolumePtr level = isotropicResample(*v, 1, 1, 1);
    for (int h = 0; h < 3; ++h) {
        const WorldGrid g = levelGrid(worldGridOf(*v), *v, 1.0f, h);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 4; ++j)
                EXPECT_NEAR(g.voxelToWorld.a[i][j], level->orient.m[i][j], 1e-4) << "level " << h;
        level = halfSample(*level);
    }
}

TEST(WorldFiles, TextAndItkRoundTrip) {
    const Affine m = someAffine(2);
    std::string err;
    const std::string txt = scratch("m.txt"), tfm = scratch("m.tfm");
    ASSERT_TRUE(writeWorldMatrix(txt, m, err)) << err;
    ASSERT_TRUE(writeItkTransform(tfm, m, err)) << err;
    Affine a, b;
    ASSERT_TRUE(readWorldMatrix(txt, a, err)) << err;
    ASSERT_TRUE(readWorldMatrix(tfm, b, err)) << err;
    expectNear(a, asWrittenInText(m), 0, "text: what the file holds");
    expectNear(a, m, 1e-6 * 40, "text: full float precision");
    expectNear(b, m, 1e-12, "itk");
    std::remove(txt.c_str());
    std::remove(tfm.c_str());
}

TEST(WorldFiles, ItkCentreAndRefusals) {
    // An ITK transform about a centre c maps x to M (x - c) + c + t (LPS).
    const std::string tfm = scratch("c.tfm");
    {
        std::ofstream f(tfm);
        f << "#Insight Transform File V1.0\n#Transform 0\nTransform: AffineTransform_double_3_3\n"
             "Parameters: 0 -1 0 1 0 0 0 0 1 1 2 3\nFixedParameters: 10 0 0\n";
    }
    Affine m;
    std::string err;
    ASSERT_TRUE(readWorldMatrix(tfm, m, err)) << err;
    // LPS: x' = M (x - c) + c + t; at x = c: c + t = (11, 2, 3) LPS = (-11, -2, 3) RAS,
    // and LPS c = (10, 0, 0) is RAS (-10, 0, 0).
    const double c[3] = {-10, 0, 0};
    double out[3];
    m.apply(c, out);
    EXPECT_NEAR(out[0], -11, 1e-12);
    EXPECT_NEAR(out[1], -2, 1e-12);
    EXPECT_NEAR(out[2], 3, 1e-12);
    {
        std::ofstream f(tfm);
        f << "#Insight Transform File V1.0\nTransform: AffineTransform_double_3_3\nParameters: 1 0 0\n";
    }
    EXPECT_FALSE(readWorldMatrix(tfm, m, err));
    {
        std::ofstream f(tfm);
        f << "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1 7\n";  // seventeen numbers
    }
    EXPECT_FALSE(readWorldMatrix(tfm, m, err));
    EXPECT_FALSE(readWorldMatrix(scratch("absent.txt"), m, err));
    std::remove(tfm.c_str());
}

TEST(LevelStart, MatrixStartGivesItsWorldMatrixBackAndTheDeviceMatrixAgrees) {
    // Search parameters p on a level with a world start: the world matrix reported must be
    // the map that the device matrix (through the cost's own position arithmetic) applies.
    auto& dev = device();
    VolumePtr src = volumeOf(dev, 24, 20, 22, [](int, int, int) { return 0.0f; }, 2.0f);
    VolumePtr ref = volumeOf(dev, 20, 26, 18, [](int, int, int) { return 0.0f; }, 2.0f);
    src->center[0] = 11.3f, src->center[1] = 9.6f, src->center[2] = 10.2f;
    ref->center[0] = 9.7f, ref->center[1] = 12.4f, ref->center[2] = 8.9f;
    const WorldGrid sg = WorldGrid::of(sagittal(24, 20, 22), 2, 2, 2);
    Orientation ro;
    ro.code = 1;
    const Affine obl = someAffine(4);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) ro.m[i][j] = (float)obl.a[i][j];
    const WorldGrid rg = WorldGrid::of(ro, 2, 2, 2);
    Start start;
    start.kind = StartKind::Matrix;
    start.world = someAffine(5);
    const LevelStart ls = levelStart(start, *src, sg, *ref, rg);
    expectNear(worldMatrix(TransformParams(), ls, *src, sg, *ref, rg), start.world, 1e-4, "identity params");

    TransformParams p;
    p[0] = 7, p[1] = -4, p[2] = 12, p[3] = 3, p[4] = -5, p[5] = 2, p[6] = 1.05f, p[10] = 0.02f;
    const Affine w = worldMatrix(p, ls, *src, sg, *ref, rg);
    Matrix m;
    composeAffine(p, m, src->dx, src->dy, src->dz);
    float a[16];
    ls.compose(m.data, a);
    const kern::V3 rc = kern::truncatedCenter({ref->center[0], ref->center[1], ref->center[2]});
    const kern::V3 sc{src->center[0], src->center[1], src->center[2]};
    for (double r : {0.0, 5.0, 13.0}) {
        const kern::V3 pos = kern::costPosition(a, (float)r, (float)(r + 2), (float)(r / 2), rc, sc);
        // The same reference voxel through the world matrix, into source texture coordinates.
        const double v[3] = {r, r + 2, r / 2};
        double wv[3], s[3];
        rg.voxelToWorld.apply(v, wv);
        w.apply(wv, s);
        sg.worldToVoxel().apply(s, wv);
        EXPECT_NEAR(pos.x, wv[0] + 0.5, 1e-3);
        EXPECT_NEAR(pos.y, wv[1] + 0.5, 1e-3);
        EXPECT_NEAR(pos.z, wv[2] + 0.5, 1e-3);
    }
}

TEST(LevelStart, OneLayoutIsExactlyThePlainSearch) {
    auto& dev = device();
    VolumePtr src = volumeOf(dev, 16, 16, 16, [](int, int, int) { return 0.0f; }, 2.0f);
    const WorldGrid g = WorldGrid::of(sagittal(16, 16, 16), 2, 2, 2);
    Start header;
    const LevelStart ls = levelStart(header, *src, g, *src, g);
    EXPECT_TRUE(ls.identity);
    Matrix m;
    TransformParams p;
    p[0] = 3;
    composeAffine(p, m, 2, 2, 2);
    float a[16];
    ls.compose(m.data, a);
    for (int e = 0; e < 16; ++e) EXPECT_EQ(a[e], m.data[e]);
}

TEST(Dof, SweepsKeepOnlyFreeSteps) {
    auto params = [](const Sweep& s) {
        std::string out;
        for (const SweepStep& st : s.steps) out += std::to_string(st.param) + " ";
        return out;
    };
    const RestrictedSweep all(kSweep12Dof1mm, Dof(12));
    EXPECT_EQ(params(all), params(kSweep12Dof1mm));
    EXPECT_EQ(params(RestrictedSweep(kSweep12Dof1mm, Dof(6))), "2 0 1 5 3 4 ");
    EXPECT_EQ(params(RestrictedSweep(kSweep12Dof1mm, Dof(9))), "2 0 1 8 6 7 5 3 4 ");
    // 7: one common scale, never the separate ones.
    EXPECT_EQ(params(RestrictedSweep(kSweep7Dof2mm, Dof(7))), params(kSweep7Dof2mm));
    EXPECT_EQ(params(RestrictedSweep(kSweep9Dof2mm, Dof(7))), "2 0 1 5 3 4 ");
    EXPECT_EQ(params(RestrictedSweep(kGridPointSweep, Dof(6))), "5 4 3 ");
    EXPECT_FALSE(Dof::valid(8));
}

TEST(Masks, InsideFromOneHalf) {
    EXPECT_TRUE(kern::maskInside(0.5f));
    EXPECT_TRUE(kern::maskInside(1.0f));
    EXPECT_FALSE(kern::maskInside(0.49f));
    EXPECT_FALSE(kern::maskInside(NAN));
    // A masked reference voxel falls in no bin at any bin count.
    for (uint32_t bins : {64u, 128u, 256u}) EXPECT_GE(kern::binOf(kern::kMaskedReference, 256u / bins), bins);
}

TEST(Masks, CpuCostRules) {
    auto cpu = makeCpuDevice(2);
    auto head = [](int i, int j, int k) {
        const float u = i - 12.0f, v = j - 11.0f, w = k - 10.0f;
        const float r = std::sqrt(u * u + v * v + w * w);
        return r < 9 ? 120.0f + 8.0f * std::sin(0.7f * i) * std::cos(0.5f * j + 0.3f * k) + 3.0f * k : 0.0f;
    };
    VolumePtr src = volumeOf(*cpu, 24, 22, 20, head), ref = volumeOf(*cpu, 24, 22, 20, head);
    for (Volume* v : {src.get(), ref.get()}) v->center[0] = 12, v->center[1] = 11, v->center[2] = 10;
    VolumePtr ones = volumeOf(*cpu, 24, 22, 20, [](int, int, int) { return 1.0f; });
    VolumePtr zeros = volumeOf(*cpu, 24, 22, 20, [](int, int, int) { return 0.0f; });
    VolumePtr lower = volumeOf(*cpu, 24, 22, 20, [](int, int, int k) { return k < 10 ? 1.0f : 0.0f; });
    Matrix shifted;
    shifted.data[3] = 1.5f;
    shifted.data[7] = -0.7f;
    auto cost = [&](const CostPairOptions& o) {
        cpu->initCorrelationRatio(*src, *ref, 256, o);
        float c[2];
        const float both[32] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
        float m[32];
        for (int e = 0; e < 16; ++e) m[e] = both[e], m[16 + e] = shifted.data[e];
        cpu->calcCorrelationRatio(m, 2, c);
        cpu->freeCorrelationRatio();
        return std::pair<float, float>{c[0], c[1]};
    };
    const auto plain = cost({});
    const auto allIn = cost({ones.get(), ones.get(), false});
    EXPECT_EQ(allIn.first, plain.first);
    EXPECT_EQ(allIn.second, plain.second);
    // No source sample inside the moving mask: nothing measured.
    EXPECT_EQ(cost({nullptr, zeros.get(), false}).second, 1.0f);
    // Under the identity reference voxel k samples the source in cell k, so a fixed and a
    // moving mask of the same voxels select the same samples: the same cost to the bit.
    // Either changes the cost of a misalignment.
    const auto refHalf = cost({lower.get(), nullptr, false});
    const auto srcHalf = cost({nullptr, lower.get(), false});
    EXPECT_EQ(refHalf.first, srcHalf.first);
    EXPECT_NE(refHalf.first, plain.first);
    EXPECT_GT(std::fabs(refHalf.second - plain.second), 1e-3f);
    EXPECT_GT(std::fabs(srcHalf.second - plain.second), 1e-3f);
}

// The counter is a thread-local read through its TLS wrapper, which GCC 12's UBSan takes
// for a null pointer outside the file that defines it.
__attribute__((no_sanitize_undefined)) static int evaluationsSoFar() { return globalCount; }

TEST(StartedEvaluator, KnownCostsComeBackInTheirPlaceAndStillCount) {
    auto& dev = device();
    auto head = [](int i, int j, int k) {
        const float u = i - 12.0f, v = j - 11.0f, w = k - 10.0f;
        return u * u + v * v + w * w < 80 ? 100.0f + 5.0f * i + 3.0f * j * (k % 3) : 0.0f;
    };
    VolumePtr src = volumeOf(dev, 24, 22, 20, head), ref = volumeOf(dev, 24, 22, 20, head);
    src->stage = ref->stage = 4;
    initCorrelationRatio(*src, *ref);
    const LevelStart plain;
    StartedEvaluator ev(*src, *ref, plain, nullptr);
    TransformParams a, b, c;
    b[3] = 2;
    c[0] = 5;
    const TransformParams first[2] = {a, b};
    float known[2];
    ev.evaluate(first, 2, known);
    ASSERT_NE(known[0], known[1]);
    // Two known sets around an unknown one: each cost lands at its own set.
    const int before = evaluationsSoFar();
    const TransformParams mixed[3] = {b, c, a};
    float costs[3];
    ev.evaluate(mixed, 3, costs);
    EXPECT_EQ(evaluationsSoFar() - before, 3);
    EXPECT_EQ(costs[0], known[1]);
    EXPECT_EQ(costs[2], known[0]);
    EXPECT_EQ(costs[1], paramsCost(*src, *ref, c));
    EXPECT_NE(costs[1], known[0]);
    freeCorrelationRatio();
}
