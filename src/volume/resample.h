#pragma once
#include "geometry/matrix.h"
#include "geometry/transform.h"
#include "geometry/world.h"
#include "volume/volume.h"

// New volume of counts trunc(x / (nx/dx)) ... with voxel sizes (nx, ny, nz); null (after a
// message naming nothing but the sizes) when an axis would have no voxels or too many.
VolumePtr isotropicResample(const Volume& in, float nx, float ny, float nz);
// Whether isotropicResample(in, s, s, s) makes a grid: at least one voxel along each axis
// and at most kMaxVoxels (the same arithmetic, so that a caller can ask first rather than
// let it report on standard output).
bool resamplesTo(const Volume& in, float size);
// A copy on the same backend: the same voxels, geometry and intensity bookkeeping.
VolumePtr copyVolume(const Volume& in);
// Smoothed, half resolution: (n + 1) / 2 voxels per axis, twice the voxel sizes.
VolumePtr halfSample(const Volume& in);
// Source resampled into the reference grid through m (reference -> source, about the
// centres, reference voxel units).
VolumePtr transformVolume(const Volume& src, const Volume& ref, const Matrix& m);
// The moving image on the fixed image's grid through a world matrix (FIXED RAS mm ->
// MOVING RAS mm): trilinear, or the nearest voxel; zero outside the moving grid. The
// result has the fixed grid's geometry and orientation and the moving image's intensity
// bookkeeping.
VolumePtr resampleWorld(const Volume& moving, const Volume& fixed, const Affine& world, bool nearest);
