#pragma once
// Image files for the world-space commands (register, apply). The six original commands
// keep loadVolume/saveVolume with their three datatypes and their messages; this layer
// accepts what converters and Python tools actually write, and keeps the values' physical
// meaning from input to output. Nothing here prints on standard output or ends the
// process: a batch must be able to report each subject's problem and carry on.
#include <string>
#include <vector>

#include "volume/volume.h"

class Device;
class StagedFiles;

struct LoadOptions {
    Device* device = nullptr;  // the backend to hold the voxels; the chosen one when null
    // Warnings about a file that is still used (several volumes, values that are not
    // finite numbers). Null: each one is written as one line on standard error. A batch
    // collects them to report them with its subject.
    std::vector<std::string>* warnings = nullptr;
};

// Writes warnings collected through LoadOptions::warnings as they would have been written.
void printLoadWarnings(const std::vector<std::string>& warnings);

// Reads any single-channel numeric NIfTI-1 / ANALYZE 7.5 image: uint8, int8, int16,
// uint16, int32, uint32, int64, uint64, float32, float64, stored values mapped through
// scl_slope/scl_inter (a slope of 0, or one that is not a finite number, means none).
// A file with more than one 3D volume (any count beyond the third dimension above 1)
// gives its first volume and one warning. Values that are not finite numbers (stored NaN
// and Inf, and values that become infinite only on the way to single precision: float64
// or scaled values beyond it) are background, 0, with one warning that counts them. A file
// with no finite value at all is an error.
//
// The result is the same record loadVolume gives, so the registration uses it unchanged:
// floats normalised onto [0, 255] (the smallest physical value to 0, the largest to 255),
// minValue/maxValue the physical extremes, the intensity centroid, the file's orientation,
// voxel sizes, datatype, and sclSlope/sclInter as the file had them. An unscaled uint8
// image keeps its values as they are (minValue 0, maxValue 255), as loadVolume does, so
// that the two loaders give the same voxels for the same byte image.
//
// On failure returns null and sets `error` to one line naming the file, without a prefix
// or a newline (the caller words the frame): missing, not an image, truncated, too large,
// an unusable voxel size, a datatype that is not a single numeric channel (RGB, complex,
// binary, 128-bit float), or no finite value at all.
VolumePtr loadImage(const char* path, std::string& error, const LoadOptions& options = {});

// Writes a volume that carries the intensities of an image read by loadImage (a resampled
// moving image, say) in that image's physical values: its datatype with its own
// scl_slope/scl_inter, integer values rounded to the nearest stored value. Where those
// cannot represent the values within half a stored step (values beyond the type's range,
// an ANALYZE 7.5 output, which has no slope and only uint8/int16/int32/float32/float64),
// it writes float32 physical values instead. The orientation is the volume's own (the grid
// it lies on); a grid without one is written without one, so that world coordinates stay
// the voxel grid scaled by the voxel sizes, exactly as for the image it came from.
// Volumes from loadVolume work too (no scaling; a uint8 one keeps its values).
// One volume; format by extension, else FSLOUTPUTTYPE; a temporary file renamed into
// place, so a failure leaves nothing. On failure returns false with `error` one line
// naming the file. `writtenDatatype`, when given, receives the NIfTI code written.
// With `staged`, the files wait under their temporary names for the set's commit.
bool saveImagePhysical(const Volume& v, const char* path, std::string& error, int* writtenDatatype = nullptr,
                       StagedFiles* staged = nullptr);

// The physical value of each voxel of a loaded or derived volume (normalised value back
// through minValue/maxValue), in storage order, downloaded from the volume's backend.
// What a picture or a comparison wants; the same mapping saveImagePhysical writes. Values
// within the mapping's rounding of 0 are 0 (background stays exactly 0).
std::vector<float> physicalValues(const Volume& v);
