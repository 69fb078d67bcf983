#include "registration/refine.h"

#include <nlopt.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "device/costfunction.h"
#include "device/device.h"
#include "volume/resample.h"

namespace {

constexpr double kDegPerRad = 57.29577951308232;
// How far the optimiser may wander from the start, mm at the edge: well beyond what the
// sweeps leave (a degree or two, a millimetre or two) and far short of another optimum.
constexpr double kBound = 25.0;

enum class Kind { Rotation, Translation, Scale, IsoScale, Skew };

struct Variable {
    Kind kind;
    int param;  // index into TransformParams (unused for IsoScale)
};

std::vector<Variable> variablesFor(int dof) {
    std::vector<Variable> v;
    if (dof != 6 && dof != 7 && dof != 9 && dof != 12) return v;
    for (int i = 0; i < 3; ++i) v.push_back({Kind::Rotation, i});
    for (int i = 3; i < 6; ++i) v.push_back({Kind::Translation, i});
    if (dof == 7) v.push_back({Kind::IsoScale, 6});
    if (dof >= 9)
        for (int i = 6; i < 9; ++i) v.push_back({Kind::Scale, i});
    if (dof == 12)
        for (int i = 9; i < 12; ++i) v.push_back({Kind::Skew, i});
    return v;
}

struct Problem {
    Evaluator* ev;
    TransformParams start;
    std::vector<Variable> vars;
    double radius;
    RefineResult* out;

    TransformParams at(const double* x) const {
        TransformParams p = start;
        for (size_t i = 0; i < vars.size(); ++i) {
            const Variable& v = vars[i];
            switch (v.kind) {
                case Kind::Rotation:
                    p[v.param] = (float)((double)start[v.param] + x[i] / radius * kDegPerRad);
                    break;
                case Kind::Translation: p[v.param] = (float)((double)start[v.param] + x[i]); break;
                case Kind::Scale:
                case Kind::Skew: p[v.param] = (float)((double)start[v.param] + x[i] / radius); break;
                case Kind::IsoScale:
                    for (int k = 6; k < 9; ++k) p[k] = (float)((double)start[k] + x[i] / radius);
                    break;
            }
        }
        return p;
    }
};

double objective(unsigned n, const double* x, double* /*grad*/, void* data) {
    Problem& pr = *static_cast<Problem*>(data);
    bool atStart = true;
    for (unsigned i = 0; i < n; ++i) atStart = atStart && x[i] == 0.0;
    if (atStart) return pr.out->startCost;
    const TransformParams p = pr.at(x);
    float cost = 0.0f;
    pr.ev->evaluate(&p, 1, &cost);
    ++pr.out->evaluations;
    if (cost < pr.out->cost) {  // strictly lower: ties keep the earlier point
        pr.out->cost = cost;
        pr.out->params = p;
    }
    // Nothing measured (NaN) reads as worse than any real cost, which lies in [-1, 0].
    return std::isnan(cost) ? 1.0 : (double)cost;
}

}  // namespace

int refineVariables(int dof) { return (int)variablesFor(dof).size(); }

RefineResult refineParams(Evaluator& ev, const TransformParams& start, const RefineOptions& opts,
                          float startCost) {
    RefineResult r;
    r.params = start;
    r.startCost = startCost;
    if (std::isnan(startCost)) {
        ev.evaluate(&start, 1, &r.startCost);
        r.evaluations = 1;
    }
    r.cost = r.startCost;

    Problem pr{&ev, start, variablesFor(opts.dof), (double)opts.radius, &r};
    const unsigned n = (unsigned)pr.vars.size();
    if (n == 0 || !(opts.radius > 0.0f) || std::isnan(r.startCost) || opts.maxEvaluations <= 1) return r;

    nlopt_opt o = nlopt_create(NLOPT_LN_BOBYQA, n);
    if (!o) return r;
    std::vector<double> x(n, 0.0), lo(n, -kBound), hi(n, kBound);
    nlopt_set_lower_bounds(o, lo.data());
    nlopt_set_upper_bounds(o, hi.data());
    nlopt_set_min_objective(o, objective, &pr);
    nlopt_set_initial_step1(o, opts.startStep);
    nlopt_set_xtol_abs1(o, opts.tolerance);
    nlopt_set_maxeval(o, opts.maxEvaluations - 1);
    double f = 0.0;
    nlopt_optimize(o, x.data(), &f);  // the best point is tracked by the objective itself
    nlopt_destroy(o);
    return r;
}

