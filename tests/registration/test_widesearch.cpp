// Rotations as matrices and back, the rotation grid, and the wide search on synthetic costs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "geometry/rotation.h"
#include "registration/widesearch.h"
#include "support/searchevaluators.h"

namespace {

Rot3 turn(double degrees, double ax, double ay, double az) {
    const double n = std::sqrt(ax * ax + ay * ay + az * az), h = degrees * M_PI / 360.0;
    return rotationOfQuaternion(std::cos(h), std::sin(h) * ax / n, std::sin(h) * ay / n,
                                std::sin(h) * az / n);
}

double affineGap(const double a[12], const double b[12]) {
    double worst = 0.0;
    for (int i = 0; i < 12; ++i) worst = std::fmax(worst, std::fabs(a[i] - b[i]));
    return worst;
}

TEST(Rotation, AnglesRoundTripEverywhereIncludingGimbalLock) {
    // Angles near y = +-90, where x and z turn about the same axis, and at the ends of
    // the angle range, come back as the same turn (not necessarily the same angles).
    const float cases[][3] = {{10, 90, 30},   {-40, -90, 70}, {0, 89.99f, 0}, {180, 0, 180},
                              {-180, 45, -180}, {179.9f, -89.9f, -179.9f}, {0, 0, 0}};
    for (const auto& a : cases) {
        const Rot3 r = rotationOfAngles(a);
        float b[3];
        anglesOfRotation(r, b);
        EXPECT_LT(rotationGap(r, rotationOfAngles(b)), 0.05) << a[0] << " " << a[1] << " " << a[2];
        EXPECT_LE(std::fabs(b[1]), 90.0f);
        for (float v : b) EXPECT_TRUE(v > -180.0f && v <= 180.0f);
    }
    for (const Rot3& r : rotationGrid(500)) {
        float b[3];
        anglesOfRotation(r, b);
        EXPECT_LT(rotationGap(r, rotationOfAngles(b)), 0.05);
    }
}

TEST(Rotation, GridCoversEveryOrientationEvenly) {
    const int n = 4096;
    const std::vector<Rot3> grid = rotationGrid(n);
    ASSERT_EQ(grid.size(), (size_t)n);
    // Every random orientation lies near a grid point: with n even points the balls of
    // one point each have a radius of about 9.5 degrees.
    std::mt19937 rng(3);
    std::normal_distribution<double> g;
    double worst = 0.0;
    for (int t = 0; t < 300; ++t) {
        double q[4], s = 0;
        for (double& c : q) {
            c = g(rng);
            s += c * c;
        }
        s = std::sqrt(s);
        const Rot3 r = rotationOfQuaternion(q[0] / s, q[1] / s, q[2] / s, q[3] / s);
        double best = 180.0;
        for (const Rot3& p : grid) best = std::fmin(best, rotationGap(r, p));
        worst = std::fmax(worst, best);
    }
    EXPECT_LT(worst, 16.0);
    // Half of all orientations turn by more than 132.3 degrees (t - sin t = pi / 2); so
    // does about half the grid.
    int far = 0;
    for (const Rot3& p : grid) far += rotationGap(p, identityRotation()) > 132.3;
    EXPECT_NEAR(far, n / 2, n / 20);
}

TEST(Rotation, DecomposeInvertsCompose) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-1, 1);
    for (int t = 0; t < 200; ++t) {
        TransformParams p;
        for (int k = 0; k < 3; ++k) p[k] = 180.0f * u(rng);
        for (int k = 3; k < 6; ++k) p[k] = 50.0f * u(rng);
        for (int k = 6; k < 9; ++k) p[k] = 1.0f + 0.3f * u(rng);
        for (int k = 9; k < 12; ++k) p[k] = 0.2f * u(rng);
        double a[12], b[12];
        affineOfParams(p, a);
        TransformParams q;
        ASSERT_TRUE(decomposeAffine(a, q));
        affineOfParams(q, b);
        EXPECT_LT(affineGap(a, b), 2e-4) << t;
        for (int k = 3; k < 12; ++k) EXPECT_NEAR(q[k], p[k], 2e-4 * (k < 6 ? 50 : 1)) << t << " " << k;
    }
    // A mirror or a flat matrix has no such parameters.
    const double mirror[12] = {-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    const double flat[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    TransformParams keep;
    keep[3] = 7.0f;
    EXPECT_FALSE(decomposeAffine(mirror, keep));
    EXPECT_FALSE(decomposeAffine(flat, keep));
    EXPECT_EQ(keep[3], 7.0f);
}

TEST(Rotation, FramedParamsTurnBeforeTheTranslationAndKeepScales) {
    TransformParams p;
    p[0] = 5;
    p[1] = -3;
    p[2] = 2;
    p[3] = 4;
    p[4] = -6;
    p[5] = 1;
    p[6] = 1.08f;
    p[7] = 0.93f;
    p[8] = 1.02f;
    p[9] = 0.03f;
    const Rot3 frame = turn(150, 1, 2, -1);
    double a[12], f[12];
    affineOfParams(p, a);
    const TransformParams framed = framedParams(p, frame);
    affineOfParams(framed, f);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const double e = frame[3 * r] * a[c] + frame[3 * r + 1] * a[4 + c] + frame[3 * r + 2] * a[8 + c];
            EXPECT_NEAR(f[4 * r + c], e, 1e-5);
        }
        EXPECT_NEAR(f[4 * r + 3], a[4 * r + 3], 1e-5);
    }
    // Scales and skews along the reference axes whatever the frame (a search that frees
    // the scales but not the skews reaches the same transforms in every frame), and the
    // transposed frame undoes it.
    for (int k = 6; k < 12; ++k) EXPECT_NEAR(framed[k], p[k], 1e-5) << k;
    const TransformParams back = framedParams(framed, transposed(frame));
    for (int k = 0; k < 12; ++k) EXPECT_NEAR(back[k], p[k], 1e-4) << k;
}

