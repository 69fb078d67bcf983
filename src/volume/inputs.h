#pragma once
// The images of the new commands (register, apply, batch) and of the Python package:
// loading and saving them, their masks, and checks on output names before any work is done.
#include <string>

#include "volume/volume.h"

class Device;

// An input image (on `dev`, else the chosen backend); null with `error` set when it
// cannot be used.
VolumePtr loadInput(const std::string& path, std::string& error, Device* dev = nullptr);
// The image written through a temporary name (nothing is left behind on failure).
bool saveOutput(const Volume& v, const std::string& path, std::string& error);

// The name without a recognised image extension (.nii, .nii.gz, .hdr, .img and gzipped).
std::string withoutImageExtension(const std::string& path);
// False (with `error`) when a file cannot be created under this name: its folder is
// missing or not writable, or the name is a folder.
bool outputPossible(const std::string& path, std::string& error);

// Whether two volumes lie on one grid: counts, voxel sizes and orientation.
bool sameGrid(const Volume& a, const Volume& b);

// A 0/1 volume on the device of `like`: 1 where the mask image is non-zero.
// Null with `error` when the mask file cannot be used or lies on another grid.
VolumePtr loadMask(const std::string& path, const Volume& like, const std::string& imageName,
                   std::string& error);

// The intensity centroid of `image` over the voxels inside the 0/1 `mask` (same grid), as
// the loader computes it over the whole image: what the start pairs when a mask says
// which part of the image matters. Left as it is when no voxel inside is above 1.
void centroidInsideMask(Volume& image, const Volume& mask);

// loadMask for a mask already loaded (`m`, named `maskName` in messages): made 0/1 in place.
VolumePtr maskOnGrid(VolumePtr m, const Volume& like, const std::string& maskName, const std::string& imageName,
                     std::string& error);
