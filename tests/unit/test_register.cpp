// The stages of the multi-resolution registration on synthetic costs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "registration/global.h"
#include "registration/register.h"
#include "test_search_eval.h"

namespace {

// Distance of two angles on a circle of the given period (the synthetic cost has two
// equal wells 180 degrees apart on y and z).
float angleGap(float a, float b, float period = 360.0f) {
    return std::fabs(std::remainder(a - b, period));
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

TEST(SelectBestStart, LowestWinsEarliestOnTies) {
    TransformParams slots[33];
    float costs[33];
    for (int i = 0; i < 33; ++i) {
        slots[i][3] = (float)i;  // tag
        costs[i] = -0.1f;
    }
    costs[16] = -0.5f;
    costs[5] = -0.5f;
    costs[27] = -0.49f;
    EXPECT_EQ(selectBestStart(slots, costs, 33), -0.5f);
    EXPECT_EQ(slots[0][3], 5.0f);

    // Equal everywhere: slot 0 stays.
    for (int i = 0; i < 33; ++i) {
        slots[i][3] = (float)i;
        costs[i] = -0.3f;
    }
    EXPECT_EQ(selectBestStart(slots, costs, 33), -0.3f);
    EXPECT_EQ(slots[0][3], 0.0f);

    // The last slot alone is best.
    costs[32] = -0.31f;
    EXPECT_EQ(selectBestStart(slots, costs, 33), -0.31f);
    EXPECT_EQ(slots[0][3], 32.0f);
}

struct StageRun {
    TransformParams best;
    float value;
    std::string out;
    long evaluations;
};

StageRun run4mm(float (*cost)(const TransformParams&), const TransformParams cands[3],
                bool sequential) {
    if (sequential)
        setenv("TARVO_SEQUENTIAL", "1", 1);
    else
        unsetenv("TARVO_SEQUENTIAL");
    FnEvaluator ev(cost);
    StageRun r;
    testing::internal::CaptureStdout();
    r.value = stage4mm(ev, cands, r.best);
    r.out = testing::internal::GetCapturedStdout();
    unsetenv("TARVO_SEQUENTIAL");
    r.evaluations = ev.evaluations();
    if (!sequential) {
        EXPECT_EQ(ev.batchSizes[0], 33);
    }
    return r;
}

TEST(Stage4mm, StartsAroundEachCandidate) {
    TransformParams cands[3];
    cands[0][0] = -150.0f;  // the wrong well of x
    cands[1][0] = 25.0f;    // the right one
    cands[1][1] = -30.0f;
    cands[2][0] = 100.0f;
    for (auto& c : cands) c[6] = c[7] = c[8] = 1.0f;
    StageRun a = run4mm(bumpyCost, cands, false);
    EXPECT_NEAR(a.best[0], 20.0f, 9.0f);
    EXPECT_LT(angleGap(a.best[1], -40.0f, 180.0f), 9.0f);
    EXPECT_EQ(a.value, bumpyCost(a.best));
    std::vector<std::string> out = lines(a.out);
    ASSERT_EQ(out.size(), 1u);
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "0:rotation(%f,%f,%f),trans(%f,%f,%f),scale(%f),value is:%f", a.best[0],
                  a.best[1], a.best[2], a.best[3], a.best[4], a.best[5], a.best[6], a.value);
    EXPECT_EQ(out[0], expected);

    StageRun b = run4mm(bumpyCost, cands, true);
    EXPECT_TRUE(sameParams(a.best, b.best));
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.evaluations, b.evaluations);
}

TEST(Stage4mm, EqualCandidatesGiveTheFirst) {
    // Three identical candidates refine identically; candidate 0's start 0 wins over its
    // twins in the other candidates, and the line always begins "0:".
    TransformParams cands[3];
    for (auto& c : cands) {
        c[0] = 15.0f;
        c[1] = -45.0f;
        c[2] = 5.0f;
    }
    FnEvaluator ev(bumpyCost);
    TransformParams best;
    testing::internal::CaptureStdout();
    stage4mm(ev, cands, best);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("0:", 0), 0u);
    // Replaying every start alone finds which one won: the earliest among equals.
    float bestCost = 1.0f;
    int winner = -1;
    for (int s = 0; s < 11; ++s) {
        TransformParams p = cands[0];
        if (s >= 1 && s <= 6) p[(s - 1) / 2] += (s % 2) ? -9.0f : 9.0f;
        if (s >= 7) {
            const float d[4] = {-0.02f, 0.02f, -0.04f, 0.04f};
            for (int k = 6; k < 9; ++k) p[k] = p[k] + d[s - 7];
        }
        FnEvaluator alone(bumpyCost);
        float c = startSweep(alone, p);
        if (c < bestCost) {
            bestCost = c;
            winner = s;
        }
    }
    ASSERT_GE(winner, 0);
    TransformParams p = cands[0];
    if (winner >= 1 && winner <= 6) p[(winner - 1) / 2] += (winner % 2) ? -9.0f : 9.0f;
    if (winner >= 7) {
        const float d[4] = {-0.02f, 0.02f, -0.04f, 0.04f};
        for (int k = 6; k < 9; ++k) p[k] = p[k] + d[winner - 7];
    }
    FnEvaluator alone(bumpyCost);
    startSweep(alone, p);
    EXPECT_TRUE(sameParams(p, best));
}

