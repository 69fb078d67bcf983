#pragma once
// A synthetic cost for driving the searches without a device, recording what it was
// asked.
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "registration/search.h"

struct FnEvaluator : Evaluator {
    std::function<float(const TransformParams&)> f;
    std::vector<TransformParams> seen;
    std::vector<int> batchSizes;
    bool record = true;

    explicit FnEvaluator(std::function<float(const TransformParams&)> fn) : f(std::move(fn)) {}
    void evaluate(const TransformParams* p, int n, float* costs) override {
        batchSizes.push_back(n);
        for (int i = 0; i < n; ++i) {
            if (record) seen.push_back(p[i]);
            costs[i] = f(p[i]);
        }
    }
    long evaluations() const {
        long s = 0;
        for (int n : batchSizes) s += n;
        return s;
    }
};

// Bit-exact equality of two parameter sets.
inline bool sameParams(const TransformParams& a, const TransformParams& b) {
    for (int i = 0; i < 12; ++i)
        if (std::memcmp(&a.v[i], &b.v[i], sizeof(float)) != 0) return false;
    return true;
}

// A cost with several rotation minima (period 180 on each axis), one best translation
// that depends on the rotation, and a best common scale: enough structure for every
// stage of the search to have something to find.
inline float bumpyCost(const TransformParams& p) {
    const double d2r = 3.14159265358979 / 180.0;
    double c = 0.0;
    c += 0.10 * (1.0 - std::cos(2.0 * (p[0] - 20.0) * d2r));
    c += 0.08 * (1.0 - std::cos(2.0 * (p[1] + 40.0) * d2r));
    c += 0.06 * (1.0 - std::cos(2.0 * (p[2] - 10.0) * d2r));
    // Break the symmetry of the two rotation wells a little.
    c += 0.01 * (1.0 - std::cos((p[0] - 20.0) * d2r));
    const double tx = p[3] - (5.0 + 0.02 * p[2]), ty = p[4] + 3.0, tz = p[5] - 2.0;
    c += 1e-4 * (tx * tx + ty * ty + tz * tz);
    for (int i = 6; i < 9; ++i) c += 2.0 * (p[i] - 1.05) * (p[i] - 1.05);
    for (int i = 9; i < 12; ++i) c += 5.0 * (p[i] - 0.01 * (i - 9)) * (p[i] - 0.01 * (i - 9));
    return (float)(std::fmin(c, 1.0) - 1.0);
}
