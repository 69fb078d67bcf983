#pragma once
#include "device/device.h"

// The prepared source/reference pair of the correlation-ratio cost (one at a time on each
// thread, on the backend of its source).
// An unknown reference stage prints "\nError Stage!\n" and does nothing.
struct CostPairOptions;
void initCorrelationRatio(const Volume& src, const Volume& ref);
// The same with masks or exact weights (see CostPairOptions).
void initCorrelationRatio(const Volume& src, const Volume& ref, const CostPairOptions& opts);
void freeCorrelationRatio();
// Sizes the cost's working memory once for pairs up to these two volumes (the finest level
// of a registration), so that the levels before it set up without allocating.
void reserveCorrelationRatio(const Volume& src, const Volume& ref);
// The reference side alone, on ref's backend with the bin count of ref's stage (null and
// "\nError Stage!\n" for an unknown stage); reusable with any source on that backend.
ReferencePtr prepareReference(const Volume& ref, const Volume* refMask);
// The pair of src with a reference prepared from `ref` (opts.refMask is not used).
void initCorrelationRatio(const Volume& src, const Volume& ref, const ReferencePtr& reference,
                          const CostPairOptions& opts);
// The reverse half's weight in the cost taken both ways. It counts three times the forward
// half: it samples FIXED (usually the finer, cleaner image) at MOVING's voxels and bins
// MOVING, so a coarse, noisy or bias-shaded MOVING enters it only through its bins, and the
// edges of MOVING's field of view not at all. Weighed equally, an EPI slab whose shading
// ran along its slices was drawn 6 % too long (2.1 mm off); at three quarters every EPI of
// the hard cases came nearer the truth (median 0.90 -> 0.77 mm; bench/RESULTS.md).
inline constexpr float kReverseWeight = 0.75f;
// The cost taken both ways: beside the pair of src with `forward` (a reference prepared from
// ref), the reverse pair of ref as the source with `reverse`, a reference prepared from
// src (with a mask of src's own). Every matrix then gives the mean of the forward value and,
// weighed by kReverseWeight, the reverse pair's value at the inverse mapping (reverseCostMatrix). Ended by
// freeCorrelationRatio or by preparing another pair.
void initTwoWayCorrelationRatio(const Volume& src, const Volume& ref, const ReferencePtr& forward,
                                const CostPairOptions& forwardOpts, const ReferencePtr& reverse,
                                const CostPairOptions& reverseOpts, float reverseWeight = kReverseWeight);
// The weight of the reverse half in the two-way cost prepared on this thread (0: the
// forward half alone, which then costs no more than a one-way pair); nothing otherwise.
void setReverseWeight(float weight);
// The device matrix of the reverse pair (src: ref, reference: src) that maps as the inverse
// of `forward` (src's texture coordinate of each ref voxel); false, and `out` untouched,
// when the forward matrix has no inverse.
bool reverseCostMatrix(const float forward[16], const Volume& src, const Volume& ref, float out[16]);
// 1 - correlation ratio of src mapped through `matrix` (16 floats) against ref; 0.0 and
// "\nError Stage!\n" for an unknown stage.
void calcCorrelationRatio(const Volume& src, const Volume& ref, const float* matrix, float* result);
// n matrices at once; results[i] equals calcCorrelationRatio of matrix i.
void calcCorrelationRatioBatch(const Volume& src, const Volume& ref, const float* matrices, int n,
                               float* results);
