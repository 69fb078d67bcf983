#include "registration/search.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "registration/cost.h"

void DeviceEvaluator::evaluate(const TransformParams* p, int n, float* costs) {
    paramsCostBatch(src_, ref_, p, n, costs);
}

bool RecentCosts::find(const TransformParams& p, float& cost) const {
    for (int i = 0; i < count_; ++i)
        if (std::memcmp(p_[i].v, p.v, sizeof p.v) == 0) {
            cost = cost_[i];
            return true;
        }
    return false;
}

void RecentCosts::add(const TransformParams& p, float cost) {
    p_[next_] = p;
    cost_[next_] = cost;
    next_ = (next_ + 1) % kSize;
    if (count_ < kSize) ++count_;
}

// ---- the fixed sweeps ----------------------------------------------------------------
// Within a group the order is z, x, y; only the coarse grid points run their
// translations z, y, x.

static constexpr SweepStep kGridPointSteps[] = {
    {5, 4.0f}, {4, 4.0f}, {3, 4.0f}, {kIsoScale, 0.02f}};
static constexpr SweepStep kCandidateSteps[] = {
    {2, 18.0f}, {0, 18.0f}, {1, 18.0f}, {kIsoScale, 0.02f}, {5, 4.0f}, {3, 4.0f}, {4, 4.0f}};
static constexpr SweepStep kStartSteps[] = {
    {2, 9.0f}, {0, 9.0f}, {1, 9.0f}, {kIsoScale, 0.01f}, {5, 2.0f}, {3, 2.0f}, {4, 2.0f}};
static constexpr SweepStep k7Dof2mmSteps[] = {
    {2, 4.5f}, {0, 4.5f}, {1, 4.5f}, {kIsoScale, 0.005f}, {5, 1.0f}, {3, 1.0f}, {4, 1.0f}};
static constexpr SweepStep k9Dof2mmSteps[] = {
    {8, 0.005f}, {6, 0.005f}, {7, 0.005f}, {2, 4.5f}, {0, 4.5f},
    {1, 4.5f},   {5, 1.0f},   {3, 1.0f},   {4, 1.0f}};
static constexpr SweepStep k12Dof2mmSteps[] = {
    {11, 0.005f}, {9, 0.005f},   {10, 0.005f},  {2, 2.25f}, {0, 2.25f}, {1, 2.25f},
    {8, 0.0025f}, {6, 0.0025f},  {7, 0.0025f},  {5, 0.5f},  {3, 0.5f},  {4, 0.5f}};
static constexpr SweepStep k12Dof1mmSteps[] = {
    {2, 1.125f},     {0, 1.125f},     {1, 1.125f},     {8, 0.000625f},
    {6, 0.000625f},  {7, 0.000625f},  {5, 0.0625f},    {3, 0.0625f},
    {4, 0.0625f},    {11, 0.00125f},  {9, 0.00125f},   {10, 0.00125f}};

const Sweep kGridPointSweep{kGridPointSteps, 2};
const Sweep kCandidateSweep{kCandidateSteps, 2};
const Sweep kStartSweep{kStartSteps, 2};
const Sweep kSweep7Dof2mm{k7Dof2mmSteps, 1};
const Sweep kSweep9Dof2mm{k9Dof2mmSteps, 1};
const Sweep kSweep12Dof2mm{k12Dof2mmSteps, 1};
const Sweep kSweep12Dof1mm{k12Dof1mmSteps, 1};

// ---- line search -----------------------------------------------------------------------

// The bracket depends only on the kind of parameter, never on its current value.
static void bracketOf(int param, float& lo, float& hi) {
    switch (param == kIsoScale ? 2 : param / 3) {
        case 0: lo = -180.0f; hi = 180.0f; break;
        case 1: lo = -80.0f; hi = 80.0f; break;
        case 2: lo = 0.8f; hi = 1.2f; break;
        default: lo = -0.1f; hi = 0.1f; break;
    }
}

void LineSearch::begin(const TransformParams& p, int param, float tol, float span) {
    param_ = param;
    tol_ = tol;
    mid_ = p[param == kIsoScale ? 6 : param];
    if (span > 0.0f) {
        lo_ = mid_ - span;
        hi_ = mid_ + span;
    } else {
        bracketOf(param, lo_, hi_);
    }
    started_ = false;
}

void LineSearch::set(TransformParams& p, float value) const {
    if (param_ == kIsoScale) {
        p[6] = p[7] = p[8] = value;
    } else {
        p[param_] = value;
    }
}