TEST(Stage2mm, PrintsThreeLinesWithTheSweepCosts) {
    FnEvaluator ev(bumpyCost);
    TransformParams p;
    p[0] = 18.0f;
    p[1] = -36.0f;
    p[2] = 18.0f;
    testing::internal::CaptureStdout();
    stage2mm(ev, p);
    std::vector<std::string> out = lines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].rfind("7 DOF 2mm:rotation(", 0), 0u);
    EXPECT_EQ(out[1].rfind("9 DOF 2mm:rotation(", 0), 0u);
    EXPECT_EQ(out[2].rfind("12 DOF 2mm:rotation(", 0), 0u);
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "12 DOF 2mm:rotation(%f,%f,%f),trans(%f,%f,%f),scale(%f,%f,%f),"
                  "skew(%f,%f,%f),value is:%f",
                  p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11],
                  bumpyCost(p));
    EXPECT_EQ(out[2], expected);
    // The skews have moved towards (0, 0.01, 0.02).
    EXPECT_NEAR(p[10], 0.01f, 0.005f);
    EXPECT_NEAR(p[11], 0.02f, 0.005f);
}

TEST(Stage1mm, AcceptsOnlyANegativeCost) {
    FnEvaluator zero([](const TransformParams&) { return 0.0f; });
    TransformParams best, result;
    result[0] = 99.0f;  // overwritten only on acceptance
    testing::internal::CaptureStdout();
    float v = stage1mm(zero, best, result);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(v, 0.0f);
    EXPECT_EQ(result[0], 99.0f);
    // The refined parameters are printed all the same (a flat cost drags them down).
    EXPECT_LT(best[0], -170.0f);
    EXPECT_EQ(out.rfind("12 DOF 1mm:Rotate:(", 0), 0u);
    EXPECT_NE(out.find(",value is:0.000000\n"), std::string::npos);
    char rot[64];
    std::snprintf(rot, sizeof rot, "Rotate:(%f,", best[0]);
    EXPECT_NE(out.find(rot), std::string::npos);

    FnEvaluator nan([](const TransformParams&) { return std::nanf(""); });
    TransformParams b2, r2;
    testing::internal::CaptureStdout();
    stage1mm(nan, b2, r2);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(sameParams(r2, TransformParams()));

    FnEvaluator good(bumpyCost);
    TransformParams b3, r3;
    b3[0] = 20.0f;
    b3[1] = -40.0f;
    b3[2] = 10.0f;
    testing::internal::CaptureStdout();
    stage1mm(good, b3, r3);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(sameParams(r3, b3));
}

TEST(Stages, SyntheticRegistrationEndToEnd) {
    // All four stages on one synthetic cost: the known optimum is recovered within the
    // final tolerances.
    FnEvaluator ev(bumpyCost);
    ev.record = false;
    TransformParams cands[3], best, result;
    testing::internal::CaptureStdout();
    globalSearch8mm(ev, cands);
    stage4mm(ev, cands, best);
    stage2mm(ev, best);
    float v = stage1mm(ev, best, result);
    std::vector<std::string> out = lines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(out.size(), 4u + 1u + 3u + 1u);
    EXPECT_EQ(out[4].rfind("0:", 0), 0u);
    EXPECT_LT(v, -0.99f);
    EXPECT_NEAR(result[0], 20.0f, 1.2f);
    EXPECT_LT(angleGap(result[1], -40.0f, 180.0f), 1.2f);
    EXPECT_LT(angleGap(result[2], 10.0f, 180.0f), 1.2f);
    EXPECT_NEAR(result[4], -3.0f, 0.5f);
    EXPECT_NEAR(result[5], 2.0f, 0.5f);
    for (int k = 6; k < 9; ++k) EXPECT_NEAR(result[k], 1.05f, 0.002f);
    EXPECT_NEAR(result[10], 0.01f, 0.002f);
    EXPECT_NEAR(result[11], 0.02f, 0.002f);
}

}  // namespace
