#pragma once
#include "volume/volume.h"

// The prepared source/reference pair of the correlation-ratio cost (one at a time).
// An unknown reference stage prints "\nError Stage!\n" and does nothing.
struct CostPairOptions;
void initCorrelationRatio(const Volume& src, const Volume& ref);
// The same with masks or exact weights (see CostPairOptions).
void initCorrelationRatio(const Volume& src, const Volume& ref, const CostPairOptions& opts);
void freeCorrelationRatio();
// Sizes the cost's working memory once for pairs up to these two volumes (the finest level
// of a registration), so that the levels before it set up without allocating.
void reserveCorrelationRatio(const Volume& src, const Volume& ref);
// 1 - correlation ratio of src mapped through `matrix` (16 floats) against ref; 0.0 and
// "\nError Stage!\n" for an unknown stage.
void calcCorrelationRatio(const Volume& src, const Volume& ref, const float* matrix, float* result);
// n matrices at once; results[i] equals calcCorrelationRatio of matrix i.
void calcCorrelationRatioBatch(const Volume& src, const Volume& ref, const float* matrices, int n,
                               float* results);