bool LineSearch::feed(TransformParams& p, float cost) {
    if (!started_) {
        fm_ = cost;
        started_ = true;
    } else {
        // Equal costs reject a trial above mid but accept one below it, so on a flat
        // cost the bracket keeps losing its upper part.
        if (upper_) {
            if (cost < fm_) {
                lo_ = mid_;
                mid_ = x_;
                fm_ = cost;
            } else {
                hi_ = x_;
            }
        } else {
            if (cost <= fm_) {
                hi_ = mid_;
                mid_ = x_;
                fm_ = cost;
            } else {
                lo_ = x_;
            }
        }
        // The stop test reads the widths from before this update. Written as "not both
        // wide enough" so that a NaN start value ends the search instead of looping.
        if (!(dL_ >= tol_ && dR_ >= tol_)) {
            set(p, mid_);
            return true;
        }
    }
    dL_ = mid_ - lo_;
    dR_ = hi_ - mid_;
    // The trial lies 0.61803 of the larger side away from mid (not the textbook 0.38197).
    if (dR_ > dL_) {
        upper_ = true;
        x_ = mid_ + 0.61803f * dR_;
    } else {
        upper_ = false;
        x_ = lo_ + 0.38197f * dL_;
    }
    set(p, x_);
    return false;
}

// ---- sweeps as chains -------------------------------------------------------------------

SweepChain::SweepChain(const Sweep& sweep, const TransformParams& start)
    : params(start), sweep_(&sweep) {
    beginStep();
}

void SweepChain::beginStep() {
    const SweepStep& s = sweep_->steps[step_];
    ls_.begin(params, s.param, s.tol, s.span);
}

void SweepChain::feed(float cost) {
    if (!ls_.feed(params, cost)) return;
    result_ = ls_.result();
    if (++step_ == (int)sweep_->steps.size()) {
        step_ = 0;
        if (++pass_ == sweep_->passes) {
            done_ = true;
            return;
        }
    }
    beginStep();
}

bool sequentialMode() {
    const char* s = std::getenv("TARVO_SEQUENTIAL");
    return s && std::strcmp(s, "1") == 0;
}

static void runAlone(Evaluator& ev, SweepChain& c, int index = 0, const PendingMap& map = {}) {
    while (!c.done()) {
        float cost;
        if (map) {
            const TransformParams p = map(index, c.pending());
            ev.evaluate(&p, 1, &cost);
        } else {
            ev.evaluate(&c.pending(), 1, &cost);
        }
        c.feed(cost);
    }
}

void runChains(Evaluator& ev, std::span<SweepChain> chains) { runChains(ev, chains, {}); }

void runChains(Evaluator& ev, std::span<SweepChain> chains, const PendingMap& map) {
    if (sequentialMode()) {
        for (size_t i = 0; i < chains.size(); ++i) runAlone(ev, chains[i], (int)i, map);
        return;
    }
    std::vector<TransformParams> batch;
    std::vector<int> owner;
    std::vector<float> costs;
    batch.reserve(chains.size());
    owner.reserve(chains.size());
    for (;;) {
        batch.clear();
        owner.clear();
        for (size_t i = 0; i < chains.size(); ++i) {
            if (chains[i].done()) continue;
            batch.push_back(map ? map((int)i, chains[i].pending()) : chains[i].pending());
            owner.push_back((int)i);
        }
        if (batch.empty()) return;
        costs.resize(batch.size());
        ev.evaluate(batch.data(), (int)batch.size(), costs.data());
        for (size_t j = 0; j < owner.size(); ++j) chains[owner[j]].feed(costs[j]);
    }
}

void evaluateAll(Evaluator& ev, const TransformParams* p, int n, float* costs) {
    if (n <= 0) return;
    if (sequentialMode()) {
        for (int i = 0; i < n; ++i) ev.evaluate(p + i, 1, costs + i);
    } else {
        ev.evaluate(p, n, costs);
    }
}

float runSweep(Evaluator& ev, const Sweep& sweep, TransformParams& p) {
    SweepChain c(sweep, p);
    runAlone(ev, c);
    p = c.params;
    return c.result();
}

static float runLineSearch(Evaluator& ev, TransformParams& p, int param, float t) {
    LineSearch ls;
    ls.begin(p, param, t);
    for (;;) {
        float cost;
        ev.evaluate(&p, 1, &cost);
        if (ls.feed(p, cost)) return ls.result();
    }
}

float lineSearch(Evaluator& ev, TransformParams& p, int k, float t) {
    return runLineSearch(ev, p, k, t);
}

float isoScaleSearch(Evaluator& ev, TransformParams& p, float t) {
    return runLineSearch(ev, p, kIsoScale, t);
}

float gridPointSweep(Evaluator& ev, TransformParams& p) { return runSweep(ev, kGridPointSweep, p); }
float candidateSweep(Evaluator& ev, TransformParams& p) { return runSweep(ev, kCandidateSweep, p); }
float startSweep(Evaluator& ev, TransformParams& p) { return runSweep(ev, kStartSweep, p); }
float sweep7Dof2mm(Evaluator& ev, TransformParams& p) { return runSweep(ev, kSweep7Dof2mm, p); }
float sweep9Dof2mm(Evaluator& ev, TransformParams& p) { return runSweep(ev, kSweep9Dof2mm, p); }
float sweep12Dof2mm(Evaluator& ev, TransformParams& p) { return runSweep(ev, kSweep12Dof2mm, p); }
float sweep12Dof1mm(Evaluator& ev, TransformParams& p) { return runSweep(ev, kSweep12Dof1mm, p); }
