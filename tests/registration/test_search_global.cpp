// The 8 mm global search: local minima, the choice of three, the top-up, and whole runs
// on synthetic costs in both scheduling modes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "registration/global.h"
#include "support/searchevaluators.h"

namespace {

std::vector<float> fineField(float value) { return std::vector<float>(kFineSlots, value); }

TEST(LocalMinima, OnlyTheEightDiagonalNeighboursCount) {
    std::vector<float> c = fineField(1.0f);
    // Below its diagonal neighbours although a face neighbour is lower still; the face
    // neighbour is a minimum of its own (the first point is not among its diagonals).
    c[fineSlot(5, 5, 5)] = 0.5f;
    c[fineSlot(6, 5, 5)] = 0.2f;
    // Below all 26 neighbours except one diagonal neighbour of equal cost: neither is.
    c[fineSlot(10, 10, 10)] = 0.3f;
    c[fineSlot(11, 11, 11)] = 0.3f;
    // An edge neighbour lower than the point does not disqualify it.
    c[fineSlot(14, 3, 12)] = 0.6f;
    c[fineSlot(15, 4, 12)] = 0.1f;  // differs in x and y only
    // The outer layer never qualifies, however low.
    c[fineSlot(0, 7, 7)] = -5.0f;
    c[fineSlot(19, 3, 3)] = -5.0f;
    c[fineSlot(4, 4, 0)] = -5.0f;
    c[fineSlot(8, 19, 8)] = -5.0f;

    std::vector<int> list = findLocalMinima(c.data());
    // Scan order: z outermost, x innermost.
    std::vector<int> expected = {fineSlot(14, 3, 12), fineSlot(15, 4, 12), fineSlot(5, 5, 5),
                                 fineSlot(6, 5, 5)};
    std::sort(expected.begin(), expected.end(), [](int a, int b) {
        return a / 441 != b / 441 ? a / 441 < b / 441 : a < b;
    });
    EXPECT_EQ(list, expected);
}

TEST(LocalMinima, SlotDecoding) {
    TransformParams p;
    slotRotation(441 * 10 + 21 * 5 + 3, p);
    EXPECT_EQ(p[0], -126.0f);
    EXPECT_EQ(p[1], -90.0f);
    EXPECT_EQ(p[2], 0.0f);
}

TEST(ChooseThree, ExchangesNotAStableSort) {
    std::vector<float> c = fineField(0.0f);
    c[100] = 2.0f;
    c[200] = 1.0f;
    c[300] = 1.0f;
    c[400] = 0.0f;
    std::vector<int> list = {100, 200, 300, 400};
    chooseThree(list, c.data());
    // The exchanges move 200 behind 300 before the two equal costs are compared.
    EXPECT_EQ(list[0], 400);
    EXPECT_EQ(list[1], 300);
    EXPECT_EQ(list[2], 200);

}

TEST(TopUp, LowestFineCostsNotYetListed) {
    std::vector<float> c = fineField(0.0f);
    const int m = fineSlot(5, 5, 5);
    c[m] = -0.5f;
    c[fineSlot(0, 0, 3)] = -0.3f;  // outer layer: never a minimum, but may top up
    c[fineSlot(2, 0, 0)] = -0.2f;
    c[fineSlot(1, 0, 0)] = -0.2f;  // equal: the lower slot first
    c[fineSlot(20, 0, 0)] = -9.0f;  // never written, never read
    c[fineSlot(3, 20, 4)] = -9.0f;
    std::vector<int> list = {m};
    topUpMinima(list, c.data());
    EXPECT_EQ(list, (std::vector<int>{m, fineSlot(0, 0, 3), fineSlot(1, 0, 0)}));

    std::vector<float> flat = fineField(0.0f);
    std::vector<int> none;
    topUpMinima(none, flat.data());
    EXPECT_EQ(none, (std::vector<int>{0, 1, 2}));

}

struct GlobalRun {
    TransformParams candidates[3];
    float best;
    std::string out;
    long evaluations;
    std::vector<int> batches;
};

GlobalRun runGlobal(float (*cost)(const TransformParams&), bool sequential) {
    if (sequential)
        setenv("TARVO_SEQUENTIAL", "1", 1);
    else
        unsetenv("TARVO_SEQUENTIAL");
    FnEvaluator ev(cost);
    ev.record = false;
    GlobalRun r;
    testing::internal::CaptureStdout();
    r.best = globalSearch8mm(ev, r.candidates);
    r.out = testing::internal::GetCapturedStdout();
    unsetenv("TARVO_SEQUENTIAL");
    r.evaluations = ev.evaluations();
    r.batches = ev.batchSizes;
    return r;
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

TEST(GlobalSearch, FindsTheDeepestWellTheSameWayInBothModes) {
    GlobalRun r = runGlobal(bumpyCost, false);
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].rfind("0:rotation(", 0), 0u);
    EXPECT_EQ(out[1].rfind("1:rotation(", 0), 0u);
    EXPECT_EQ(out[2].rfind("2:rotation(", 0), 0u);
    EXPECT_EQ(out[3].rfind("MedianScale is:", 0), 0u);
    // Eight wells (two per axis); the x wells differ, so the best has x near 20.
    int minima = 0;
    ASSERT_EQ(std::sscanf(out[3].c_str(), "MedianScale is:%*f,minimaCount is:%d", &minima), 1);
    EXPECT_GE(minima, 8);
    // The best candidate lies in a deep well, within the 8 mm tolerances.
    int bestIdx = 0;
    for (int i = 1; i < 3; ++i)
        if (bumpyCost(r.candidates[i]) < bumpyCost(r.candidates[bestIdx])) bestIdx = i;
    const TransformParams& c = r.candidates[bestIdx];
    EXPECT_NEAR(c[0], 20.0f, 18.0f);
    EXPECT_LT(std::fabs(std::remainder(c[1] + 40.0f, 180.0f)), 18.0f);
    EXPECT_NEAR(c[4], -3.0f, 4.0f);
    EXPECT_NEAR(c[6], 1.05f, 0.03f);
    EXPECT_EQ(c[6], c[7]);
    EXPECT_EQ(c[6], c[8]);
    for (int i = 0; i < 3; ++i)
        for (int k = 9; k < 12; ++k) EXPECT_EQ(r.candidates[i][k], 0.0f);
    // The 8,000 fine rotations go to the evaluator as one batch; the coarse lattice
    // starts with one batch of all 343 points.
    EXPECT_EQ(r.batches[0], 343);
    EXPECT_EQ(std::count(r.batches.begin(), r.batches.end(), 8000), 1);

