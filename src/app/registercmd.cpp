// tarvo register MOVING FIXED [-o OUTPUT] [--matrix FILE] [--itk FILE] [--dof N] [--init ...]
//                [--fixed-mask FILE] [--moving-mask FILE] [--qc FILE.png] [--threads N]
//                [--quiet | --verbose]
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/progress.h"
#include "app/worldcommands.h"
#include "app/worldcommon.h"
#include "app/worldfiles.h"
#include "device/device.h"
#include "registration/cost.h"
#include "registration/pipeline.h"
#include "registration/searchlog.h"
#include "volume/qcpicture.h"
#include "volume/resample.h"

namespace {

const char* kName = "register";

const char* kFooter =
    "Transform: the matrix maps FIXED world coordinates to MOVING world coordinates, in the\n"
    "RAS millimetres that the NIfTI headers define (sform when its code is above 0, else\n"
    "qform, else the voxel grid scaled by the voxel sizes); four lines of four numbers.\n"
    "--itk writes the same transform as an ITK AffineTransform_double_3_3 (LPS).\n"
    "\n"
    "Start (--init): header (default) takes rotation, axis order, flips and voxel sizes\n"
    "from the two headers and pairs the intensity centroids; centroid pairs the centroids\n"
    "of the voxel grids as they are; identity takes the headers' world coordinates as they\n"
    "are; FILE starts from a world matrix in the --matrix format. The search then runs\n"
    "relative to the start.\n"
    "\n"
    "Precision stage (default; --no-refine skips it): after the search, all free\n"
    "parameters move together to the optimum of the correlation ratio of MOVING given 256\n"
    "bins of FIXED's intensity, sampled with full-precision trilinear weights, at 2 mm and\n"
    "then on the 1 mm pair (to about 0.01 mm at the brain's edge). It never ends at a\n"
    "higher cost than the search's answer.\n"
    "\n"
    "Masks: --fixed-mask: only FIXED voxels where the mask is non-zero enter the cost.\n"
    "--moving-mask: only samples whose position in MOVING falls in a non-zero mask voxel\n"
    "count. The start then pairs the centroids of the parts inside the masks. Each mask\n"
    "must lie on the grid of its image (same counts, voxel sizes and orientation). On the\n"
    "coarser levels a mask is down-sampled like its image, and a level voxel counts as\n"
    "inside where at least half of it is.\n"
    "\n"
    "Output: on standard output, exactly\n"
    "  cost: C                     the final cost (correlation ratio - 1; -1 is perfect)\n"
    "  matrix:                     followed by the four lines of the world matrix\n"
    "  time: S s                   seconds for the whole command\n"
    "Progress goes to standard error when it is a terminal (never with --quiet);\n"
    "--verbose writes the search's per-level lines there in its place. On any error: one\n"
    "line on standard error, status 1, and no output file.\n";

struct Outputs {
    std::vector<std::string> written;
    // Nothing partial: on failure every file written so far goes again.
    void rollback() {
        for (const std::string& f : written) std::remove(f.c_str());
        written.clear();
    }
};

}  // namespace

