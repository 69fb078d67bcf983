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
#include <functional>

#include "geometry/transform.h"
#include "registration/search.h"
#include "volume/volume.h"

struct RefineOptions {
    int dof = 12;           // 6 rigid, 7 one scale, 9 three scales, 12 affine
    float radius = 80.0f;   // mm from the centre to the brain's edge
    double startStep = 1.0; // first trust-region radius, mm at the edge
    // precisionStage: the first radius of its 1 mm pass, which starts from the 2 mm answer
    double fineStartStep = 0.1;
    // precisionStage: evaluations of its 1 mm pass at most (each costs as much as nine at
    // 2 mm; the pass is a polish of the 2 mm answer)
    int fineMaxEvaluations = 400;
    double tolerance = 0.01;  // final trust-region radius, mm at the edge
    int maxEvaluations = 400;
};

struct RefineResult {
    TransformParams params;  // the lowest-cost point evaluated (the start when none beats it)
    float cost = 0.0f;
    float startCost = 0.0f;
    int evaluations = 0;
};

// Parameters the stage moves for a given dof; 7 moves the three scales as one (by the
// same amount, so equal scales stay equal). Fixed parameters keep their start values.
// Returns the number of variables, or 0 for an unknown dof.
int refineVariables(int dof);

// Never worse than the start on this evaluator: the start is evaluated first (unless its
// cost is given) and any later point replaces it only with a strictly lower cost.
// Evaluations go one at a time; the result depends only on the costs, so a deterministic
// evaluator gives the same answer on every run and any thread count.
RefineResult refineParams(Evaluator& ev, const TransformParams& start, const RefineOptions& opts,
                          float startCost = NAN);

// Where a level's parameters send the fixed image, in any frame that all levels share
// (world mm, or 1 mm level voxels): the first three rows of a 4x4, row-major. Parameters
// are relative to a level's own centres and sampling offsets, so the same numbers mean
// slightly different transforms on two levels (a few tenths of a millimetre); the stage
// carries its 2 mm answer to 1 mm through this frame.
using LevelFrame = std::function<void(const TransformParams& p, double out[12])>;
// Gives the stage one level of the registration: withLevel(halvings, run) prepares the
// level's cost pair with exact weights (halvings 1: 2 mm, 0: 1 mm), calls run with its
// evaluator and frame, and releases the pair. The registration pipeline supplies its own
// (its start, its masks); precisionStage below makes plain ones from two 1 mm volumes.
using RefineLevels =
    std::function<void(int halvings, const std::function<void(Evaluator&, const LevelFrame&)>& run)>;

// The parameters on a level (its frame `to`) that send the fixed image where `p` does on
// another level (its frame `from`): the same rotation, scales and skews, translations
// solved for (the frames differ only by an affine in the translation).
TransformParams carryParams(const TransformParams& p, const LevelFrame& from, const LevelFrame& to);
// The frame of the plain cost on a level made from 1 mm volumes by `halvings` half-samplings,
// in 1 mm level voxels (level voxel i of a half-sampled volume lies at 2i - 0.5 of its input).
void plainLevelFrame(const TransformParams& p, const Volume& src, const Volume& ref, int halvings,
                     double out[12]);

// The stage as a registration runs it: the correlation ratio with full float trilinear
// weights, first at 2 mm (cheap evaluations for the long way, to 0.05 mm), then at 1 mm
// from the better of that answer and the search's (to opts.tolerance). The result is
// never worse at 1 mm than `searched`; its startCost is the 1 mm cost of `searched`.
RefineResult precisionStage(const RefineLevels& withLevel, const TransformParams& searched,
                            const RefineOptions& opts);
// The same on the plain cost of two isotropic 1 mm volumes (as the pyramid has them, with
// the level's `stage`, which sets the bin count), the 2 mm pair half-sampled from them.
// Prepares and releases its own cost pairs: call it with none in force.
RefineResult precisionStage(const Volume& src1, const Volume& ref1, const TransformParams& searched,
                            const RefineOptions& opts);
