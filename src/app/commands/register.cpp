// tarvo register MOVING FIXED [-o OUTPUT] [--matrix FILE] [--itk FILE] [--dof N] [--init ...]
//                [--fixed-mask FILE] [--moving-mask FILE] [--qc FILE.png] [--threads N]
//                [--suspect-status N] [--quiet | --verbose]
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "app/commands/cli.h"
#include "app/commands/commands.h"
#include "app/commands/progress.h"
#include "app/commands/qccaption.h"
#include "app/commands/registrationoptions.h"
#include "device/stagetimer.h"
#include "registration/cost.h"
#include "registration/options.h"
#include "registration/outputs.h"
#include "registration/pipeline.h"
#include "registration/searchlog.h"
#include "registration/verdict.h"
#include "volume/inputs.h"
#include "volume/transformfiles.h"

namespace {

const char* kName = "register";

const char* kFooterTransform =
    "Transform: the matrix maps FIXED world coordinates to MOVING world coordinates, in the\n"
    "RAS millimetres that the NIfTI headers define (sform when its code is above 0, else\n"
    "qform, else the voxel grid scaled by the voxel sizes); four lines of four numbers.\n"
    "--itk writes the same transform as an ITK AffineTransform_double_3_3 (LPS).\n"
;

const char* kFooterOutput =
    "Output: on standard output, exactly\n"
    "  cost: C                     the final cost (correlation ratio - 1, both ways\n"
    "                              weighed 1:3 unless --one-way; -1 is perfect)\n"
    "  matrix:                     followed by the four lines of the world matrix\n"
    "  time: S s                   seconds for the whole command\n"
    "  overlap: F M                share of FIXED's foreground inside MOVING's field of view,\n"
    "                              and of MOVING's inside FIXED's (0 to 1)\n"
    "  turn: D                     degrees the result turns from the start\n"
    "  verdict: ok                 or 'verdict: suspect: REASON' (see Verdict), with one\n"
    "                              warning on standard error (none with --quiet)\n"
    "Progress goes to standard error when it is a terminal (never with --quiet): the share\n"
    "of the work done, the level, the seconds so far and an estimate of the time left;\n"
    "--verbose writes the search's per-level lines there in its place. On any error: one\n"
    "line on standard error, status 1, no new output file, and the files of an earlier run\n"
    "under the same names as they were. An image with nothing to register (constant, or\n"
    "constant inside its mask) is an error; voxels that are not finite numbers are 0.\n";

}  // namespace

