#pragma once
// Images that are already in memory (a Python array with its affine, say) made into the
// same record the file loaders give, so that a registration of an array and of the file
// it came from see the same voxels, bit for bit.
#include <cstdint>
#include <string>

#include "volume/volume.h"

class Device;

// A 3D block of stored values: element (i, j, k) at data + i*stride[0] + j*stride[1] +
// k*stride[2] bytes, of the NIfTI datatype given (uint8, int8, int16, uint16, int32, uint32,
// int64, uint64, float32, float64). Any strides: C order, Fortran order or a view.
struct ArrayImage {
    const void* data = nullptr;
    int datatype = 0;
    int64_t shape[3] = {0, 0, 0};
    int64_t stride[3] = {0, 0, 0};  // bytes
    // Values = stored * slope + inter, as a file's scl_slope/scl_inter; slope 0: as stored.
    float slope = 0.0f, inter = 0.0f;
    float dx = 1, dy = 1, dz = 1;
    Orientation orient;  // code 0: none (world = the grid scaled by the voxel sizes)
};

// Converts in one pass into the backend's staging buffer, then normalises exactly as
// loadImage does (an unscaled uint8 image keeps its values); slope and intercept are kept
// as a file's would be. Values that are not finite
// become 0 (background, as the command line takes them) and are counted in `nonFinite`. Null with `error` (one
// line, no prefix) for an unusable datatype, shape, voxel size, or no finite value.
VolumePtr volumeFromArray(const ArrayImage& a, Device* dev, std::string& error, size_t& nonFinite);
