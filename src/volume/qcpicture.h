#pragma once
// A picture to check a registration by eye: the registered moving image in three planes
// through the fixed image's head, with the fixed image's edges drawn over it. Where the
// registration is right the red lines run along the moving image's boundaries; where it
// is wrong they visibly cut across them.
#include <cstdint>
#include <string>
#include <vector>

#include "volume/volume.h"

class StagedFiles;

// What a picture says of itself: lines of UTF-8 text ('\n' between them) drawn in a strip
// under the planes, broken where a line is wider than the picture, and stored whole in the
// PNG as its Description text (tEXt where it is Latin-1, else iTXt), for tools to read.
// `warn` draws them in orange: the result is suspect. Empty text: no strip, no text.
struct QcCaption {
    std::string text;
    bool warn = false;
};

// An RGB picture, 8 bits a channel, rows top to bottom.
struct RgbPicture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3
    // Where the sagittal, coronal and axial planes lie in the picture, in pixels.
    struct Rect {
        int left = 0, top = 0, width = 0, height = 0;
    } planes[3];
};

// Lays out sagittal | coronal | axial planes through the fixed image's intensity centroid,
// each with anterior/superior/left-right as a neuroimager expects: superior up in the
// sagittal and coronal planes, anterior up in the axial plane, anterior to the right in
// the sagittal plane, and the subject's left on the picture's left in the coronal and
// axial planes (neurological convention; an L and an R mark the sides). The grid's axes
// are matched to the nearest world axes of its orientation (an oblique grid is shown along
// its own voxel planes); a grid without orientation is taken as i to the right, j forward,
// k up. Pixels are square millimetres. The moving image is shown in grey between its 1st
// and 99.5th percentiles, so a few hot voxels cannot wash it out.
// `fixed` and `moving` are host copies of two volumes on the same grid (x*y*z values each,
// storage order), `grid` gives that grid's counts, voxel sizes, orientation and centroid.
// With a caption the strip lies below the planes (`planes` are unchanged by it).
RgbPicture renderQcPicture(const Volume& grid, const std::vector<float>& fixed, const std::vector<float>& moving,
                           const QcCaption& caption = {});

// Downloads both volumes (the registered moving image must lie on the fixed image's grid)
// through their backends, renders them, and writes a PNG through a temporary file renamed
// into place. False with `error` one line naming the file (no prefix, no newline) when the
// grids differ or the file cannot be written; nothing is left behind then.
bool writeQcPicture(const Volume& fixed, const Volume& registered, const char* path, std::string& error,
                    StagedFiles* staged = nullptr, const QcCaption& caption = {});

// Writes an RGB picture as a PNG, temporary file then rename, with `description` as its
// Description text where not empty. Shared by the above and kept apart so that a test can
// write a known picture.
bool writePng(const RgbPicture& picture, const char* path, std::string& error, StagedFiles* staged = nullptr,
              const std::string& description = "");
