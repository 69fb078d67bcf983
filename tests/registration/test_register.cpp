// The stages of the multi-resolution registration on synthetic costs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "registration/global.h"
#include "registration/stages.h"
#include "support/searchevaluators.h"

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

    // The last slot alone is best.
    costs[32] = -0.51f;
    EXPECT_EQ(selectBestStart(slots, costs, 33), -0.51f);
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
    EXPECT_EQ(out[5].rfind("7 DOF 2mm:rotation(", 0), 0u);
    EXPECT_EQ(out[6].rfind("9 DOF 2mm:rotation(", 0), 0u);
    EXPECT_EQ(out[7].rfind("12 DOF 2mm:rotation(", 0), 0u);
    EXPECT_EQ(out[8].rfind("12 DOF 1mm:Rotate:(", 0), 0u);
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
