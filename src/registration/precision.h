#pragma once
// The precision stage: after the search's fixed line sweeps, move all free parameters
// together to the cost's optimum. The sweeps stop within about a degree and a millimetre
// and never move two parameters at once; a model-based local optimiser (BOBYQA, from
// NLopt) takes the answer from there to hundredths of a millimetre.
//
// The optimiser works in millimetres at the brain's edge: one unit of every variable
// moves a point at `radius` from the centre by about 1 mm (a rotation by 1/radius rad, a
// scale or skew change of 1/radius), so one tolerance fits all parameters.
#include <cmath>
#include <cstddef>
#include <functional>

#include "geometry/transform.h"
#include "registration/search.h"

struct PrecisionOptions {
    int dof = 12;           // 6 rigid, 7 one scale, 9 three scales, 12 affine
    float radius = 80.0f;   // mm from the centre to the brain's edge
    double startStep = 1.0; // first trust-region radius, mm at the edge
    // precisionStage: the first radius of its fine pass, which starts from the coarse answer
    double fineStartStep = 0.1;
    // precisionStage: evaluations of its fine pass at most (each costs as much as eight at
    // 2 mm; the pass is a polish of the coarse answer and takes 30 to 140 on brains)
    int fineMaxEvaluations = 120;
    double tolerance = 0.01;  // final trust-region radius, mm at the edge
    // Evaluations of one call or pass at most (the coarse pass takes 80 to 130 on brains;
    // a pair that no affine fits, a head against a brain, wanders further)
    int maxEvaluations = 250;
    // How far any variable may move from the start, mm at the edge: beyond what the
    // sweeps leave (a degree or two, a millimetre or two) and short of another optimum.
    double bound = 25.0;
    // precisionStage: the coarse pass (off: the fine pass starts from the search's answer)
    bool coarsePass = true;
    // register's fine pass (and its polish) counts one voxel in this many (1, 2 or 4) of
    // FIXED's foreground and of MOVING's, on an even lattice (latticeSubset), the same ones
    // at every evaluation; each side only where it has at least fineSampledFrom voxels to
    // count. Measured on the known-transform recipe cases: one in four ends as near the
    // truth as all of them (0.0144-0.0210 mm across contrasts, 0.0086-0.0139 in one
    // contrast, against 0.0142-0.0204 and 0.0095-0.0126), in about a third of the time;
    // the error there is the cost's bias, not its sampling. An EPI of 3 mm voxels has a
    // tenth of that many of its own: a quarter of them left two EPI hard cases 2.2-2.3 mm
    // off (1.4 and 0.9 with all of them).
    int fineOneIn = 4;
    size_t fineSampledFrom = 1000000;
    // localOptimum stops as soon as its best point lies further than this from the start,
    // mm at the edge (0: never), and returns that point.
    double giveUpBeyond = 0.0;
};

struct PrecisionResult {
    TransformParams params;  // the lowest-cost point evaluated (the start when none beats it)
    float cost = 0.0f;
    float startCost = 0.0f;
    int evaluations = 0;
};

// Parameters the stage moves for a given dof; 7 moves the three scales as one (by the
// same amount, so equal scales stay equal). Fixed parameters keep their start values.
// Returns the number of variables, or 0 for an unknown dof.
int precisionVariables(int dof);

// One pass of the optimiser from `start`. Never worse than the start on this evaluator: the start is evaluated first (unless its
// cost is given) and any later point replaces it only with a strictly lower cost.
// Evaluations go one at a time; the result depends only on the costs, so a deterministic
// evaluator gives the same answer on every run and any thread count.
PrecisionResult localOptimum(Evaluator& ev, const TransformParams& start, const PrecisionOptions& opts,
                             float startCost = NAN);

// The stage's two passes: Coarse on the 2 mm pair (cheap evaluations for the long way),
// Fine on the finest pair the stage uses (to opts.tolerance).
enum class PrecisionPass { Coarse, Fine };
// Gives the stage its cost pairs: withPair(pass, run) prepares the pass's pair with exact
// weights, calls run with its evaluator and releases the pair. Both evaluators read
// parameters in one frame (the same numbers mean the same world transform on both pairs,
// whatever their grids), so the coarse answer goes on to the fine pair as it is.
using PrecisionPairs = std::function<void(PrecisionPass pass, const std::function<void(Evaluator&)>& run)>;

// Where the cost is taken both ways: after the fine pass, a polish under the forward
// half alone (oneWay(true) switches the prepared pair to it, oneWay(false) back), kept
// where it moves no variable by more than `accept` mm at the edge. Across contrasts the
// forward half's optimum is the more exact one (the reverse half samples FIXED between its
// voxels, a blur before the contrast's mapping that shifts thin features); where the two
// disagree by more, the forward half is being pulled by an outline or a bias field, and
// the answer of both stands. Where they agree to within `agree` mm, the answer of both
// stands too: in one contrast neither half is biased, the two differ by their noise alone,
// and both together are the more exact (moved 0.02-0.03 mm on single-contrast known transforms,
// which end 0.008-0.010 mm from the truth without the polish and 0.012-0.017 with it;
// 0.11-0.13 mm across contrasts).
struct OneWayPolish {
    std::function<void(bool)> oneWay;
    double bound = 1.0;    // how far the polish may go, mm at the edge
    double agree = 0.06;   // how far it must have gone to be kept
    double accept = 0.5;   // and how far it may have gone
};

// The largest change of a variable between two parameter sets, mm at the edge.
double precisionStepMm(const TransformParams& a, const TransformParams& b, const PrecisionOptions& opts);

// The stage as a registration runs it: the correlation ratio with full float trilinear
// weights, first on the coarse pair (to 0.05 mm), then on the fine pair from the better of
// that answer and the search's (to opts.tolerance). The result is never worse on the fine
// pair than `searched`; its startCost is the fine pair's cost of `searched`.
PrecisionResult precisionStage(const PrecisionPairs& withPair, const TransformParams& searched,
                               const PrecisionOptions& opts, const OneWayPolish* polish = nullptr);
