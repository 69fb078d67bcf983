#pragma once
// World coordinates: RAS millimetres as NIfTI headers define them, in double precision.
// Every conversion between voxel indices, RAS and LPS goes through these types, so that
// the text matrices, the ITK transforms, the registration start and the resampling of
// the world-space commands agree on one convention.

// Where a voxel grid lies in the world as its file states it: voxel index (i, j, k, 1) ->
// mm. code 0 means the file had no usable orientation.
struct Orientation {
    int code = 0;
    float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

// A 4x4 affine acting on column vectors (x, y, z, 1); row r, column c is a[r][c].
struct Affine {
    double a[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

    static Affine identity() { return Affine{}; }
    static Affine diagonal(double x, double y, double z);
    static Affine translation(double x, double y, double z);

    Affine operator*(const Affine& o) const;
    // Inverse of the upper 3x4 part (the last row is taken as 0 0 0 1).
    Affine inverse() const;
    double determinant3() const;  // of the upper-left 3x3 block
    bool finite() const;
    // A point through the matrix.
    void apply(const double in[3], double out[3]) const;
};

// RAS <-> LPS (ITK's physical space): the same matrix conjugated by diag(-1, -1, 1).
Affine rasToLps(const Affine& ras);
inline Affine lpsToRas(const Affine& lps) { return rasToLps(lps); }

// Where a voxel grid lies: voxel index (i, j, k) -> RAS mm. The orientation of the file
// (sform when its code is above 0, else qform, as the loader chose it), or without one the
// grid scaled by its voxel sizes.
struct WorldGrid {
    Affine voxelToWorld;

    static WorldGrid of(const Orientation& o, float dx, float dy, float dz);
    Affine worldToVoxel() const { return voxelToWorld.inverse(); }

    // The grid of a resampled copy whose voxel i was sampled at texture coordinate
    // (i * r) of this grid, which is voxel index i * r - 0.5 (the isotropic resampling
    // with ratios r, and half-sampling with r = 2).
    WorldGrid resampled(double rx, double ry, double rz) const;
};