TEST(RotationMinima, BestPointOfEachWellFirstEarlierOnTies) {
    const std::vector<Rot3> grid = rotationGrid(2000);
    const Rot3 deep = turn(150, 0, 1, 0), shallow = turn(90, 1, 0, 0);
    std::vector<float> costs(grid.size());
    for (size_t i = 0; i < grid.size(); ++i)
        costs[i] = (float)std::fmin(rotationGap(grid[i], deep) / 180.0 - 1.0,
                                    rotationGap(grid[i], shallow) / 180.0 - 0.9);
    const std::vector<int> m = rotationMinima(grid, costs, 40.0);
    ASSERT_GE(m.size(), 2u);
    EXPECT_LT(rotationGap(grid[m[0]], deep), 10.0);
    EXPECT_LT(rotationGap(grid[m[1]], shallow), 10.0);
    // No two minima closer than the radius.
    for (size_t i = 0; i < m.size(); ++i)
        for (size_t j = i + 1; j < m.size(); ++j) EXPECT_GE(rotationGap(grid[m[i]], grid[m[j]]), 40.0);
    // Equal costs everywhere: the first grid point leads.
    const std::vector<int> flat = rotationMinima(grid, std::vector<float>(grid.size(), -0.5f), 40.0);
    EXPECT_EQ(flat[0], 0);
}

// A head-like synthetic cost: best at one orientation far from the identity (and at a
// translation and scale), with a decoy well at the 180-degree turn about z from it that is
// almost as good at the coarse levels.
struct TurnedCost {
    Rot3 truth = turn(155, 0.3, -0.8, 0.5);
    Rot3 decoy = multiply(truth, turn(180, 0, 0, 1));
    float operator()(const TransformParams& p) const {
        const Rot3 r = rotationOfAngles(p.rotation());
        const double g = rotationGap(r, truth) / 180.0, d = rotationGap(r, decoy) / 180.0;
        const double tx = p[3] - 6.0, ty = p[4] + 4.0, tz = p[5] - 2.0;
        double c = std::fmin(2.0 * g * g, 0.02 + 2.0 * d * d) + 1e-4 * (tx * tx + ty * ty + tz * tz);
        c += 2.0 * (p[6] - 1.04) * (p[6] - 1.04);
        return (float)(std::fmin(c, 1.0) - 1.0);
    }
};

