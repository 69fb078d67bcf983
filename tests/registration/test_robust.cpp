// What keeps register right on scans that are not clean whole heads: the fixed image's
// automatic foreground, the search that trusts the start, and the verdict on the answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <thread>
#include <vector>

#include "registration/foreground.h"
#include "registration/pipeline.h"
#include "registration/searchlog.h"
#include "registration/verdict.h"
#include "support/imagefiles.h"
#include "support/testvolumes.h"

namespace {

// A ball of tissue (radius 14 voxels, values 100..140) with a dark hole in its middle
// (a ventricle, value `hole`), in a background of `air` with faint noise.
VolumePtr ballWithHole(float air, float hole) {
    return volumeOf(cpu(), 48, 48, 48, [&](int i, int j, int k) {
        const double r = std::sqrt((i - 24.0) * (i - 24.0) + (j - 24.0) * (j - 24.0) + (k - 24.0) * (k - 24.0));
        const float noise = (float)(((i * 7 + j * 13 + k * 29) % 11) - 5) * 0.4f;
        if (r < 4.0) return hole + noise;
        if (r < 14.0) return 100.0f + 40.0f * (float)(i % 5) / 4.0f + noise;
        return air + noise;
    });
}

size_t countInside(const std::vector<uint8_t>& m) { return (size_t)std::count(m.begin(), m.end(), (uint8_t)1); }

TEST(Foreground, TakesTheTissueWithItsHolesFilledAndABandOfAir) {
    // An MR-like image (air near 0) and a CT-like one (air far below zero): the threshold is
    // a share of the range, so both give the same foreground.
    for (const float air : {0.0f, -1000.0f}) {
        VolumePtr v = ballWithHole(air, air + 10.0f);
        const size_t centre = (size_t)(24 * 48 + 24) * 48 + 24;
        const std::vector<uint8_t> tight = foregroundVoxels(*v, nullptr, 2.0f);
        EXPECT_TRUE(tight[centre]) << "the hole is filled, air " << air;
        EXPECT_TRUE(tight[centre + 15]) << "grown by 2 mm past the edge, air " << air;
        EXPECT_FALSE(tight[centre + 16]) << "but not further, air " << air;
        EXPECT_FALSE(tight[0]) << "air " << air;
        EXPECT_EQ(tight, foregroundVoxels(*v, nullptr, 2.4f)) << "whole voxels, air " << air;
        // The cost's band reaches kForegroundMarginMm past the tissue, along each axis.
        const std::vector<uint8_t> band = foregroundVoxels(*v);
        EXPECT_TRUE(band[centre + 23]) << "air " << air;
        EXPECT_TRUE(band[(size_t)(24 * 48 + 4) * 48 + 24]) << "air " << air;
    }
}

// The row-at-a-time growing and the run-by-run hole filling against their plain
// definitions, voxel by voxel, on blobs with tunnels, pockets and enclosed cavities of
// every shape, touching the grid's edges, on an uneven grid with voxels of unequal sizes.
TEST(Foreground, MatchesThePlainDefinitionOnTangledShapes) {
    const int nx = 37, ny = 29, nz = 23;
    VolumePtr v = volumeOf(cpu(), nx, ny, nz, [](int i, int j, int k) {
        // Two hollow shells, the second opened by a tunnel along z, among sparse blobs.
        auto shell = [&](double cx, double cy, double cz) {
            const double r = std::sqrt((i - cx) * (i - cx) + (j - cy) * (j - cy) + (k - cz) * (k - cz));
            return r > 7.0 && r < 9.0;
        };
        const bool tunnel = std::abs(i - 26) < 2 && std::abs(j - 17) < 2 && k > 11;
        const double f = std::sin(0.61 * i) * std::cos(0.47 * j) + std::sin(0.83 * k + 0.3 * i) * std::cos(0.29 * j * k);
        return shell(9.5, 11, 10) || (shell(26, 17, 11) && !tunnel) || f > 1.3 ? 100.0f : 0.0f;
    });
    v->dx = 1.0f;
    v->dy = 2.0f;
    v->dz = 3.0f;
    const float margin = 3.0f;
    const std::vector<float> c = contents(*v);
    const float p1 = 0.0f, p99 = 100.0f, threshold = p1 + kForegroundFraction * (p99 - p1);
    auto at = [&](int i, int j, int k) { return ((size_t)k * ny + (size_t)j) * nx + (size_t)i; };
    std::vector<uint8_t> m(c.size());
    for (size_t i = 0; i < c.size(); ++i) m[i] = c[i] > threshold;
    // Grown along x, then y, then z, each by the whole voxels within the margin.
    const int steps[3] = {3, 2, 1}, n[3] = {nx, ny, nz};
    for (int axis = 0; axis < 3; ++axis) {
        const std::vector<uint8_t> before = m;
        for (int k = 0; k < nz; ++k)
            for (int j = 0; j < ny; ++j)
                for (int i = 0; i < nx; ++i) {
                    int p[3] = {i, j, k};
                    const int centre = p[axis];
                    for (int d = -steps[axis]; d <= steps[axis]; ++d) {
                        p[axis] = centre + d;
                        if (p[axis] >= 0 && p[axis] < n[axis] && before[at(p[0], p[1], p[2])]) m[at(i, j, k)] = 1;
                    }
                }
    }
    // Outside: what a voxel-by-voxel flood from the grid's faces reaches.
    std::vector<uint8_t> outside(m.size(), 0);
    std::vector<std::array<int, 3>> stack;
    for (int k = 0; k < nz; ++k)
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i)
                if (i == 0 || j == 0 || k == 0 || i == nx - 1 || j == ny - 1 || k == nz - 1) stack.push_back({i, j, k});
    size_t holes = 0;
    while (!stack.empty()) {
        const auto [i, j, k] = stack.back();
        stack.pop_back();
        if (i < 0 || j < 0 || k < 0 || i >= nx || j >= ny || k >= nz || m[at(i, j, k)] || outside[at(i, j, k)]) continue;
        outside[at(i, j, k)] = 1;
        for (const auto& d : {std::array{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}})
            stack.push_back({i + d[0], j + d[1], k + d[2]});
    }
    for (size_t i = 0; i < m.size(); ++i) {
        holes += !m[i] && !outside[i];
        m[i] = !outside[i];
    }
    ASSERT_GT(holes, 0u) << "the shapes enclose cavities";
    EXPECT_EQ(foregroundVoxels(*v, nullptr, margin), m);
}

