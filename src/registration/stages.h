#pragma once
// The stages of the standard multi-resolution search on a prepared level, driven by any
// evaluator: 33 perturbed starts at 4 mm, 7, 9 and 12 free parameters at 2 mm, 12 at 1 mm
// (the global search at 8 mm before them: global.h).
#include "geometry/transform.h"
#include "registration/dof.h"
#include "registration/search.h"

// 4 mm: eleven starts around each candidate, the lowest cost wins (earliest on ties).
// Steps on parameters that `dof` fixes are left out (and so are the scale starts when no
// scale is free); with all twelve free every stage is the one of the multi-resolution search.
float stage4mm(Evaluator& ev, const TransformParams candidates[3], TransformParams& bestParams,
               const Dof& dof = Dof());
// The winner rule of the 4 mm stage over n slots; leaves the winner in slot 0 and
// returns its cost.
float selectBestStart(TransformParams* slots, float* costs, int n);
// 2 mm: 7, then 9, then 12 free parameters. Without `commonScale` the 7 are left out where
// the scales are free one by one: for a start whose scales were fitted one by one already,
// which that sweep's common scale would set equal again.
void stage2mm(Evaluator& ev, TransformParams& bestParams, const Dof& dof = Dof(), bool commonScale = true);
// 1 mm: 12 free parameters; `result` takes them only when their cost is below zero.
float stage1mm(Evaluator& ev, TransformParams& bestParams, TransformParams& result,
               const Dof& dof = Dof());
