#include "app/commands/registrationoptions.h"

#include <CLI/CLI.hpp>

#include "registration/verdict.h"
#include "volume/inputs.h"

const char* const kRegistrationOptionsHelp =
    "Start (--init): header (default) takes rotation, axis order, flips and voxel sizes\n"
    "from the two headers and pairs the intensity centroids; centroid pairs the centroids\n"
    "of the voxel grids as they are; identity takes the headers' world coordinates as they\n"
    "are; FILE starts from a world matrix in the --matrix format. The search then runs\n"
    "relative to the start.\n"
    "\n"
    "Cost (default; --one-way takes the first half alone): two correlation ratios, a\n"
    "quarter of MOVING given 256 bins of FIXED's intensity over FIXED's foreground, and\n"
    "three quarters of FIXED given 256 bins of MOVING's over MOVING's own tissue (with four\n"
    "of MOVING's voxels around it, at least 2 mm). Taken one way, an EPI, a slab or a\n"
    "brain-only image can fit a turned head's outline better than the right pose fits its\n"
    "anatomy; the second half counts only where MOVING has tissue, and a coarse, noisy or\n"
    "unevenly shaded MOVING enters it only through its bins, so it weighs more.\n"
    "\n"
    "Precision stage (default; --no-refine skips it): after the search, all free\n"
    "parameters move together to the optimum of the cost, sampled with full-precision\n"
    "trilinear weights, at 2 mm and then on the images' own grids, there on one voxel in\n"
    "four of an even lattice where an image has a million to count (to about 0.01-0.02 mm\n"
    "at the brain's edge, across contrasts too; every voxel gets no nearer). It never ends\n"
    "at a higher cost than the search's answer. It starts from the 2 mm level's answer\n"
    "(with --no-refine the search ends with line sweeps at 1 mm instead) and ends with a\n"
    "polish under the first half of the cost alone, kept where it moves the answer by more\n"
    "than 0.06 and at most 0.5 mm: across contrasts that half's optimum is the more exact,\n"
    "where it pulls further it is being fooled, and where the halves agree (one contrast)\n"
    "both together are the more exact.\n"
    "\n"
    "Foreground (default; --no-foreground counts every voxel): only FIXED's tissue enters\n"
    "the cost: the voxels above a quarter of the way from its 1st to its 99th percentile,\n"
    "enclosed holes filled, with a band of 8 mm of the air around them (20 mm with\n"
    "--one-way), and within --fixed-mask where given. The far background, the neck and the\n"
    "edges of a partial field of view then cannot decide the pose; the band keeps the\n"
    "head's outline. (A wider band draws a slab too large, to hold more of FIXED's air.)\n"
    "\n"
    "Masks: --fixed-mask: only FIXED voxels where the mask is non-zero enter the cost.\n"
    "--moving-mask: only samples whose position in MOVING falls in a non-zero mask voxel\n"
    "count. The start then pairs the centroids of the parts inside the masks. Each mask\n"
    "must lie on the grid of its image (same counts, voxel sizes and orientation) and have\n"
    "at least 1000 voxels inside. On the coarser levels a mask is down-sampled like its\n"
    "image, and a level voxel counts as inside where at least half of it is.\n";

// The limits are verdict.h's, written out: a change there must be told here too.
static_assert(kMinMovingOverlap == 0.80 && kMinFixedOverlap == 0.05 && kMaxTurnDegrees == 45.0 &&
                  kMinScale == 0.74 && kMaxScale == 1.35,
              "the verdict's help states the limits of registration/verdict.h");
const char* const kVerdictHelp =
    "Verdict: every result is checked against what can be known without the truth. It is\n"
    "suspect when less than 80% of MOVING's foreground lies inside FIXED's field of view,\n"
    "less than 5% of FIXED's foreground inside MOVING's, when it turns more than 45 degrees\n"
    "from the start (--init), stretches any direction by less than 0.74 or more than 1.35,\n"
    "or mirrors the start. A suspect result is still written: look at it (--qc) before\n"
    "using it. --suspect-status N (2 to 255, e.g. 3) makes a suspect result end with\n"
    "status N instead of 0, for pipelines.\n";

void addSuspectStatus(CLI::App& app, int& status) {
    app.add_option("--suspect-status", status,
                   "exit status when the result is suspect (2 to 255, e.g. 3; default 0: only a warning)")
        ->check(CLI::Range(2, 255));
}

void addRegistrationOptions(CLI::App& app, RegistrationOptions& o) {
    app.add_option("--dof", o.dof, "degrees of freedom: 6 rigid, 7 one scale, 9 three scales, 12 affine")
        ->check(CLI::IsMember({6, 7, 9, 12}))
        ->default_str("12");
    app.add_option("--search", o.search,
                   "global search: header (every orientation, but a turn of more than 45 degrees "
                   "from the start only when clearly better), wide (every orientation alike) or "
                   "standard (turns up to about 90 degrees per axis)")
        ->check(CLI::IsMember({"header", "wide", "standard"}))
        ->default_str("header");
    app.add_option("--init", o.init, "start: header, centroid, identity or a matrix FILE")->default_str("header");
    app.add_option("--fixed-mask", o.fixedMask, "only FIXED voxels inside this mask count");
    app.add_flag("--no-foreground", o.noForeground,
                 "count every FIXED voxel, not only FIXED's automatic foreground (phantoms, images already masked)");
    app.add_flag("--one-way", o.oneWay,
                 "the cost one way only, MOVING given FIXED's bins (as before version 0.3), not both ways");
    app.add_option("--moving-mask", o.movingMask, "only samples landing inside this mask count");
    app.add_option("--threads", o.threads, "threads of the CPU backend (not with a GPU)")->check(CLI::Range(1, 4096));
    app.add_flag("--no-refine", o.noRefine, "skip the precision stage: the search's answer as it stands");
    auto* q = app.add_flag("--quiet", o.quiet, "no progress on standard error");
    auto* v = app.add_flag("--verbose", o.verbose, "also the search's per-level lines on standard error");
    q->excludes(v);
}

bool loadFixed(const std::string& path, const RegistrationOptions& o, VolumePtr& fixed, VolumePtr& mask,
               std::string& error) {
    fixed = loadInput(path, error);
    return fixed && maskFixed(path, o, *fixed, mask, error);
}

bool maskFixed(const std::string& path, const RegistrationOptions& o, Volume& fixed, VolumePtr& mask,
               std::string& error) {
    if (!o.fixedMask.empty() && !(mask = loadMask(o.fixedMask, fixed, path, error))) return false;
    if (mask) centroidInsideMask(fixed, *mask);
    return true;
}