struct WideRun {
    WideSearch ws;
    long evaluations = 0;
    std::vector<int> batches;
};

WideRun runWide(bool sequential) {
    if (sequential) setenv("TARVO_SEQUENTIAL", "1", 1);
    TurnedCost cost;
    FnEvaluator ev([&](const TransformParams& p) { return cost(p); });
    ev.record = false;
    WideRun r;
    r.ws.settings.rotations = 1024;
    testing::internal::CaptureStdout();
    wideSearch4mm(ev, r.ws);
    wideJudge4mm(ev, r.ws);
    wideSearch2mm(ev, r.ws);
    testing::internal::GetCapturedStdout();
    unsetenv("TARVO_SEQUENTIAL");
    r.evaluations = ev.evaluations();
    r.batches = ev.batchSizes;
    return r;
}

TEST(WideSearch, FindsAFarTurnAndIsTheSameBatchedOrNot) {
    const WideRun a = runWide(false);
    ASSERT_FALSE(a.ws.candidates.empty());
    const FramedCandidate& best = a.ws.candidates[0];
    const TransformParams abs = best.absolute();
    EXPECT_LT(rotationGap(rotationOfAngles(abs.rotation()), TurnedCost().truth), 3.0);
    EXPECT_NEAR(abs[3], 6.0f, 2.0f);
    EXPECT_NEAR(abs[4], -4.0f, 2.0f);
    EXPECT_NEAR(abs[6], 1.04f, 0.02f);
    for (size_t i = 1; i < a.ws.candidates.size(); ++i)
        EXPECT_LE(a.ws.candidates[i - 1].cost, a.ws.candidates[i].cost);
    // The grid goes to the evaluator whole, once per level.
    EXPECT_EQ(a.batches[0], 1024 + 24);
    const WideRun b = runWide(true);
    EXPECT_EQ(a.evaluations, b.evaluations);
    ASSERT_EQ(a.ws.candidates.size(), b.ws.candidates.size());
    for (size_t i = 0; i < a.ws.candidates.size(); ++i) {
        EXPECT_TRUE(sameParams(a.ws.candidates[i].params, b.ws.candidates[i].params));
        EXPECT_EQ(a.ws.candidates[i].cost, b.ws.candidates[i].cost);
    }
    for (int n : b.batches) EXPECT_EQ(n, 1);
}

// A head of another size: the cost falls along the three scales together and rises
// steeply where they part, so no single scale can leave 1 downhill; the judging must move
// them together first. With the scales free (dof 9), but not with one common scale alone
// (dof 7 keeps them equal) and not at all with dof 6.
TEST(WideSearch, JudgingMovesTheScalesTogetherFirst) {
    const TurnedCost turned;
    FnEvaluator ev([&](const TransformParams& p) {
        TransformParams rigid = p;
        rigid[6] = 1.04f;  // TurnedCost's own scale term off
        const double m = (p[6] + p[7] + p[8]) / 3.0;
        const double parted = (p[6] - p[7]) * (p[6] - p[7]) + (p[7] - p[8]) * (p[7] - p[8]) +
                              (p[6] - p[8]) * (p[6] - p[8]);
        return turned(rigid) + (float)(50.0 * parted + 2.0 * (m - 0.91) * (m - 0.91));
    });
    ev.record = false;
    for (int dof : {9, 7, 6}) {
        WideSearch ws;
        ws.settings.rotations = 1024;
        ws.dof = Dof(dof);
        testing::internal::CaptureStdout();
        wideSearch4mm(ev, ws);
        wideJudge4mm(ev, ws);
        wideSearch2mm(ev, ws);
        testing::internal::GetCapturedStdout();
        ASSERT_FALSE(ws.candidates.empty());
        const TransformParams best = ws.candidates[0].absolute();
        EXPECT_LT(rotationGap(rotationOfAngles(best.rotation()), turned.truth), 3.0) << dof;
        for (int k = 6; k < 9; ++k) EXPECT_NEAR(best[k], dof == 6 ? 1.0f : 0.91f, 0.01f) << dof << " " << k;
    }
}

