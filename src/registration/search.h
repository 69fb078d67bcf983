#pragma once
// The local optimiser: golden-section line searches on one parameter inside a fixed
// absolute bracket, and the fixed sweeps built from them.
//
// Nothing here talks to the device. A search asks an Evaluator for the cost of the
// parameter sets it needs, one at a time, through a small state machine (LineSearch,
// SweepChain). Independent chains can therefore be advanced side by side and their
// pending evaluations sent to the device as one batch (runChains); each chain still sees
// exactly the evaluations it would see alone, so results, printed lines and evaluation
// counts do not depend on how the chains were scheduled.
#include <functional>
#include <span>

#include "geometry/transform.h"
#include "volume/volume.h"

// Where the searches get their costs from.
class Evaluator {
public:
    virtual ~Evaluator() = default;
    // costs[i] = cost of p[i], i < n. Every parameter set counts as one evaluation.
    virtual void evaluate(const TransformParams* p, int n, float* costs) = 0;
};

// The prepared correlation-ratio pair of the device (paramsCostBatch).
class DeviceEvaluator final : public Evaluator {
public:
    DeviceEvaluator(const Volume& src, const Volume& ref) : src_(src), ref_(ref) {}
    void evaluate(const TransformParams* p, int n, float* costs) override;

private:
    const Volume& src_;
    const Volume& ref_;
};

// The last few parameter sets a level evaluated, with their costs. Every line search
// begins by asking for the point the previous one ended on, whose cost is already known:
// 9 of the 254 evaluations at 1 mm of -r on a real pair, 15 of 472 at 2 mm (four sets hold
// all the repeats that sixteen do). The cost of a parameter set is a function of its bits
// on a prepared pair, so the remembered value is the one the device would give.
class RecentCosts {
public:
    bool find(const TransformParams& p, float& cost) const;
    void add(const TransformParams& p, float cost);

private:
    static constexpr int kSize = 4;
    TransformParams p_[kSize];
    float cost_[kSize] = {};
    int count_ = 0, next_ = 0;
};

// Parameter index of a step that moves the three scales together.
constexpr int kIsoScale = -1;

struct SweepStep {
    int param;  // 0-11, or kIsoScale
    float tol;
    // 0: the kind's fixed bracket. Above 0: the bracket [start - span, start + span], for
    // searches that must stay near where they start.
    float span = 0.0f;
};

// A fixed list of steps run `passes` times.
struct Sweep {
    std::span<const SweepStep> steps;
    int passes;
};

extern const Sweep kGridPointSweep;
extern const Sweep kCandidateSweep;
extern const Sweep kStartSweep;
extern const Sweep kSweep7Dof2mm;
extern const Sweep kSweep9Dof2mm;
extern const Sweep kSweep12Dof2mm;
extern const Sweep kSweep12Dof1mm;

// One line search as a state machine over the caller's parameter set `p`:
//   begin(p, k, t); while (!done) { cost = cost of p; done = feed(p, cost); }
// Between calls `p` holds the point to evaluate next; on completion it holds the best
// point and result() its cost.
class LineSearch {
public:
    void begin(const TransformParams& p, int param, float tol, float span = 0.0f);
    // Takes the cost of `p` as it stands; returns true when the search has finished.
    bool feed(TransformParams& p, float cost);
    float result() const { return fm_; }

private:
    void set(TransformParams& p, float value) const;

    int param_ = 0;
    float tol_ = 0;
    float lo_ = 0, mid_ = 0, hi_ = 0, fm_ = 0;
    float dL_ = 0, dR_ = 0, x_ = 0;
    bool started_ = false;
    bool upper_ = false;  // the pending trial lies above mid
};

// One sweep over a parameter set it owns. pending() is what to evaluate next.
class SweepChain {
public:
    SweepChain(const Sweep& sweep, const TransformParams& start);

    bool done() const { return done_; }
    const TransformParams& pending() const { return params; }
    void feed(float cost);
    // The cost returned by the last step (valid once done).
    float result() const { return result_; }

    TransformParams params;

private:
    void beginStep();

    const Sweep* sweep_;
    int pass_ = 0, step_ = 0;
    LineSearch ls_;
    float result_ = 0;
    bool done_ = false;
};

// True when TARVO_SEQUENTIAL=1: every chain runs alone with evaluations of one.
bool sequentialMode();

// Advances all chains to completion. Batched: each round sends the pending set of every
// unfinished chain to the evaluator in one call. Sequential: chain after chain, one set
// per call. Both give each chain the same evaluations.
void runChains(Evaluator& ev, std::span<SweepChain> chains);
// The same with the set that chain i asks for replaced by map(i, set) before it is
// evaluated (chains that search relative to an orientation of their own).
using PendingMap = std::function<TransformParams(int, const TransformParams&)>;
void runChains(Evaluator& ev, std::span<SweepChain> chains, const PendingMap& map);
// Costs of n independent sets: one call, or n calls of one in sequential mode.
void evaluateAll(Evaluator& ev, const TransformParams* p, int n, float* costs);

// Runs one sweep on `p` in place; returns the cost returned by its last step.
float runSweep(Evaluator& ev, const Sweep& sweep, TransformParams& p);

// Line search on parameter k with tolerance t; returns the best cost, p[k] the best point.
float lineSearch(Evaluator& ev, TransformParams& p, int k, float t);
// The same on the three scales together, bracket [0.8, 1.2], starting from scale x.
float isoScaleSearch(Evaluator& ev, TransformParams& p, float t);

float gridPointSweep(Evaluator& ev, TransformParams& p);
float candidateSweep(Evaluator& ev, TransformParams& p);
float startSweep(Evaluator& ev, TransformParams& p);
float sweep7Dof2mm(Evaluator& ev, TransformParams& p);
float sweep9Dof2mm(Evaluator& ev, TransformParams& p);
float sweep12Dof2mm(Evaluator& ev, TransformParams& p);
float sweep12Dof1mm(Evaluator& ev, TransformParams& p);