int runRegisterCommand(int argc, char** argv) {
    const long long t0 = clockMs();
    CLI::App app{"Registers MOVING to FIXED: finds the affine transform that best aligns them by the\n"
                 "correlation ratio, writes it as a world matrix and, with -o, MOVING resampled onto\n"
                 "FIXED's grid.",
                 "tarvo register"};
    app.footer(kFooter);
    std::string moving, fixed, output, matrix, itk, qc, init = "header", fixedMask, movingMask,
                search = "wide";
    int dof = 12, threads = 0;
    bool quiet = false, verbose = false;
    app.add_option("MOVING", moving, "image to move (the source)")->required();
    app.add_option("FIXED", fixed, "image that stays (the reference); outputs lie on its grid")->required();
    app.add_option("-o,--output", output, "MOVING resampled onto FIXED's grid (trilinear)");
    app.add_option("--matrix", matrix,
                   "world matrix file; default with -o: OUTPUT without extension + _affine.txt; "
                   "required without -o");
    app.add_option("--itk", itk, "the transform also as an ITK text transform");
    app.add_option("--qc", qc, "a PNG picture to check the result: MOVING registered, FIXED's edges over it");
    app.add_option("--dof", dof, "degrees of freedom: 6 rigid, 7 one scale, 9 three scales, 12 affine")
        ->check(CLI::IsMember({6, 7, 9, 12}))
        ->default_str("12");
    app.add_option("--search", search,
                   "global search: wide (every orientation, any turn) or standard (turns up to "
                   "about 90 degrees per axis)")
        ->check(CLI::IsMember({"wide", "standard"}))
        ->default_str("wide");
    app.add_option("--init", init, "start: header, centroid, identity or a matrix FILE")->default_str("header");
    app.add_option("--fixed-mask", fixedMask, "only FIXED voxels inside this mask count");
    app.add_option("--moving-mask", movingMask, "only samples landing inside this mask count");
    app.add_option("--threads", threads, "threads of the CPU backend (not with a GPU)")->check(CLI::Range(1, 4096));
    bool noRefine = false;
    app.add_flag("--no-refine", noRefine, "skip the precision stage: the search's answer as it stands");
    auto* q = app.add_flag("--quiet", quiet, "no progress line");
    auto* v = app.add_flag("--verbose", verbose, "also the search's per-level lines on standard error");
    q->excludes(v);
    int status = 0;
    if (!parseCommand(app, argc, argv, kName, status)) return status;

    // Outputs: names settled and checked before any work.
    std::string error;
    if (output.empty() && matrix.empty()) {
        commandError(kName, "--matrix FILE is required without -o OUTPUT");
        return 1;
    }
    if (!output.empty() && matrix.empty()) matrix = withoutImageExtension(output) + "_affine.txt";
    std::vector<std::string> outs = {output, matrix, itk, qc};
    for (size_t i = 0; i < outs.size(); ++i) {
        if (outs[i].empty()) continue;
        if (!outputPossible(outs[i], error)) {
            commandError(kName, error);
            return 1;
        }
        for (const std::string& in : {moving, fixed, fixedMask, movingMask, init})
            if (outs[i] == in) {
                commandError(kName, "output '" + outs[i] + "' would overwrite an input");
                return 1;
            }
        for (size_t j = 0; j < i; ++j)
            if (outs[i] == outs[j]) {
                commandError(kName, "two outputs are both '" + outs[i] + "'");
                return 1;
            }
    }
    Start start;
    if (!parseStart(init, start, error)) {
        commandError(kName, error);
        return 1;
    }
    if (threads > 0) setenv("TARVO_THREADS", std::to_string(threads).c_str(), 1);
    if (threads > 0 && std::string(device().kind()) != "cpu") {
        commandError(kName, "--threads sets the CPU backend's threads, but a GPU does the work");
        return 1;
    }

    VolumePtr mov = loadInput(moving, error);
    VolumePtr fix = mov ? loadInput(fixed, error) : nullptr;
    if (!fix) {
        commandError(kName, error);
        return 1;
    }
    VolumePtr fixMask, movMask;
    if (!fixedMask.empty() && !(fixMask = loadMask(fixedMask, *fix, fixed, error))) {
        commandError(kName, error);
        return 1;
    }
    if (!movingMask.empty() && !(movMask = loadMask(movingMask, *mov, moving, error))) {
        commandError(kName, error);
        return 1;
    }
    if (fixMask) centroidInsideMask(*fix, *fixMask);
    if (movMask) centroidInsideMask(*mov, *movMask);

    // The search's own lines (--verbose) replace the progress line rather than cut into it.
    TerminalProgress progress(!quiet && !verbose && TerminalProgress::stderrIsTerminal(), t0);
    PipelineOptions opts;
    opts.dof = Dof(dof);
    opts.search = search == "standard" ? SearchKind::Standard : SearchKind::Wide;
    opts.start = start;
    opts.fixedMask = fixMask.get();
    opts.movingMask = movMask.get();
    opts.progress = &progress;
    opts.refine = !noRefine;
    PipelineResult res;
    {
        SearchLogTo log(verbose ? stderr : nullptr);
        res = runPipeline(*mov, *fix, opts);
    }
    if (!res.ran) {
        commandError(kName, "an image is too small to hold one voxel of 1 mm");
        return 1;
    }
    // What the files hold is what the output image is resampled with, so that apply on
    // the written matrix gives the same image.
    const Affine world = asWrittenInText(res.world);
    if (!world.finite() || !(std::fabs(world.determinant3()) > 1e-12)) {
        commandError(kName, "the registration gave a singular transform");
        return 1;
    }

    // The small text files first: when the image then cannot be written, they go again.
    Outputs written;
    if (!writeWorldMatrix(matrix, world, error)) {
        commandError(kName, error);
        return 1;
    }
    written.written.push_back(matrix);
    if (!itk.empty()) {
        if (!writeItkTransform(itk, world, error)) {
            written.rollback();
            commandError(kName, error);
            return 1;
        }
        written.written.push_back(itk);
    }
    if (!qc.empty() || !output.empty()) {
        VolumePtr out = resampleWorld(*mov, *fix, world, false);
        if (!qc.empty()) {
            if (!writeQcPicture(*fix, *out, qc.c_str(), error)) {
                written.rollback();
                commandError(kName, error);
                return 1;
            }
            written.written.push_back(qc);
        }
        if (!output.empty() && !saveOutput(*out, output, error)) {
            written.rollback();
            commandError(kName, error);
            return 1;
        }
    }

    std::printf("cost: %.6f\nmatrix:\n%stime: %.3f s\n", (double)res.cost, formatWorldMatrix(world).c_str(),
                (double)(clockMs() - t0) / 1000.0);
    return 0;
}
