#pragma once
// A volume as a 3D texture: a copy of its voxels in a 3D array, read in unnormalised
// coordinates (voxel i centred at i + 0.5) with clamping at the edges.
#include <cuda_runtime.h>

#include "volume/volume.h"

struct SourceTexture {
    cudaArray_t array = nullptr;
    cudaTextureObject_t tex = 0;
};

// Linear filtering for resampling and fine cost levels, point sampling for coarse ones.
SourceTexture bindSourceTexture(const Volume& src, cudaTextureFilterMode filter);
// Waits for the kernels that read the texture before releasing it.
void releaseSourceTexture(SourceTexture& t);
