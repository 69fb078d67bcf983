#pragma once
// A volume as a 3D texture: a copy of its voxels in a 3D array, read in unnormalised
// coordinates (voxel i centred at i + 0.5) with clamping at the edges.
#include <cuda_runtime.h>

#include "device/scratch.h"
#include "device/device.h"

struct SourceTexture {
    cudaArray_t array = nullptr;
    cudaTextureObject_t tex = 0;
};

// Linear filtering for resampling and fine cost levels, point sampling for coarse ones.
// The ledger, when given, counts the array.
SourceTexture bindSourceTexture(const Volume& src, cudaTextureFilterMode filter,
                                scratch::Ledger* ledger = nullptr);
// A texture over a whole array, with the settings above.
cudaTextureObject_t textureOverArray(cudaArray_t array, cudaTextureFilterMode filter);
// Waits for the kernels that read the texture before releasing it.
void releaseSourceTexture(SourceTexture& t, scratch::Ledger* ledger = nullptr);