TransformParams carryParams(const TransformParams& p, const LevelFrame& from, const LevelFrame& to) {
    double want[12], at[12], moved[12];
    from(p, want);
    to(p, at);
    // The frame is affine in the translations: three unit moves give its matrix B, and
    // B d = want - at gives the change d.
    double b[3][3], r[3];
    for (int c = 0; c < 3; ++c) {
        TransformParams q = p;
        q[3 + c] = (float)((double)p[3 + c] + 1.0);
        to(q, moved);
        for (int k = 0; k < 3; ++k) b[k][c] = moved[4 * k + 3] - at[4 * k + 3];
    }
    for (int k = 0; k < 3; ++k) r[k] = want[4 * k + 3] - at[4 * k + 3];
    const double det = b[0][0] * (b[1][1] * b[2][2] - b[1][2] * b[2][1]) -
                       b[0][1] * (b[1][0] * b[2][2] - b[1][2] * b[2][0]) +
                       b[0][2] * (b[1][0] * b[2][1] - b[1][1] * b[2][0]);
    if (!(std::fabs(det) > 1e-12)) return p;
    TransformParams q = p;
    for (int c = 0; c < 3; ++c) {
        // Cramer's rule: column c replaced by r.
        double m[3][3];
        for (int k = 0; k < 3; ++k)
            for (int j = 0; j < 3; ++j) m[k][j] = j == c ? r[k] : b[k][j];
        const double dc = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                          m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                          m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        q[3 + c] = (float)((double)p[3 + c] + dc / det);
    }
    return q;
}

void plainLevelFrame(const TransformParams& p, const Volume& src, const Volume& ref, int halvings,
                     double out[12]) {
    Matrix m;
    composeAffine(p, m, src.dx, src.dy, src.dz);
    const double k = (double)(1 << halvings), o = -(k - 1.0) / 2.0;
    // 1 mm voxel r1 -> level voxel (r1 - o) / k -> texture coordinate
    // M (r - truncated ref centre) + src centre, which shows level voxel coordinate - 0.5
    // -> 1 mm voxel k (.) + o.
    for (int row = 0; row < 3; ++row) {
        double t = (double)m.data[4 * row + 3] + (double)src.center[row] - 0.5;
        for (int c = 0; c < 3; ++c) {
            const double a = m.data[4 * row + c];
            out[4 * row + c] = a;  // k * a / k
            t -= a * (o / k + std::trunc((double)ref.center[c]));
        }
        out[4 * row + 3] = k * t + o;
    }
}

RefineResult precisionStage(const RefineLevels& withLevel, const TransformParams& searched,
                            const RefineOptions& opts) {
    auto report = [](const char* level, int n, std::chrono::steady_clock::time_point since) {
        if (!verbose()) return;
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
        std::fprintf(stderr, "tarvo: precision stage %s: %d evaluations, %.3fs\n", level, n, s);
    };
    // The coarse pass only needs to get close: its optimum lies within a few hundredths
    // of a millimetre of the fine one.
    RefineOptions coarse = opts;
    coarse.tolerance = std::max(opts.tolerance, 0.05);
    TransformParams p2 = searched;
    int evaluations = 0;
    auto t0 = std::chrono::steady_clock::now();
    double carried[12];
    bool haveCarried = false;
    withLevel(1, [&](Evaluator& ev, const LevelFrame& frame) {
        const RefineResult r = refineParams(ev, searched, coarse);
        p2 = r.params;
        frame(p2, carried);
        haveCarried = true;
        evaluations += r.evaluations;
        report("2mm", r.evaluations, t0);
    });
    t0 = std::chrono::steady_clock::now();
    RefineResult r;
    r.params = searched;
    withLevel(0, [&](Evaluator& ev, const LevelFrame& frame) {
        // The 2 mm answer, carried to this level's parameters, goes on only if it beats
        // the search's here.
        if (haveCarried) {
            const LevelFrame from = [&](const TransformParams&, double out[12]) {
                for (int e = 0; e < 12; ++e) out[e] = carried[e];
            };
            p2 = carryParams(p2, from, frame);
        }
        const TransformParams both[2] = {searched, p2};
        float costs[2];
        ev.evaluate(both, 2, costs);
        const int from = costs[1] < costs[0] || (std::isnan(costs[0]) && !std::isnan(costs[1])) ? 1 : 0;
        // At 1 mm the remaining way is short: a small first step saves evaluations.
        RefineOptions fine = opts;
        fine.startStep = std::min(opts.startStep, opts.fineStartStep);
        fine.maxEvaluations = std::min(opts.maxEvaluations, opts.fineMaxEvaluations);
        r = refineParams(ev, both[from], fine, costs[from]);
        r.startCost = costs[0];
        r.evaluations += 2;
        report("1mm", r.evaluations, t0);
    });
    r.evaluations += evaluations;
    return r;
}

RefineResult precisionStage(const Volume& src1, const Volume& ref1, const TransformParams& searched,
                            const RefineOptions& opts) {
    auto withLevel = [&](int halvings, const std::function<void(Evaluator&, const LevelFrame&)>& run) {
        VolumePtr s2, r2;
        if (halvings == 1) {
            s2 = halfSample(src1);
            r2 = halfSample(ref1);
            s2->stage = r2->stage = ref1.stage;
        }
        const Volume& s = halvings == 1 ? *s2 : src1;
        const Volume& r = halvings == 1 ? *r2 : ref1;
        CostPairOptions o;
        o.exactWeights = true;
        initCorrelationRatio(s, r, o);
        DeviceEvaluator ev(s, r);
        run(ev, [&](const TransformParams& p, double out[12]) { plainLevelFrame(p, s, r, halvings, out); });
        freeCorrelationRatio();
    };
    return precisionStage(withLevel, searched, opts);
}
