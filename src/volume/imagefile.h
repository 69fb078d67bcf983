#pragma once
#include "volume/volume.h"

// Image files (NIfTI-1 .nii/.nii.gz/.hdr+.img and gzipped pairs, ANALYZE 7.5) through
// nifticlib. Raw stored values, no slope/intercept; the first 3D volume only.

// Reads the image, normalises datatype 4 and 16 to [0, 255], computes the centroid and
// uploads the voxels. On failure prints one line naming the file on standard output and
// returns null ("Error: File '%s' not exist!\n", "Error: Unrecognized datatype!\n", or a
// message of ours for corrupt or unusable files).
// The volume lives on `dev` (the chosen backend when null).
VolumePtr loadVolume(const char* path, Device* dev = nullptr);

// Downloads, converts back to the volume's datatype and range, writes the file (format by
// extension, else by FSLOUTPUTTYPE). On failure prints one line naming the file on standard
// output, leaves no partial file and returns false.
bool saveVolume(const Volume& v, const char* path);

// FSLOUTPUTTYPE: unset -> NIFTI_GZ; one of NIFTI, NIFTI_GZ, NIFTI_PAIR, NIFTI_PAIR_GZ,
// ANALYZE, ANALYZE_GZ -> valid. Anything else: prints a one-line error and returns false.
bool checkOutputType();