TEST(Foreground, StaysWithinTheMaskAndStepsAsideWhenTooSmall) {
    VolumePtr v = ballWithHole(0.0f, 10.0f);
    VolumePtr half = volumeOf(cpu(), 48, 48, 48, [](int i, int, int) { return i < 24 ? 1.0f : 0.0f; });
    const std::vector<uint8_t> m = foregroundVoxels(*v, half.get(), 2.0f);
    EXPECT_NEAR((double)countInside(m), 0.5 * (double)countInside(foregroundVoxels(*v, nullptr, 2.0f)), 600.0);
    EXPECT_FALSE(m[(size_t)(24 * 48 + 24) * 48 + 30]);
    VolumePtr fg = automaticForeground(*v);
    ASSERT_TRUE(fg);
    EXPECT_EQ(contents(*fg)[(size_t)(24 * 48 + 24) * 48 + 24], 1.0f);
    // A mask of a few hundred voxels leaves less than registering needs: the caller keeps
    // what it had.
    VolumePtr speck = volumeOf(cpu(), 48, 48, 48, [](int i, int j, int k) {
        return (std::abs(i - 24) < 3 && std::abs(j - 24) < 3 && std::abs(k - 24) < 3) ? 1.0f : 0.0f;
    });
    EXPECT_FALSE(automaticForeground(*v, speck.get()));
}

// The fine pass's samples: an even share of the mask, spread so that no two face
// neighbours are both taken, and nothing outside the mask.
TEST(Foreground, LatticeSubsetTakesAnEvenShareSpreadOverTheMask) {
    VolumePtr v = ballWithHole(0.0f, 10.0f);
    VolumePtr half = volumeOf(cpu(), 48, 48, 48, [](int i, int, int) { return i < 20 ? 1.0f : 0.0f; });
    for (const Volume* mask : {(const Volume*)nullptr, (const Volume*)half.get()})
        for (const int oneIn : {2, 4}) {
            const std::vector<float> m = contents(*latticeSubset(*v, mask, oneIn));
            const double inside = mask ? 20.0 * 48 * 48 : 48.0 * 48 * 48;
            EXPECT_NEAR((double)std::count(m.begin(), m.end(), 1.0f), inside / oneIn, 48.0 * 48) << oneIn;
            EXPECT_EQ((size_t)std::count(m.begin(), m.end(), 0.0f) + (size_t)std::count(m.begin(), m.end(), 1.0f), m.size());
            for (int k = 0; k + 1 < 48; ++k)
                for (int j = 0; j + 1 < 48; ++j)
                    for (int i = 0; i + 1 < 48; ++i) {
                        const size_t at = ((size_t)k * 48 + (size_t)j) * 48 + (size_t)i;
                        if (m[at] == 0.0f) continue;
                        ASSERT_TRUE(i < 20 || !mask) << "outside the mask";
                        ASSERT_TRUE(m[at + 1] == 0.0f && m[at + 48] == 0.0f && m[at + 48 * 48] == 0.0f)
                            << "neighbours taken, one in " << oneIn;
                    }
        }
}

