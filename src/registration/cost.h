#pragma once
#include "geometry/matrix.h"
#include "geometry/transform.h"
#include "volume/volume.h"

// Evaluations made so far and the seconds spent in them (never reset), by this thread: a
// batch runs several registrations at once, each on its own thread.
extern thread_local int globalCount;
extern thread_local float crTotalTime;

// Cost in [-1, 0]: the device value minus 1. Lower is better.
float matrixCost(const Volume& src, const Volume& ref, const Matrix& m);
float paramsCost(const Volume& src, const Volume& ref, const TransformParams& p);
// n parameter sets in one device call; counts n evaluations, times the call once.
void paramsCostBatch(const Volume& src, const Volume& ref, const TransformParams* p, int n,
                     float* costs);

// n device matrices (16 floats each) in one device call; counts n evaluations.
void matrixCostBatch(const Volume& src, const Volume& ref, const float* matrices, int n, float* costs);

// Counts n evaluations answered without the device (a cost already known): they count in
// globalCount and, so that rates stay rates of work done, in knownCostCount.
extern thread_local int knownCostCount;
void countKnownCosts(int n);

// Process clock in whole milliseconds.
long long clockMs();
