#pragma once
// The images of the new commands (register, apply, batch) and of the Python package:
// loading and saving them, their masks, and checks on output names before any work is done.
#include <string>
#include <vector>

#include "volume/volume.h"

class Device;
class StagedFiles;

// An input image (on `dev`, else the chosen backend); null with `error` set when it
// cannot be used.
VolumePtr loadInput(const std::string& path, std::string& error, Device* dev = nullptr);
// Two input images read at once (decompressing one is a core's work), with the messages
// of reading `first` and then `second`: both null unless both can be used.
bool loadInputs(const std::string& first, const std::string& second, VolumePtr& a, VolumePtr& b,
                std::string& error);
// The image written through a temporary name (nothing is left behind on failure).
bool saveOutput(const Volume& v, const std::string& path, std::string& error, StagedFiles* staged = nullptr);

// The name without a recognised image extension (.nii, .nii.gz, .hdr, .img and gzipped).
std::string withoutImageExtension(const std::string& path);
// False (with `error`) when a file cannot be created under this name: its folder is
// missing or not writable, or the name is a folder.
bool outputPossible(const std::string& path, std::string& error);

// The files an image name stands for. As an input: those the reader opens (the header
// and, for a pair, the data file; the name itself when nothing is found there). As an
// output: those a writer makes, after the extension FSLOUTPUTTYPE adds to a name without
// one.
std::vector<std::string> inputImageFiles(const std::string& name);
std::vector<std::string> outputImageFiles(const std::string& name);

// Whether two names are one file: the same file on disk when both exist (through links
// and other spellings of the path too), else the same absolute path.
bool sameFile(const std::string& a, const std::string& b);

// The files a command will write, each checked against the files it reads and against the
// others, by what they are on disk. False with `error` ("output 'X' would overwrite an
// input", "two outputs are both 'X'") at the first clash.
bool outputsApart(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs,
                  std::string& error);

// Names that say a file of another kind. An image output may not end in a picture or
// document extension (.png, .jpg, .jpeg, .tif, .tiff, .gif, .txt), which would otherwise
// get an image extension appended; a picture output must end in .png, the one format
// written. False with `error`.
bool imageOutputName(const std::string& path, std::string& error);
bool pictureOutputName(const std::string& path, std::string& error);

// Whether two volumes lie on one grid: counts, voxel sizes and orientation.
bool sameGrid(const Volume& a, const Volume& b);

// A 0/1 volume on the device of `like`: 1 where the mask image is non-zero.
// Null with `error` when the mask file cannot be used, lies on another grid, or has fewer
// than kMinMaskVoxels voxels inside.
VolumePtr loadMask(const std::string& path, const Volume& like, const std::string& imageName,
                   std::string& error);

// The intensity centroid of `image` over the voxels inside the 0/1 `mask` (same grid), as
// the loader computes it over the whole image: what the start pairs when a mask says
// which part of the image matters. Left as it is when no voxel inside is above 1.
void centroidInsideMask(Volume& image, const Volume& mask);

// The fewest voxels a mask may leave inside for a registration: a 10 mm cube of 1 mm
// voxels. Fewer cannot pin twelve parameters down, and such a mask is almost always the
// wrong file.
constexpr size_t kMinMaskVoxels = 1000;

// Whether an image can be registered: large enough to hold one voxel of 1 mm along each
// axis (and not so large that its 1 mm grid has too many), not constant (all zero, or all one value after
// NaN and infinities became 0), inside its 0/1 `mask` (same grid) when there is one.
// False with `error` one line naming `imageName`.
bool registrable(const Volume& image, const Volume* mask, const std::string& imageName, std::string& error);

// loadMask for a mask already loaded (`m`, named `maskName` in messages): made 0/1 in place.
VolumePtr maskOnGrid(VolumePtr m, const Volume& like, const std::string& maskName, const std::string& imageName,
                     std::string& error);
