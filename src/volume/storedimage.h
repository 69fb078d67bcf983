#pragma once
#include "volume/volume.h"

class Device;

// Image files of the original commands (-r, -tm, -tt, -i, -d, -c): NIfTI-1 .nii/.nii.gz/
// .hdr+.img and gzipped pairs, ANALYZE 7.5, through nifticlib's niftiio. The raw stored
// values, no slope/intercept (the new commands load physical values: physicalimage.h);
// the first 3D volume only.

// Reads the image (the name with or without its extension, found as niftiio finds it),
// maps datatype 4 and 16 onto [0, 255] with maxValue/minValue keeping the file's range (a
// file of one value loads as zeros with maxValue = minValue = that value), computes the
// intensity centroid of the voxels above 1.0 (the centre of the grid when there are none),
// keeps the file's orientation (sform, else qform) and uploads the voxels in one transfer.
// Everything is checked before anything is allocated for it. On failure prints one line on
// standard output and returns null: "Error: File '%s' not exist!\n", "Error: Unrecognized
// datatype!\n", or a line of ours naming the file for headers, sizes or data that cannot
// be used.
// The volume lives on `dev` (the chosen backend when null); nothing touches a backend
// before the file has been read.
VolumePtr loadVolume(const char* path, Device* dev = nullptr);

// Downloads in one transfer, converts back to the volume's datatype and range, and writes
// one volume (format by extension, else by FSLOUTPUTTYPE) with the volume's orientation, or
// the fixed matrix under code 4 when it has none. On failure prints one line naming the
// file on standard output, leaves no partial file and returns false.
bool saveVolume(const Volume& v, const char* path);

// FSLOUTPUTTYPE: unset or empty -> NIFTI_GZ; one of NIFTI, NIFTI_GZ, NIFTI_PAIR,
// NIFTI_PAIR_GZ, ANALYZE, ANALYZE_GZ -> valid. Anything else: prints a one-line error on
// standard output and returns false.
bool checkOutputType();
