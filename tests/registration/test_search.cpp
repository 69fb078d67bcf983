// Line searches and sweeps on synthetic costs.
#include <gtest/gtest.h>

#include "registration/search.h"
#include "support/searchevaluators.h"

namespace {

float flat(const TransformParams&) { return -0.5f; }

TEST(LineSearch, FlatCostDriftsTowardsTheLowerEnd) {
    // Equal costs drop the upper part of the bracket every time.
    FnEvaluator ev(flat);
    TransformParams p;
    float c = lineSearch(ev, p, 2, 18.0f);
    EXPECT_NEAR(p[2], -169.97f, 0.01f);
    EXPECT_EQ(c, -0.5f);
    EXPECT_EQ(ev.seen.size(), 7u);

    ev.seen.clear();
    TransformParams q;
    lineSearch(ev, q, 4, 4.0f);
    EXPECT_NEAR(q[4], -78.30f, 0.01f);
    EXPECT_EQ(ev.seen.size(), 9u);
    // Nothing else moved.
    for (int i = 0; i < 12; ++i)
        if (i != 4) {
            EXPECT_EQ(q[i], TransformParams()[i]) << i;
        }
}

TEST(LineSearch, QuadraticMinimumInsideTheBracket) {
    FnEvaluator ev([](const TransformParams& p) {
        float d = p[1] - 30.0f;
        return -1.0f + 1e-4f * d * d;
    });
    TransformParams p;
    float c = lineSearch(ev, p, 1, 1.125f);
    EXPECT_NEAR(p[1], 30.0f, 0.5f);
    // The returned cost is that of the point left in p.
    EXPECT_EQ(c, ev.f(p));
}

TEST(LineSearch, StartAtOrOutsideTheBracketTriesOnce) {
    // Outside the bracket: one trial at -189 + 0.61803 * 369.
    FnEvaluator better([](const TransformParams& p) { return p[0] > 0 ? -0.9f : -0.1f; });
    TransformParams p;
    p[0] = -189.0f;
    lineSearch(better, p, 0, 18.0f);
    ASSERT_EQ(better.seen.size(), 2u);
    EXPECT_EQ(better.seen[0][0], -189.0f);
    EXPECT_NEAR(better.seen[1][0], 39.05f, 0.01f);
    EXPECT_NEAR(p[0], 39.05f, 0.01f);  // the better of the two

    // Exactly at the lower end: dL = 0, one trial at -180 + 0.61803 * 360.
    FnEvaluator atEnd(flat);
    p[0] = -180.0f;
    lineSearch(atEnd, p, 0, 1.0f);
    ASSERT_EQ(atEnd.seen.size(), 2u);
    EXPECT_NEAR(atEnd.seen[1][0], 42.49f, 0.01f);
    // A flat upper trial is rejected.
    EXPECT_EQ(p[0], -180.0f);

    // At the upper end of a translation: dR = 0, so the trial goes below, and an equal
    // cost below is accepted.
    FnEvaluator upper(flat);
    TransformParams t;
    t[3] = 80.0f;
    lineSearch(upper, t, 3, 1.0f);
    ASSERT_EQ(upper.seen.size(), 2u);
    EXPECT_NEAR(t[3], -80.0f + 0.38197f * 160.0f, 1e-3f);
}

TEST(IsoScaleSearch, LeavesThreeEqualScales) {
    // Minimum at 1.0 where the start lies: no trial is accepted, yet y and z follow x.
    FnEvaluator ev([](const TransformParams& p) {
        float d = p[6] - 1.0f;
        return -1.0f + d * d;
    });
    TransformParams p;
    p[7] = 0.95f;
    p[8] = 1.05f;
    isoScaleSearch(ev, p, 0.005f);
    EXPECT_EQ(p[6], 1.0f);
    EXPECT_EQ(p[7], 1.0f);
    EXPECT_EQ(p[8], 1.0f);
    // Every trial moved the three together; the first evaluation took p as it was.
    EXPECT_EQ(ev.seen[0][7], 0.95f);
    for (size_t i = 1; i < ev.seen.size(); ++i) {
        EXPECT_EQ(ev.seen[i][6], ev.seen[i][7]);
        EXPECT_EQ(ev.seen[i][6], ev.seen[i][8]);
    }

}

// The order of the steps a sweep runs, read from the evaluations it asks for: on a flat
// cost consecutive evaluations inside a line search differ in its parameter only (or in
// the three scales together, written -1).
std::vector<int> stepTrace(float (*sweep)(Evaluator&, TransformParams&)) {
    FnEvaluator ev(flat);
    TransformParams p;
    sweep(ev, p);
    std::vector<int> trace;
    for (size_t i = 1; i < ev.seen.size(); ++i) {
        std::vector<int> diff;
        for (int k = 0; k < 12; ++k)
            if (ev.seen[i][k] != ev.seen[i - 1][k]) diff.push_back(k);
        if (diff.empty()) continue;
        int token = diff.size() == 3 && diff[0] == 6 && diff[2] == 8 ? kIsoScale : diff[0];
        EXPECT_TRUE(diff.size() == 1 || token == kIsoScale);
        if (trace.empty() || trace.back() != token) trace.push_back(token);
    }
    return trace;
}

TEST(Sweeps, StepOrdersAndPasses) {
    const int I = kIsoScale;
    EXPECT_EQ(stepTrace(gridPointSweep), (std::vector<int>{5, 4, 3, I, 5, 4, 3, I}));
    EXPECT_EQ(stepTrace(candidateSweep),
              (std::vector<int>{2, 0, 1, I, 5, 3, 4, 2, 0, 1, I, 5, 3, 4}));
    EXPECT_EQ(stepTrace(startSweep),
              (std::vector<int>{2, 0, 1, I, 5, 3, 4, 2, 0, 1, I, 5, 3, 4}));
    EXPECT_EQ(stepTrace(sweep7Dof2mm), (std::vector<int>{2, 0, 1, I, 5, 3, 4}));
    EXPECT_EQ(stepTrace(sweep9Dof2mm), (std::vector<int>{8, 6, 7, 2, 0, 1, 5, 3, 4}));
    EXPECT_EQ(stepTrace(sweep12Dof2mm),
              (std::vector<int>{11, 9, 10, 2, 0, 1, 8, 6, 7, 5, 3, 4}));
    EXPECT_EQ(stepTrace(sweep12Dof1mm),
              (std::vector<int>{2, 0, 1, 8, 6, 7, 5, 3, 4, 11, 9, 10}));
}

TEST(Sweeps, Sweep7Dof2mmMovesSevenParameters) {
    FnEvaluator ev(bumpyCost);
    TransformParams p;
    p[0] = 10.0f;
    p[9] = 0.03f;
    p[10] = -0.02f;
    p[11] = 0.01f;
    float c = sweep7Dof2mm(ev, p);
    EXPECT_EQ(c, ev.f(p));
    for (const TransformParams& s : ev.seen) {
        ASSERT_EQ(s[9], 0.03f);
        ASSERT_EQ(s[10], -0.02f);
        ASSERT_EQ(s[11], 0.01f);
        ASSERT_EQ(s[6], s[7]);
        ASSERT_EQ(s[6], s[8]);
    }
    EXPECT_EQ(p[11], 0.01f);
    EXPECT_EQ(p[6], p[8]);
}

}  // namespace
