#pragma once
#include "geometry/matrix.h"

// Twelve affine parameters in the fixed order of files, printouts and search indices:
// rotation x,y,z (degrees), translation x,y,z (mm), scale x,y,z, skew x,y,z.
struct TransformParams {
    float v[12] = {0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0};

    float& operator[](int i) { return v[i]; }
    float operator[](int i) const { return v[i]; }
    float* rotation() { return v; }
    float* translation() { return v + 3; }
    float* scale() { return v + 6; }
    float* skew() { return v + 9; }
    const float* rotation() const { return v; }
    const float* translation() const { return v + 3; }
    const float* scale() const { return v + 6; }
    const float* skew() const { return v + 9; }
};

void printParams(const TransformParams& p, float value);

// out = T * R * K * S. Translations are divided by the voxel sizes passed.
// Re-entrant and allocation-free: the factor matrices live on the stack.
void composeAffine(const TransformParams& p, Matrix& out, float vx, float vy, float vz);

// Trilinear carry of the 7x7x7 coarse records (4 floats each) onto the
// 21x21x21 fine lattice (20 per axis written); the 4th float of each fine
// record is fill.
void refineGrid(const float* coarse, float* fine, float fill);
