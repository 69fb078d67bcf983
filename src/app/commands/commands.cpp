#include "app/commands/commands.h"

#include <cstdio>
#include <cstring>

#ifndef TARVO_VERSION
#define TARVO_VERSION "unknown"
#endif

namespace {

const char* kOverview =
    "tarvo " TARVO_VERSION ": affine registration of 3D brain images (NIfTI-1, ANALYZE 7.5)\n"
    "by the correlation ratio, on an NVIDIA GPU when one is usable, else on all CPU cores.\n"
    "\n"
    "Everyday use:\n"
    "  tarvo register MOVING FIXED -o OUTPUT [options]   find the transform, resample MOVING\n"
    "                                                     onto FIXED, write the world matrix\n"
    "  tarvo apply MOVING FIXED MATRIX -o OUTPUT         resample through a world matrix\n"
    "  tarvo batch FIXED LIST --out-dir DIR [options]    register a list of images to FIXED,\n"
    "                                                     resumable, sharded over a cluster\n"
    "  tarvo report DIR                                   a batch's page (report.html) again\n"
    "  tarvo register --help (apply, batch, report)       all options\n"
    "\n"
    "Matrices are 4x4 text matrices mapping FIXED world coordinates to MOVING world\n"
    "coordinates, in the RAS millimetres of the NIfTI headers (sform, else qform, else the\n"
    "voxel grid scaled by the voxel sizes); --itk writes the same transform for ITK tools.\n"
    "\n"
    "The original command forms (-r, -tm, -tt, -i, -d, -c) are listed by 'tarvo' alone.\n";

}  // namespace

const char* tarvoVersion() { return TARVO_VERSION; }

bool isWorldCommand(const char* first) {
    return std::strcmp(first, "register") == 0 || std::strcmp(first, "apply") == 0 ||
           std::strcmp(first, "batch") == 0 || std::strcmp(first, "report") == 0 ||
           std::strcmp(first, "--help") == 0 || std::strcmp(first, "--version") == 0;
}

int runWorldCommand(int argc, char** argv) {
    const char* first = argv[1];
    if (std::strcmp(first, "register") == 0) return runRegisterCommand(argc - 1, argv + 1);
    if (std::strcmp(first, "apply") == 0) return runApplyCommand(argc - 1, argv + 1);
    if (std::strcmp(first, "batch") == 0) return runBatchCommand(argc - 1, argv + 1);
    if (std::strcmp(first, "report") == 0) return runReportCommand(argc - 1, argv + 1);
    if (argc != 2) {
        std::fprintf(stderr, "tarvo: error: %s takes no arguments\n", first);
        return 1;
    }
    if (std::strcmp(first, "--version") == 0)
        std::printf("tarvo %s\n", TARVO_VERSION);
    else
        std::fputs(kOverview, stdout);
    return 0;
}