// The tissue-only alternative is prepared on first use, once, whichever registration of a
// batch asks first; within the user's mask like the band, and absent without a band.
TEST(Foreground, TissueOnlyPreparedOnceOnDemandWithinTheMask) {
    VolumePtr v = ballWithHole(0.0f, 10.0f);
    VolumePtr half = volumeOf(cpu(), 48, 48, 48, [](int i, int, int) { return i < 24 ? 1.0f : 0.0f; });
    const auto prepared = PreparedFixed::prepare(*v, half.get(), true);
    ASSERT_TRUE(prepared && prepared->hasTissueOnly());
    std::vector<const PreparedFixed*> seen(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) threads.emplace_back([&, t] { seen[t] = prepared->tissueOnly(); });
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(seen[0]);
    for (const PreparedFixed* p : seen) EXPECT_EQ(p, seen[0]);
    auto ones = [](const Volume& m) {
        const std::vector<float> c = contents(m);
        return std::count_if(c.begin(), c.end(), [](float x) { return x >= 0.5f; });
    };
    const Volume &band = *prepared->level(0).mask, &tissue = *seen[0]->level(0).mask;
    EXPECT_LT(ones(tissue), ones(band));
    EXPECT_GT(ones(tissue), 0);
    EXPECT_EQ(contents(tissue)[(size_t)(24 * 48 + 24) * 48 + 34], 0.0f) << "outside the user's mask";
    EXPECT_FALSE(PreparedFixed::prepare(*v, nullptr, false)->hasTissueOnly());
    EXPECT_FALSE(PreparedFixed::prepare(*v, nullptr, false)->tissueOnly());
}

TEST(Foreground, SearchLatticeOnlyAt2mmWhereItHasVoxelsToSpare) {
    // A ball of 35 mm and its band of air: over 20,000 voxels at 2 mm.
    VolumePtr v = volumeOf(cpu(), 120, 120, 120, [](int i, int j, int k) {
        const double r = std::sqrt((i - 60.0) * (i - 60.0) + (j - 60.0) * (j - 60.0) + (k - 60.0) * (k - 60.0));
        return r < 35.0 ? 100.0f + (float)((i * 7 + j * 13 + k * 29) % 11) : 0.0f;
    });
    const auto every = PreparedFixed::prepare(*v, nullptr, true, kForegroundMarginMm, 1);
    const auto half = PreparedFixed::prepare(*v, nullptr, true, kForegroundMarginMm, 2);
    ASSERT_TRUE(every && half);
    for (int h = 0; h < PreparedFixed::kLevels; ++h)
        EXPECT_EQ(every->level(h).searchReference(), every->level(h).reference()) << h;
    EXPECT_NE(half->level(1).searchReference(), half->level(1).reference());
    EXPECT_EQ(half->level(2).searchReference(), half->level(2).reference());
    EXPECT_EQ(half->level(0).searchReference(), half->level(0).reference());
    EXPECT_EQ(half->level(3).searchReference(), half->level(3).reference());
    // The precision stage's 2 mm step counts every voxel.
    EXPECT_EQ(half->precisionReference(), half->level(1).reference());
    // FIXED's tissue alone is searched on the same lattice.
    const PreparedFixed* tissue = half->tissueOnly();
    ASSERT_TRUE(tissue);
    EXPECT_NE(tissue->level(1).searchReference(), tissue->level(1).reference());
    // A smaller image counts all of its voxels.
    const auto small = PreparedFixed::prepare(*ballWithHole(0.0f, 10.0f), nullptr, true, kForegroundMarginMm, 2);
    EXPECT_EQ(small->level(1).searchReference(), small->level(1).reference());
}

