#pragma once
// A registration as a short pipeline over one prepared pair per level:
//   start -> global search (8 mm) -> level sweeps (4, 2, 1 mm) -> result.
//   (or: start -> wide search (4 and 2 mm) -> level sweeps (2, 1 mm) -> result)
// Each stage takes the search's transform and returns one (the stages: stages.h; the
// start and the evaluators: levelstart.h; the levels: pyramid.h).
#include "registration/dof.h"
#include "registration/levelstart.h"
#include "registration/pyramid.h"
#include "registration/precision.h"
#include "registration/widesearch.h"
#include "volume/volume.h"

// What a registration does. Every caller starts from one of the two presets, the original
// -r command's search or register's defaults, and changes what its user chose: a plain
// default would be neither, and a caller that forgot an override would go unnoticed.
class PipelineOptions {
public:
    // -r: the standard search from the paired centroids of the voxel grids, no precision
    // stage.
    static PipelineOptions originalSearch() { return {SearchKind::Standard, StartKind::Centroid, false, false}; }
    // register (batch and Python alike) with no options given: the header search from the
    // header start on FIXED's foreground, then the precision stage.
    static PipelineOptions registerDefaults() {
        PipelineOptions o{SearchKind::Header, StartKind::Header, true, true};
        o.twoWay.on = true;
        o.fineSweeps = false;
        o.searchOneIn = 2;
        o.judged = true;
        return o;
    }

    Dof dof;
    // The global search: the standard one, or the wide one over all orientations.
    SearchKind search;
    Start start;
    // 0/1 volumes on the grids of the fixed and the moving image, or null. The fixed mask
    // is used only where the pipeline prepares the fixed image itself.
    const Volume* fixedMask = nullptr;
    const Volume* movingMask = nullptr;
    // The cost counts only the fixed image's automatic foreground (within fixedMask):
    // register's default; -r counts the whole field of view.
    bool fixedForeground;
    Progress* progress = nullptr;
    // The precision stage after the 1 mm sweeps (registration/precision.h): register runs it
    // unless told --no-refine; -r never does.
    bool precision;
    PrecisionOptions precisionOptions;  // its dof is taken from `dof`
    // The 1 mm level's line sweeps before the precision stage. The stage's passes start
    // from the 2 mm answer just as well, so register skips them (one evaluation at 1 mm
    // still judges the answer there); without the stage they are the search's last step.
    bool fineSweeps = true;
    // The 2 mm level's cost counts one voxel in this many of FIXED's foreground and of
    // MOVING's (PreparedFixed::searchSamples), the same ones at every evaluation: it took
    // a third of register's time, and the search there only needs to find the right
    // basin, whose bottom the precision stage (on all of the 2 mm voxels, then the images'
    // own) finds again. With every other voxel the level is twice as fast, and the hard
    // cases and known transforms end as near the truth (bench/RESULTS.md). -r counts every
    // voxel.
    int searchOneIn = 1;
    // The front end judges the answer (verdict.h): MOVING's foreground as the verdict counts
    // it is found beside the search (PipelineResult::movingForeground). -r gives no verdict.
    bool judged = false;
    // The cost taken both ways at every evaluation: a quarter of the correlation ratio of
    // MOVING given FIXED's bins (over FIXED's foreground) and three quarters of that of FIXED
    // given MOVING's bins over MOVING's own foreground (kReverseWeight). register's default; -r takes it one way. One way,
    // an EPI or a slab whose outline matches a turned head better than its anatomy matches
    // the right pose wins with the turn; the reverse half counts where MOVING has tissue,
    // and there only anatomy lines up (bench/RESULTS.md).
    struct TwoWay {
        bool on = false;
        // MOVING's foreground: its tissue with a margin of this many of MOVING's largest voxel
        // edges, but at least movingMarginMm. The tissue's edge in a coarse image is smeared
        // over a few voxels, and the reverse half needs the whole edge: with one 3.5 mm voxel
        // an 84 mm EPI slab ended 2.4 mm off along its slices, with three or four about 2.
        // Counted in millimetres the margin could not serve all images: 10 mm around a
        // brain-only image of 1 mm voxels holds FIXED's skull, and the cost shrank the head
        // onto it (8 mm off); 6 mm around a slab of 2 mm slices let a wrong far turn win.
        float movingMarginVoxels = 4.0f;
        float movingMarginMm = 2.0f;
    } twoWay;

private:
    PipelineOptions(SearchKind s, StartKind k, bool withPrecision, bool foreground)
        : search(s), fixedForeground(foreground), precision(withPrecision) {
        start.kind = k;
    }
};

struct PipelineResult {
    TransformParams params;  // the search's parameters, relative to the start
    float cost = 0.0f;       // at 1 mm (after the precision stage, on the images' own grids); the start is kept when it is not below zero
    Affine world;            // FIXED RAS mm -> MOVING RAS mm
    Affine searchWorld;      // the same before the precision stage
    Affine startWorld;       // where the search started (the verdict's turn is from it)
    bool ran = false;        // false when a volume is too small for one 1 mm voxel
    // MOVING's verdictForeground (verdict.h) within opts.movingMask, found beside the
    // search for the verdict to use where opts.judged; null otherwise, or where the
    // pipeline did not run.
    std::shared_ptr<const std::vector<uint8_t>> movingForeground;
};

// Registers `moving` (the source) to `fixed` (the reference). Search lines go to the
// search log (searchlog.h).
PipelineResult runPipeline(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts);
// The fixed image prepared as runPipeline with `opts` counts it (with opts.fixedMask).
std::unique_ptr<PreparedFixed> prepareFixed(const Volume& fixed, const PipelineOptions& opts);
// The same, preparing the fixed image for this registration alone.
PipelineResult runPipeline(const Volume& moving, const Volume& fixed, const PipelineOptions& opts);
// The precision stage alone, from a search's answer (what runPipeline with opts.precision adds
// after its 1 mm sweeps): `searched` as runPipeline returned it without the stage, for
// the same moving image, fixed image and options. Returns it unchanged where the stage
// finds nothing lower.
PipelineResult precisionFromSearch(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts,
                                   const PipelineResult& searched);
// The precision stage on the plain cost of two isotropic 1 mm volumes (as the pyramid has
// them, with the level's `stage`, which sets the bin count): the fine pair is these two,
// the coarse pair their half-samples. Prepares and releases its own cost pairs: call it
// with none in force.
PrecisionResult precisionStage(const Volume& src1, const Volume& ref1, const TransformParams& searched,
                               const PrecisionOptions& opts);
