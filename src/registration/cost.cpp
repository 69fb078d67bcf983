#include "registration/cost.h"

#include <chrono>
#include <vector>

#include "device/costfunction.h"

thread_local int globalCount = 0;
thread_local float crTotalTime = 0.0f;

long long clockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Whole milliseconds as a float, in seconds: the conversion the printed totals rely on.
static void addTime(long long t0, long long t1) {
    crTotalTime += (float)((double)(float)(t1 - t0) / 1000.0);
}

thread_local int knownCostCount = 0;

void countKnownCosts(int n) {
    globalCount += n;
    knownCostCount += n;
}

float matrixCost(const Volume& src, const Volume& ref, const Matrix& m) {
    ++globalCount;  // before the evaluation: discarded evaluations count too
    const long long t0 = clockMs();
    float v = 0.0f;
    calcCorrelationRatio(src, ref, m.data, &v);
    const float cost = v - 1.0f;
    addTime(t0, clockMs());
    return cost;
}

float paramsCost(const Volume& src, const Volume& ref, const TransformParams& p) {
    Matrix m;
    composeAffine(p, m, src.dx, src.dy, src.dz);
    return matrixCost(src, ref, m);
}

void paramsCostBatch(const Volume& src, const Volume& ref, const TransformParams* p, int n,
                     float* costs) {
    if (n <= 0) return;
    if (n == 1) {
        costs[0] = paramsCost(src, ref, p[0]);
        return;
    }
    // Kept across calls so that a search allocates only while its batches still grow.
    thread_local std::vector<float> matrices;
    matrices.resize((size_t)n * 16);
    Matrix m;
    for (int i = 0; i < n; ++i) {
        composeAffine(p[i], m, src.dx, src.dy, src.dz);
        for (int e = 0; e < 16; ++e) matrices[(size_t)i * 16 + e] = m.data[e];
    }
    matrixCostBatch(src, ref, matrices.data(), n, costs);
}

void matrixCostBatch(const Volume& src, const Volume& ref, const float* matrices, int n, float* costs) {
    if (n <= 0) return;
    thread_local std::vector<float> values;
    values.resize((size_t)n);
    globalCount += n;
    const long long t0 = clockMs();
    calcCorrelationRatioBatch(src, ref, matrices, n, values.data());
    for (int i = 0; i < n; ++i) costs[i] = values[i] - 1.0f;
    addTime(t0, clockMs());
}
