// tarvo apply MOVING FIXED MATRIX -o OUTPUT [--interp linear|nearest]
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "app/commands/cli.h"
#include "app/commands/commands.h"
#include "device/device.h"
#include "volume/inputs.h"
#include "volume/resample.h"
#include "volume/transformfiles.h"

int runApplyCommand(int argc, char** argv) {
    const char* kName = "apply";
    CLI::App app{"Resamples MOVING onto FIXED's grid through a world matrix (the text matrix that\n"
                 "tarvo register writes, or an ITK affine text transform).",
                 "tarvo apply"};
    app.footer(
        "MATRIX maps FIXED world coordinates to MOVING world coordinates in RAS millimetres\n"
        "(sform, else qform, else the voxel grid scaled by the voxel sizes): four lines of four\n"
        "numbers, or an ITK text transform (AffineTransform_double_3_3, LPS). Voxels whose\n"
        "position falls outside MOVING are 0. On any error: one line on standard error,\n"
        "status 1, and no output file.\n");
    std::string moving, fixed, matrix, output, interp = "linear";
    app.add_option("MOVING", moving, "image to resample")->required();
    app.add_option("FIXED", fixed, "image whose grid the output takes")->required();
    app.add_option("MATRIX", matrix, "world matrix file")->required();
    app.add_option("-o,--output", output, "output image")->required();
    app.add_option("--interp", interp, "trilinear (linear, default) or nearest voxel (nearest, for labels)")
        ->check(CLI::IsMember({"linear", "nearest"}))
        ->default_str("linear");
    int status = 0;
    if (!parseCommand(app, argc, argv, kName, status)) return status;
    std::string error;
    Affine world;
    std::vector<std::string> inputs = inputImageFiles(moving), fixedFiles = inputImageFiles(fixed);
    inputs.insert(inputs.end(), fixedFiles.begin(), fixedFiles.end());
    inputs.push_back(matrix);
    if (!imageOutputName(output, error) || !outputPossible(output, error) ||
        !outputsApart(outputImageFiles(output), inputs, error) || !chosenDevice(error) ||
        !readWorldMatrix(matrix, world, error)) {
        commandError(kName, error);
        return 1;
    }
    VolumePtr mov, fix;
    if (!loadInputs(moving, fixed, mov, fix, error)) {
        commandError(kName, error);
        return 1;
    }
    VolumePtr out = resampleWorld(*mov, *fix, world, interp == "nearest");
    if (!saveOutput(*out, output, error)) {
        commandError(kName, error);
        return 1;
    }
    return 0;
}