    // One chain after another, one evaluation per call: the very same run.
    const GlobalRun& a = r;
    GlobalRun b = runGlobal(bumpyCost, true);
    EXPECT_EQ(a.out, b.out);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(sameParams(a.candidates[i], b.candidates[i])) << i;
    EXPECT_EQ(a.best, b.best);
    EXPECT_EQ(a.evaluations, b.evaluations);
    EXPECT_LT(a.batches.size(), b.batches.size() / 100);
    for (int n : b.batches) ASSERT_EQ(n, 1);
    // 343 grid points of eight line searches, 8,000 fine rotations, 3 candidates of
    // fourteen line searches; every line search costs at least two.
    EXPECT_GE(a.evaluations, 8000 + 2 * (343 * 8 + 3 * 14));
}

float flatZero(const TransformParams&) { return 0.0f; }

TEST(GlobalSearch, NoMinimaStillGivesThreeCandidates) {
    // Nothing overlaps at any rotation: no local minimum, the first three slots stand in.
    GlobalRun r = runGlobal(flatZero, false);
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].rfind("0:", 0), 0u);
    EXPECT_EQ(out[1].rfind("1:", 0), 0u);
    EXPECT_EQ(out[2].rfind("2:", 0), 0u);
    // Every grid point's common scale drifts to the same low value on a flat cost.
    EXPECT_EQ(out[3], "MedianScale is:0.811146,minimaCount is:0");
    // On a flat cost the z rotation, at the lower end of its bracket, keeps -180.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r.candidates[i][2], -180.0f);
    EXPECT_EQ(r.best, 0.0f);
    GlobalRun s = runGlobal(flatZero, true);
    EXPECT_EQ(r.out, s.out);
}

}  // namespace
