// qcpng FIXED IMAGE OUT.png: the check picture of `register --qc` for an image that already
// lies on FIXED's grid (the output of -r, -tm or apply), to look at any result by eye.
#include <cstdio>
#include <string>

#include "volume/physicalimage.h"
#include "volume/qcpicture.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: qcpng FIXED IMAGE_ON_FIXED_GRID OUT.png\n");
        return 1;
    }
    std::string error;
    VolumePtr fixed = loadImage(argv[1], error);
    VolumePtr image = fixed ? loadImage(argv[2], error) : nullptr;
    if (!image || !writeQcPicture(*fixed, *image, argv[3], error)) {
        std::fprintf(stderr, "qcpng: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