Affine turnedAboutZ(double degrees, double scale = 1.0) {
    const double c = std::cos(degrees * 3.14159265358979 / 180.0), s = std::sin(degrees * 3.14159265358979 / 180.0);
    Affine a;
    a.a[0][0] = c * scale;
    a.a[0][1] = -s * scale;
    a.a[1][0] = s * scale;
    a.a[1][1] = c * scale;
    a.a[2][2] = scale;
    // About the ball's centre (voxel 24 at 1 mm, no header: world = voxel).
    const double centre[3] = {24, 24, 24};
    for (int r = 0; r < 3; ++r) {
        a.a[r][3] = centre[r];
        for (int k = 0; k < 3; ++k) a.a[r][3] -= a.a[r][k] * centre[k];
    }
    return a;
}

TEST(Verdict, OkForTheRightAnswerAndSuspectForEachKindOfWrongOne) {
    VolumePtr v = ballWithHole(0.0f, 10.0f);
    const Verdict same = judgeRegistration(*v, nullptr, *v, nullptr, Affine::identity(), Affine::identity());
    EXPECT_FALSE(same.suspect) << same.reason;
    EXPECT_DOUBLE_EQ(same.fixedOverlap, 1.0);
    EXPECT_DOUBLE_EQ(same.movingOverlap, 1.0);
    EXPECT_NEAR(same.turn, 0.0, 1e-6);
    EXPECT_EQ(verdictText(same), "ok");

    const Verdict turned = judgeRegistration(*v, nullptr, *v, nullptr, turnedAboutZ(90), Affine::identity());
    EXPECT_TRUE(turned.suspect);
    EXPECT_NEAR(turned.turn, 90.0, 1e-6);
    EXPECT_EQ(verdictText(turned), "suspect: turned 90 degrees from the start");
    // The turn counts from the start, not from the identity.
    EXPECT_FALSE(judgeRegistration(*v, nullptr, *v, nullptr, turnedAboutZ(100), turnedAboutZ(90)).suspect);

    const Verdict shrunk = judgeRegistration(*v, nullptr, *v, nullptr, turnedAboutZ(0, 1.6), Affine::identity());
    EXPECT_TRUE(shrunk.suspect);
    EXPECT_NEAR(shrunk.scaleMax, 1.6, 1e-9);
    EXPECT_EQ(shrunk.reason, "scaled by 1.60 along one direction");

    // MOVING pushed half off FIXED's grid.
    const Verdict off = judgeRegistration(*v, nullptr, *v, nullptr, Affine::translation(0, 0, 24), Affine::identity());
    EXPECT_TRUE(off.suspect);
    EXPECT_LT(off.movingOverlap, 0.8);
    EXPECT_NE(off.reason.find("of MOVING's foreground lies inside FIXED"), std::string::npos);

    Affine mirror;
    mirror.a[0][0] = -1;
    mirror.a[0][3] = 48;
    EXPECT_EQ(judgeRegistration(*v, nullptr, *v, nullptr, mirror, Affine::identity()).reason,
              "mirrored against the start");
}

// A smooth, nearly symmetric blob registered to itself: its half turns fit it about as well
// as the identity, and a search over all orientations alike returned one of them. The
// headers say nothing has moved, and the default search keeps to that.
TEST(HeaderSearch, KeepsTheStartForANearlySymmetricBlob) {
    VolumePtr blob = volumeOf(
        cpu(), 32, 36, 30,
        [](int i, int j, int k) {
            const double x = (i - 15.5) / 11.0, y = (j - 17.5) / 13.0, z = (k - 14.5) / 10.0;
            const double r2 = x * x + y * y + z * z;
            return (float)(200.0 * std::exp(-2.0 * r2) + 8.0 * x + 3.0 * y * z);
        },
        2.0f);
    const SearchLogTo quiet(nullptr);
    // Either safeguard alone holds here (over the whole field of view, the wide search
    // turned it by 58 degrees).
    for (const bool foreground : {true, false}) {
        PipelineOptions opts = PipelineOptions::registerDefaults();
        opts.precision = false;
        opts.fixedForeground = foreground;
        const PipelineResult res = runPipeline(*blob, *blob, opts);
        ASSERT_TRUE(res.ran);
        const Verdict v = judgeRegistration(*blob, nullptr, *blob, nullptr, res.world, res.startWorld);
        EXPECT_LT(v.turn, 3.0) << foreground;
        EXPECT_FALSE(v.suspect) << v.reason;
        // The blob's cost is all but flat in its size (over the whole field of view -0.99962
        // at a scale of 1.00 and of 1.05 at 4 mm): the turn is what this checks, the size
        // only roughly.
        double lo = 0.0, hi = 0.0;
        stretchRange(res.world, lo, hi);
        EXPECT_GT(lo, 0.93) << foreground;
        EXPECT_LT(hi, 1.07) << foreground;
    }
}

}  // namespace
