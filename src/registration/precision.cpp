#include "registration/precision.h"

#include <nlopt.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <vector>

#include "device/device.h"

namespace {

constexpr double kDegPerRad = 57.29577951308232;

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
    PrecisionResult* out;
    double giveUpBeyond = 0.0;  // PrecisionOptions::giveUpBeyond
    nlopt_opt opt = nullptr;

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
        if (pr.giveUpBeyond > 0.0) {
            double most = 0.0;
            for (unsigned i = 0; i < n; ++i) most = std::max(most, std::fabs(x[i]));
            if (most > pr.giveUpBeyond) nlopt_force_stop(pr.opt);
        }
    }
    // Nothing measured (NaN) reads as worse than any real cost, which lies in [-1, 0].
    return std::isnan(cost) ? 1.0 : (double)cost;
}

}  // namespace

int precisionVariables(int dof) { return (int)variablesFor(dof).size(); }

double precisionStepMm(const TransformParams& a, const TransformParams& b, const PrecisionOptions& opts) {
    double most = 0.0;
    for (const Variable& v : variablesFor(opts.dof)) {
        const double d = std::fabs((double)b[v.param] - (double)a[v.param]);
        const double mm = v.kind == Kind::Rotation      ? d / kDegPerRad * opts.radius
                          : v.kind == Kind::Translation ? d
                                                        : d * opts.radius;
        most = std::max(most, mm);
    }
    return most;
}

PrecisionResult localOptimum(Evaluator& ev, const TransformParams& start, const PrecisionOptions& opts,
                             float startCost) {
    PrecisionResult r;
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
    std::vector<double> x(n, 0.0), lo(n, -opts.bound), hi(n, opts.bound);
    nlopt_set_lower_bounds(o, lo.data());
    nlopt_set_upper_bounds(o, hi.data());
    pr.opt = o;
    pr.giveUpBeyond = opts.giveUpBeyond;
    nlopt_set_min_objective(o, objective, &pr);
    nlopt_set_initial_step1(o, opts.startStep);
    nlopt_set_xtol_abs1(o, opts.tolerance);
    nlopt_set_maxeval(o, opts.maxEvaluations - 1);
    double f = 0.0;
    nlopt_optimize(o, x.data(), &f);  // the best point is tracked by the objective itself
    nlopt_destroy(o);
    return r;
}

PrecisionResult precisionStage(const PrecisionPairs& withPair, const TransformParams& searched,
                               const PrecisionOptions& opts, const OneWayPolish* polish) {
    // With TARVO_VERBOSE=1: wall and processor seconds (all threads) of each pass, which
    // the benchmarks set against the whole registration's.
    struct Since {
        std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
        std::clock_t cpu = std::clock();
    };
    auto report = [](const char* pass, int n, const Since& t) {
        if (!verbose()) return;
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t.wall).count();
        const double c = (double)(std::clock() - t.cpu) / CLOCKS_PER_SEC;
        std::fprintf(stderr, "tarvo: precision stage %s: %d evaluations, %.3fs, %.3fs processor\n", pass, n, s, c);
    };
    TransformParams p = searched;
    int evaluations = 0;
    // The coarse pass only needs to get close: its optimum lies within a tenth of a
    // millimetre of the fine one on known transforms.
    if (opts.coarsePass) {
        PrecisionOptions coarse = opts;
        coarse.tolerance = std::max(opts.tolerance, 0.05);
        const Since t0;
        withPair(PrecisionPass::Coarse, [&](Evaluator& ev) {
            const PrecisionResult r = localOptimum(ev, p, coarse);
            p = r.params;
            evaluations += r.evaluations;
            report("coarse", r.evaluations, t0);
        });
    }
    const Since t0;
    PrecisionResult r;
    r.params = searched;
    withPair(PrecisionPass::Fine, [&](Evaluator& ev) {
        // The coarse answer goes on only if it beats the search's here.
        const TransformParams both[2] = {searched, p};
        float costs[2];
        ev.evaluate(both, 2, costs);
        const int from = costs[1] < costs[0] || (std::isnan(costs[0]) && !std::isnan(costs[1])) ? 1 : 0;
        // On the fine pair the remaining way is short: a small first step saves evaluations.
        PrecisionOptions fine = opts;
        fine.startStep = std::min(opts.startStep, opts.fineStartStep);
        fine.maxEvaluations = std::min(opts.maxEvaluations, opts.fineMaxEvaluations);
        r = localOptimum(ev, both[from], fine, costs[from]);
        r.startCost = costs[0];
        r.evaluations += 2;
        report("fine", r.evaluations, t0);
        if (!polish) return;
        const Since t1;
        PrecisionOptions one = fine;
        one.bound = std::min(fine.bound, polish->bound);
        // Once its best point is further than `accept`, the polish would not be kept unless
        // it came back: where the halves disagree that far (a brain-only image against a
        // head: 0.6-1 mm), it stops there, after 30 evaluations instead of 120.
        one.giveUpBeyond = polish->accept;
        polish->oneWay(true);
        const PrecisionResult p1 = localOptimum(ev, r.params, one);
        polish->oneWay(false);
        r.evaluations += p1.evaluations;
        const double moved = precisionStepMm(r.params, p1.params, opts);
        bool kept = false;
        if (p1.cost < p1.startCost && moved > polish->agree && moved <= polish->accept) {
            float both = NAN;  // the answer's cost as the registration reports it
            ev.evaluate(&p1.params, 1, &both);
            ++r.evaluations;
            if (both < r.startCost) {
                r.params = p1.params;
                r.cost = both;
                kept = true;
            }
        }
        if (verbose())
            std::fprintf(stderr, "tarvo: precision one-way polish: %d evaluations, moved %.3f mm, %s\n",
                         p1.evaluations, moved, kept ? "kept" : "not kept");
        report("polish", p1.evaluations, t1);
    });
    r.evaluations += evaluations;
    return r;
}