int runRegisterCommand(int argc, char** argv) {
    const long long t0 = clockMs();
    CLI::App app{"Registers MOVING to FIXED: finds the affine transform that best aligns them by the\n"
                 "correlation ratio, writes it as a world matrix and, with -o, MOVING resampled onto\n"
                 "FIXED's grid.",
                 "tarvo register"};
    app.footer(std::string(kFooterTransform) + "\n" + kRegistrationOptionsHelp + "\n" + kVerdictHelp + "\n" +
               kFooterOutput);
    std::string moving, fixed, output, matrix, itk, qc;
    RegistrationOptions ro;
    app.add_option("MOVING", moving, "image to move (the source)")->required();
    app.add_option("FIXED", fixed, "image that stays (the reference); outputs lie on its grid")->required();
    app.add_option("-o,--output", output, "MOVING resampled onto FIXED's grid (trilinear)");
    app.add_option("--matrix", matrix,
                   "world matrix file; default with -o: OUTPUT without extension + _affine.txt; "
                   "required without -o");
    app.add_option("--itk", itk, "the transform also as an ITK text transform");
    app.add_option("--qc", qc, "a PNG picture to check the result: MOVING registered, FIXED's edges over it, a caption "
                   "(names, cost, verdict, dof, version) also stored as its Description text");
    addRegistrationOptions(app, ro);
    int suspectStatus = 0;
    addSuspectStatus(app, suspectStatus);
    int status = 0;
    if (!parseCommand(app, argc, argv, kName, status)) return status;

    // Outputs: names settled and checked before any work.
    std::string error;
    if (output.empty() && matrix.empty()) {
        commandError(kName, "--matrix FILE is required without -o OUTPUT");
        return 1;
    }
    if (!output.empty() && matrix.empty()) matrix = withoutImageExtension(output) + "_affine.txt";
    if ((!output.empty() && !imageOutputName(output, error)) || (!qc.empty() && !pictureOutputName(qc, error))) {
        commandError(kName, error);
        return 1;
    }
    for (const std::string* out : {&output, &matrix, &itk, &qc})
        if (!out->empty() && !outputPossible(*out, error)) {
            commandError(kName, error);
            return 1;
        }
    if (!outputsApart(registrationOutputs(output, matrix, itk, qc), registrationInputs(moving, fixed, ro), error)) {
        commandError(kName, error);
        return 1;
    }
    Start start;
    if (!settleRegistrationOptions(ro, start, error)) {
        commandError(kName, error);
        return 1;
    }

    std::optional<StageTimer> loading(std::in_place, "reading the images");
    VolumePtr mov, fix, fixMask, movMask;
    if (!loadInputs(moving, fixed, mov, fix, error) || !maskFixed(fixed, ro, *fix, fixMask, error)) {
        commandError(kName, error);
        return 1;
    }
    if (!ro.movingMask.empty() && !(movMask = loadMask(ro.movingMask, *mov, moving, error))) {
        commandError(kName, error);
        return 1;
    }
    if (movMask) centroidInsideMask(*mov, *movMask);
    loading.reset();
    if (!registrable(*mov, movMask.get(), moving, error) || !registrable(*fix, fixMask.get(), fixed, error)) {
        commandError(kName, error);
        return 1;
    }

    // The search's own lines (--verbose) replace the progress line rather than cut into it.
    TerminalProgress progress(!ro.quiet && !ro.verbose && TerminalProgress::stderrIsTerminal(), t0, !ro.noRefine);
    PipelineOptions opts = pipelineOptions(ro, start);
    opts.fixedMask = fixMask.get();
    opts.movingMask = movMask.get();
    opts.progress = &progress;
    PipelineResult res;
    {
        SearchLogTo log(ro.verbose ? stderr : nullptr);
        StageTimer timer("registration");
        res = runPipeline(*mov, *fix, opts);
    }
    progress.finish();
    // Judged on the matrix as written: what the user gets is what is checked, and what the
    // picture's caption says.
    Affine world;
    if (!registeredWorld(res, world, error)) {
        commandError(kName, error);
        return 1;
    }
    // The verdict is host work on one core: it runs beside the writing (whose resampling
    // the backend does), unless the picture's caption needs it first.
    auto judge = [&] {
        StageTimer timer("verdict");
        return judgeRegistration(*mov, movMask.get(), *fix, fixMask.get(), world, res.startWorld,
                                 res.movingForeground.get());
    };
    Verdict verdict;
    std::future<Verdict> judging;
    if (qc.empty())
        judging = std::async(std::launch::async, judge);
    else
        verdict = judge();
    RegistrationFiles files{output, matrix, itk, qc, {}};
    if (!qc.empty()) files.caption = registrationCaption("MOVING " + moving, fixed, res.cost, verdict, ro.dof);
    std::optional<StageTimer> writing(std::in_place, "writing the outputs");
    if (!writeRegistration(res, *mov, *fix, files, world, error)) {
        commandError(kName, error);
        return 1;
    }
    writing.reset();
    if (judging.valid()) verdict = judging.get();

    std::printf("cost: %.6f\nmatrix:\n%stime: %.3f s\noverlap: %.3f %.3f\nturn: %.1f\nverdict: %s\n",
                (double)res.cost, formatWorldMatrix(world).c_str(), (double)(clockMs() - t0) / 1000.0,
                verdict.fixedOverlap, verdict.movingOverlap, verdict.turn, verdictText(verdict).c_str());
    if (!verdict.suspect) return 0;
    if (!ro.quiet) {
        std::fflush(stdout);
        std::fprintf(stderr, "tarvo %s: warning: the result may be wrong: %s; look at it (--qc) before using it\n",
                     kName, verdict.reason.c_str());
    }
    return suspectStatus;
}