TEST(WideSearch, FramedEvaluatorSeesAbsoluteParameters) {
    const Rot3 frame = turn(120, 1, 1, 0);
    std::vector<TransformParams> seen;
    FnEvaluator inner([&](const TransformParams& p) {
        seen.push_back(p);
        return 0.0f;
    });
    FramedEvaluator ev(inner, frame);
    TransformParams rel[2];
    rel[1][0] = 10.0f;
    float costs[2];
    ev.evaluate(rel, 2, costs);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_LT(rotationGap(rotationOfAngles(seen[0].rotation()), frame), 0.01);
    // Angles in float: the gap between equal turns reads up to a few hundredths of a degree.
    EXPECT_LT(rotationGap(rotationOfAngles(seen[1].rotation()),
                          multiply(frame, rotationOfAngles(rel[1].rotation()))),
              0.05);
    EXPECT_EQ(inner.batchSizes.size(), 1u);
}

}  // namespace

namespace {

// Where the cost sends reference level voxel r, in millimetres of the source, given the
// pyramid's conventions: level index i shows millimetre (i + o) * d, the cost maps r to
// A (r - trunc(c_r)) + c_s and reads the texture half a voxel lower.
void costMapsTo(const TransformParams& kernel, const double r[3], double d, const double cr[3],
                const double cs[3], const double os[3], const double orr[3], double x[3], double y[3]) {
    double a[12];
    affineOfParams(kernel, a);
    for (int i = 0; i < 3; ++i) {
        x[i] = (r[i] + orr[i]) * d;
        double s = a[4 * i + 3] / d + cs[i] - 0.5;
        for (int j = 0; j < 3; ++j) s += a[4 * i + j] * (r[j] - std::trunc(cr[j]));
        y[i] = (s + os[i]) * d;
    }
}

TEST(LevelGeometry, ParametersMeanOneTransformOnEveryLevel) {
    // Original voxels of 2 mm (source) and 1.2 mm (reference); centroids in millimetres.
    const float sv[3] = {2, 2, 2}, rv[3] = {1.2f, 1.2f, 1.2f};
    const double Xs[3] = {71.3, 65.2, 80.9}, Xr[3] = {60.7, 77.1, 58.3};
    TransformParams p;
    p[3] = 3;
    p[4] = -2;
    p[5] = 5;
    p[6] = p[7] = p[8] = 1.03f;
    const Rot3 frame = turn(160, 0.2, 1, -0.4);
    double ref[3][3] = {};  // where one physical reference point lands, per level
    for (int h = 0; h < 3; ++h) {
        const double d = 1 << h;
        double os[3], orr[3], cr[3], cs[3];
        float crf[3];
        for (int a = 0; a < 3; ++a) {
            os[a] = -0.5 * sv[a];
            orr[a] = -0.5 * rv[a];
            for (int k = 0; k < h; ++k) {
                os[a] = (os[a] - 0.5) * 0.5;
                orr[a] = (orr[a] - 0.5) * 0.5;
            }
            // The pyramid scales the centroids: index X / d (its content sits at o less).
            cr[a] = Xr[a] / d;
            cs[a] = Xs[a] / d;
            crf[a] = (float)cr[a];
        }
        const LevelGeometry g = levelGeometry(sv, rv, h, crf);
        const TransformParams k = levelParams(p, frame, g);
        // The physical reference point 10, -20, 15 mm from the true centroid.
        double r[3], x[3], y[3];
        for (int a = 0; a < 3; ++a) r[a] = (Xr[a] + (a == 0 ? 10 : a == 1 ? -20 : 15)) / d - orr[a];
        costMapsTo(k, r, d, cr, cs, os, orr, x, y);
        for (int a = 0; a < 3; ++a) ref[h][a] = y[a];
    }
    for (int h = 1; h < 3; ++h)
        for (int a = 0; a < 3; ++a) EXPECT_NEAR(ref[h][a], ref[0][a], 1e-3) << h << " " << a;
}

}  // namespace
