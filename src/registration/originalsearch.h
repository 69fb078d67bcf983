#pragma once
// The registration of the original -r command: the standard multi-resolution search (global
// search at 8 mm, 33 perturbed starts at 4 mm, 7, 9 and 12 free parameters at 2 mm, 12 at
// 1 mm) from the paired centroids of the voxel grids, without the precision stage.
#include "geometry/transform.h"
#include "volume/volume.h"

// The best 12 parameters mapping src onto ref (any voxel sizes), or the identity when
// the final cost is not below zero. Progress and timing lines go to standard output.
TransformParams& registerVolumes(TransformParams& result, const Volume& src, const Volume& ref);
