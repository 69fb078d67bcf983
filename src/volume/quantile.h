#pragma once
// Order statistics of voxel values, for choices that need no more than a robust level
// (display windows, what counts as bright).
#include <vector>

// The q-quantile (0..1) of at most about a million evenly spaced values of v (not empty).
float quantile(const std::vector<float>& v, double q);
