#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/classic/drivers.h"
#include "app/classic/usage.h"
#include "app/commands/commands.h"

namespace {

[[noreturn]] void usageExit(bool transformHelp = false) {
    printUsage();
    if (transformHelp) printTransformFileHelp();
    std::fflush(stdout);
    std::exit(1);
}

// atof semantics (text that is not a number is 0.0), narrowed to float. A size that is
// not a finite number above 0 cannot make a grid: usage error, before any file is read.
float voxelSize(const char* text) {
    float v = (float)std::atof(text);
    if (!(std::isfinite(v) && v > 0.0f)) usageExit();
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usageExit();
    const char* opt = argv[1];
    if (isWorldCommand(opt)) {
        const int worldStatus = runWorldCommand(argc, argv);
        std::fflush(stdout);
        return worldStatus;
    }
    int status;
    if (std::strcmp(opt, "-r") == 0) {
        if (argc != 6) usageExit();
        status = runRegistration(argv[2], argv[3], argv[5]);
    } else if (std::strcmp(opt, "-tm") == 0) {
        if (argc != 6) usageExit();
        status = runMatrixTransform(argv[2], argv[3], argv[5]);
    } else if (std::strcmp(opt, "-tt") == 0) {
        if (argc != 6) usageExit(true);
        status = runParamTransform(argv[2], argv[3], argv[5]);
    } else if (std::strcmp(opt, "-i") == 0) {
        if (argc != 8) usageExit();
        float dx = voxelSize(argv[3]), dy = voxelSize(argv[4]), dz = voxelSize(argv[5]);
        status = runIsotropicResample(argv[2], dx, dy, dz, argv[7]);
    } else if (std::strcmp(opt, "-d") == 0) {
        if (argc != 5) usageExit();
        status = runHalfSample(argv[2], argv[4]);
    } else if (std::strcmp(opt, "-c") == 0) {
        if (argc != 4) usageExit();
        status = runCorrelationRatio(argv[2], argv[3]);
    } else {
        usageExit();
    }
    std::fflush(stdout);
    return status;
}
