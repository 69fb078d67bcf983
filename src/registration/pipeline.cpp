#include "registration/pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <future>
#include <optional>

#include "device/costfunction.h"
#include "device/device.h"
#include "device/stagetimer.h"
#include "registration/foreground.h"
#include "registration/global.h"
#include "registration/levelreport.h"
#include "registration/precision.h"
#include "registration/searchlog.h"
#include "registration/stages.h"
#include "registration/verdict.h"
#include "volume/resample.h"

namespace {

// MOVING's automatic foreground on its own grid and on each level: the reverse half's
// reference mask where the cost is taken both ways (all null otherwise, or where MOVING's
// foreground is too small to count: its whole field of view counts then).
struct MovingForeground {
    VolumePtr own;
    VolumePtr level[PreparedFixed::kLevels];

    // The voxels (foregroundMask): host work alone, which runs beside the backend's
    // preparing of the images.
    static std::vector<uint8_t> voxels(const Volume& moving, const PipelineOptions& opts) {
        if (!opts.twoWay.on) return {};
        const float voxel = std::max({std::fabs(moving.dx), std::fabs(moving.dy), std::fabs(moving.dz)});
        return foregroundVoxels(moving, opts.movingMask,
                                std::max(opts.twoWay.movingMarginMm, opts.twoWay.movingMarginVoxels * voxel));
    }
    void build(const Volume& moving, const PipelineOptions& opts, const std::vector<uint8_t>& voxels) {
        if (!opts.twoWay.on) return;
        own = foregroundMask(moving, voxels);
        if (!own) return;
        level[0] = isotropicResample(*own, 1.0f, 1.0f, 1.0f);
        for (int h = 1; h < PreparedFixed::kLevels && level[h - 1]; ++h) level[h] = halfSample(*level[h - 1]);
    }
};

// The reverse half's reference: MOVING (`image`, on its level or its own grid) binned with
// the bins of the forward pair's FIXED image, within `mask`; null where the cost is one way.
ReferencePtr reverseReference(const PipelineOptions& opts, const Volume& image, const Volume* mask,
                              const Volume& fixedImage) {
    if (!opts.twoWay.on) return nullptr;
    return deviceOf(image).prepareReference(image, kern::binCountForStage(fixedImage.stage), mask);
}

// The reverse pair samples FIXED wherever MOVING's foreground is, within the user's mask
// of FIXED when there is one (`fixedLevel`: the FIXED level of the pass, whose mask then
// holds it); FIXED's own foreground stays its forward half's.
CostPairOptions reverseOptions(bool exact, const PreparedFixed& fixed, const PreparedFixed::Level& fixedLevel) {
    CostPairOptions o;
    o.exactWeights = exact;
    if (fixed.userMasked()) o.srcMask = fixedLevel.mask.get();
    return o;
}

// The precision stage after the search. Its frame is the 1 mm level's (the search's own
// parameters). The coarse pair is the 2 mm level; the fine pair is both images on their
// own grids; both with exact trilinear weights. Keeps the search's answer unless the stage
// ends lower on the fine pair.
//
// Why not the 1 mm levels for the fine pair: resampling a 1 mm image onto 1 mm averages
// each voxel with its neighbours (the levels' half-voxel shift), and that blur acts on
// MOVING after whatever maps one contrast to the other, on FIXED before it. Where the
// mapping is not monotonic (a bright rim where a dark tissue meets a mid-grey one, a dark
// one between two mid-greys) the two blurs move thin features differently on a curved
// brain, and the cost's optimum shrinks or grows the brain by a tenth of a percent:
// 0.07 mm on cross-contrast cases against 0.02 on their own grids (bench/RESULTS.md).
// An image stays on its 1 mm level where its own grid does not serve: a MOVING of 4 mm
// voxels or more, which the backends sample at the nearest voxel; an image of more than
// three times its level's voxels (finer than about 0.7 mm), on which the pass would cost
// several times as much time and memory as the whole search's finest level; and a FIXED
// of fewer than four fifths of its level's voxels (coarser than about 1.08 mm).
bool ownGridServes(const Volume& own, const Volume& level) { return own.count() <= 3 * level.count(); }

// The images of the fine pass: each on its own grid, or on its 1 mm level (`level`).
const Volume& fineMoving(const Volume& moving, const Volume& level) {
    return moving.dx < 4.0f && ownGridServes(moving, level) ? moving : level;
}
// A FIXED much coarser than 1 mm stays on its level too: its voxels are the cost's
// samples, and on the 2 mm phantoms of one contrast its own grid (an eighth of the
// samples) landed 0.022 mm from the truth against 0.016 on the level.
const PreparedFixed::Level& fineFixedLevel(const PreparedFixed& fixed) {
    const Volume &own = *fixed.original().image, &level = *fixed.level(0).image;
    return ownGridServes(own, level) && 5 * own.count() >= 4 * level.count() ? fixed.original() : fixed.level(0);
}

// `judge`: res holds the 2 mm answer unmeasured at 1 mm, and the fine pair's cost of it
// takes the place of that measure (the start kept where nothing is measured there).
void precisionStep(const Volume& moving, const Volume* movingMask, const Pyramid& src, const PreparedFixed& fixed,
                   const Start& start, const PipelineOptions& opts, const MovingForeground& fg, PipelineResult& res,
                   bool judge = false) {
    const PreparedFixed::Level& f0 = fixed.level(0);
    const Volume& s0 = *src.image[0];
    const LevelStart ls0 = levelStart(start, s0, src.grid[0], *f0.image, f0.grid);
    const ParamsToWorld frame = [&](const TransformParams& p) {
        return worldMatrix(p, ls0, s0, src.grid[0], *f0.image, f0.grid);
    };
    const bool ownMoving = &fineMoving(moving, s0) == &moving;
    const PreparedFixed::Level& fineFixed = fineFixedLevel(fixed);
    const WorldGrid movingGrid = worldGridOf(moving);
    const PrecisionPairs withPair = [&](PrecisionPass pass, const std::function<void(Evaluator&)>& run) {
        CostPairOptions pairOpts;
        pairOpts.exactWeights = true;
        if (pass == PrecisionPass::Coarse) {
            const PreparedFixed::Level& f = fixed.level(1);
            pairOpts.srcMask = src.mask[1].get();
            const ReferencePtr reverse = reverseReference(opts, *src.image[1], fg.level[1].get(), *f.image);
            PreparedPair pair(*src.image[1], *f.image, fixed.precisionReference(), pairOpts, reverse,
                              reverseOptions(true, fixed, f));
            WorldEvaluator ev(*src.image[1], src.grid[1], *f.image, f.grid, frame, opts.progress);
            run(ev);
            return;
        }
        const PreparedFixed::Level& f = fineFixed;
        const Volume& s = ownMoving ? moving : s0;
        pairOpts.srcMask = ownMoving ? movingMask : src.mask[0].get();
        // Both halves count the lattice of one voxel in fineOneIn (PrecisionOptions).
        const int oneIn = opts.precisionOptions.fineOneIn;
        VolumePtr fixedSamples, movingSamples;
        const Volume* movingForeground = ownMoving ? fg.own.get() : fg.level[0].get();
        if (oneIn > 1) {
            const size_t from = opts.precisionOptions.fineSampledFrom;
            fixedSamples = latticeSubset(*f.image, f.mask.get(), oneIn, from);
            if (opts.twoWay.on) movingSamples = latticeSubset(s, movingForeground, oneIn, from);
        }
        // Prepared here rather than with the fixed image: only this pass reads it.
        const ReferencePtr reference = fixedSamples ? prepareReference(*f.image, fixedSamples.get())
                                       : f.reference() ? f.reference()
                                                       : prepareReference(*f.image, f.mask.get());
        const ReferencePtr reverse =
            reverseReference(opts, s, movingSamples ? movingSamples.get() : movingForeground, *f.image);
        PreparedPair pair(s, *f.image, reference, pairOpts, reverse, reverseOptions(true, fixed, f));
        WorldEvaluator ev(s, ownMoving ? movingGrid : src.grid[0], *f.image, f.grid, frame, opts.progress);
        run(ev);
    };
    PrecisionOptions ro = opts.precisionOptions;
    ro.dof = opts.dof.count();
    if (opts.progress) opts.progress->levelBegin("precision");
    OneWayPolish polish;
    polish.oneWay = [](bool oneWay) { setReverseWeight(oneWay ? 0.0f : kReverseWeight); };
    const PrecisionResult r = precisionStage(withPair, res.params, ro, opts.twoWay.on ? &polish : nullptr);
    if (opts.progress) opts.progress->levelEnd();
    if (r.cost < r.startCost) {
        res.params = r.params;
        res.cost = r.cost;
    } else if (judge) {
        res.cost = r.startCost;
        if (!(r.startCost < 0.0f)) res.params = TransformParams();
    }
    res.world = frame(res.params);
}

// The header start as one world matrix, the same on every level: a translation that puts
// the moving centroid on the fixed one in world space.
Start pipelineStart(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts) {
    Start start = opts.start;
    if (start.kind == StartKind::Header) {
        double wm[3];
        worldCentroid(moving, wm);
        const double* wf = fixed.centroid();
        start.world = Affine::translation(wm[0] - wf[0], wm[1] - wf[1], wm[2] - wf[2]);
    }
    return start;
}

// One registration's levels as the search goes through them: the moving image's pyramid
// next to the prepared fixed one, the start, and the result it fills.
struct LevelRun {
    const Volume& moving;
    const PreparedFixed& fixed;
    const PipelineOptions& opts;
    Pyramid& src;
    const Start start;
    PipelineResult& res;
    const MovingForeground& fg;

    // One level: banner, the source staged like the fixed level (the bin count), the cost
    // pair prepared for the level's search only, and the source level released right after.
    template <class Search>
    void level(const char* name, int h, Search&& search) {
        searchPrintf("\n========= %s ===========\n", name);
        {
            Volume& s = *src.image[h];
            const PreparedFixed::Level& ref = fixed.level(h);
            const Volume& r = *ref.image;
            LevelReport report(name, r);
            s.stage = r.stage;
            CostPairOptions pairOpts;
            pairOpts.srcMask = src.mask[h].get();
            // MOVING's side of the lattice, like FIXED's (PreparedFixed::searchSamples).
            VolumePtr movingSamples;
            if (opts.twoWay.on && PreparedFixed::searchSamples(h, opts.searchOneIn))
                movingSamples = latticeSubset(s, fg.level[h].get(), opts.searchOneIn, PreparedFixed::kSearchSampledFrom);
            const ReferencePtr reverse =
                reverseReference(opts, s, movingSamples ? movingSamples.get() : fg.level[h].get(), r);
            PreparedPair pair(s, r, ref.searchReference(), pairOpts, reverse, reverseOptions(false, fixed, ref));
            const LevelStart ls = levelStart(start, s, src.grid[h], r, ref.grid);
            StartedEvaluator ev(s, r, ls, opts.progress);
            if (opts.progress) opts.progress->levelBegin(name);
            search(ev, ls);
            if (opts.progress) opts.progress->levelEnd();
        }
        // The precision stage comes back to the 2 mm level.
        if (h != 1 || !opts.precision) {
            src.image[h].reset();
            src.mask[h].reset();
        }
    }

    bool sweeps1mm() const { return opts.fineSweeps || !opts.precision; }
    // The 1 mm level: its sweeps (finish gets its evaluator), or where the precision stage
    // follows without them, no 1 mm cost pair at all (finish gets null, and leaves the 2 mm
    // answer in res unmeasured): the stage's fine pair measures that answer first anyway,
    // and preparing a 1 mm pair for one evaluation took a twentieth of the registration.
    template <class Finish>
    void lastLevel(Finish&& finish) {
        if (sweeps1mm()) {
            level("1mm", 0, [&](Evaluator& ev, const LevelStart& ls) { finish(&ev, ls); });
            return;
        }
        const PreparedFixed::Level& ref = fixed.level(0);
        src.image[0]->stage = ref.image->stage;
        judgedByPrecision_ = true;
        finish(nullptr, levelStart(start, *src.image[0], src.grid[0], *ref.image, ref.grid));
    }

    // After the 1 mm level: the precision stage, and the world matrices.
    void worldResult(const LevelStart& ls) {
        const PreparedFixed::Level& ref = fixed.level(0);
        auto world = [&] { return worldMatrix(res.params, ls, *src.image[0], src.grid[0], *ref.image, ref.grid); };
        res.searchWorld = world();
        res.startWorld = worldMatrix(TransformParams(), ls, *src.image[0], src.grid[0], *ref.image, ref.grid);
        if (opts.precision && (res.cost < 0.0f || judgedByPrecision_))
            precisionStep(moving, opts.movingMask, src, fixed, start, opts, fg, res, judgedByPrecision_);
        res.world = world();
    }

    bool judgedByPrecision_ = false;
};

// The standard search: the global search at 8 mm, then the level stages.
void standardSearch(LevelRun& run) {
    TransformParams candidates[3];
    TransformParams best;
    const Dof& dof = run.opts.dof;
    run.level("8mm", 3, [&](Evaluator& ev, const LevelStart&) { globalSearch8mm(ev, candidates, dof); });
    run.level("4mm", 2, [&](Evaluator& ev, const LevelStart&) { stage4mm(ev, candidates, best, dof); });
    run.level("2mm", 1, [&](Evaluator& ev, const LevelStart&) { stage2mm(ev, best, dof); });
    run.lastLevel([&](Evaluator* ev, const LevelStart& ls) {
        if (ev)
            run.res.cost = stage1mm(*ev, best, run.res.params, dof);
        else
            run.res.params = best;
        run.worldResult(ls);
    });
}

// The wide search over all orientations, from 4 mm on; the finer levels search relative to
// the orientation found, with parameters that mean one transform on every level.
void wideSearch(LevelRun& run) {
    const PreparedFixed& fixed = run.fixed;
    const Start& start = run.start;
    Pyramid& src = run.src;
    PipelineResult& res = run.res;
    TransformParams best;
    const Dof& dof = run.opts.dof;
    WideSearch wide;
    wide.dof = dof;
    wide.preferStart = run.opts.search == SearchKind::Header;
    Rot3 frame = identityRotation();
    const float sv[3] = {run.moving.dx, run.moving.dy, run.moving.dz};
    const float* rv = fixed.voxelSize();
    auto geometry = [&](const LevelStart& ls, int h) {
        const PreparedFixed::Level& ref = fixed.level(h);
        if (ls.identity) return levelGeometry(sv, rv, h, ref.image->center);
        // Every level turns about the fixed image's centroid, where the start put the
        // moving one: under a far turn a centre that moves between levels is millimetres.
        double point[3];
        ref.grid.worldToVoxel().apply(fixed.centroid(), point);
        return pointGeometry(point, ref.image->center, h);
    };
    // The header search also runs the standard search's first levels from the start: the
    // one candidate that stays near it, judged at 2 mm beside the wide search's. They take
    // a fifth of the search's time, but without them two brain-only hard cases against a
    // whole head ended 10 and 22 mm off (the rest of the hard cases as with them).
    const bool nearStart = wide.preferStart;
    TransformParams nearCandidates[3], nearBest;
    if (nearStart) {
        run.level("8mm", 3, [&](Evaluator& ev, const LevelStart&) { globalSearch8mm(ev, nearCandidates, dof); });
    } else {
        src.image[3].reset();
        src.mask[3].reset();
    }
    if (dof.paramFree(6)) {
        const PreparedFixed::Level& ref = fixed.level(2);
        double ratio = headSizeRatio(*src.image[2], src.grid[2], src.mask[2].get(), *ref.image, ref.grid,
                                     fixed.sizeMask());
        // The search's scale acts on top of the start: a given matrix may size already.
        const double sized = std::cbrt(std::fabs(start.world.determinant3()));
        if (start.kind == StartKind::Matrix && std::isfinite(sized) && sized > 0.0) ratio /= sized;
        wide.scale = (float)ratio;
        if (verbose()) std::fprintf(stderr, "tarvo: wide search head size ratio %.3f\n", (double)wide.scale);
    }
    run.level("4mm", 2, [&](Evaluator& ev, const LevelStart& ls) {
        const LevelGeometry g = geometry(ls, 2);
        wideSearch4mm(ev, wide, g);
        if (nearStart) {
            stage4mm(ev, nearCandidates, nearBest, dof);
            wide.candidates.push_back(plainCandidate(nearBest, g));
        }
        wideJudge4mm(ev, wide, g);
    });
    run.level("2mm", 1, [&](Evaluator& ev, const LevelStart& ls) {
        const LevelGeometry g = geometry(ls, 1);
        wideSearch2mm(ev, wide, g);
        if (!wide.candidates.empty()) {
            frame = wide.candidates[0].frame;
            best = wide.candidates[0].params;
        }
        FramedEvaluator fev(ev, frame, g);
        stage2mm(fev, best, dof, false);
    });
    run.lastLevel([&](Evaluator* ev, const LevelStart& ls) {
        const LevelGeometry g = geometry(ls, 0);
        TransformParams relative = best;
        if (ev) {
            FramedEvaluator fev(*ev, frame, g);
            res.cost = stage1mm(fev, best, relative, dof);
        }
        // The 1 mm cost's own parameters: what worldMatrix reads.
        if (!ev || res.cost < 0.0f) res.params = levelParams(relative, frame, g);
        run.worldResult(ls);
    });
}

}  // namespace

PipelineResult precisionFromSearch(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts,
                                   const PipelineResult& searched) {
    PipelineResult res = searched;
    Pyramid src;
    if (!searched.ran || !(searched.cost < 0.0f) || !src.build(moving, opts.movingMask)) return res;
    for (int h = 0; h < PreparedFixed::kLevels; ++h) src.image[h]->stage = fixed.level(h).image->stage;
    MovingForeground fg;
    fg.build(moving, opts, MovingForeground::voxels(moving, opts));
    precisionStep(moving, opts.movingMask, src, fixed, pipelineStart(moving, fixed, opts), opts, fg, res);
    return res;
}

std::unique_ptr<PreparedFixed> prepareFixed(const Volume& fixed, const PipelineOptions& opts) {
    return PreparedFixed::prepare(fixed, opts.fixedMask, opts.fixedForeground, foregroundBandMm(opts.twoWay.on),
                                  opts.searchOneIn);
}

namespace {

// MOVING's foreground voxels, found on a thread of their own: a single-threaded pass that
// would otherwise wait for the backend's preparing of the images, or make it wait.
std::future<std::vector<uint8_t>> movingForegroundVoxels(const Volume& moving, const PipelineOptions& opts) {
    return std::async(std::launch::async, [&moving, &opts] { return MovingForeground::voxels(moving, opts); });
}

// MOVING's foreground as the verdict counts it, likewise on a thread of its own: the check
// of the answer below and the verdict after the pipeline both read it.
// Not found for a caller that gives no verdict, unless the check needs it.
std::future<std::vector<uint8_t>> movingVerdictVoxels(const Volume& moving, const PipelineOptions& opts,
                                                      bool checked) {
    if (!opts.judged && !checked) return {};
    return std::async(std::launch::async, [&moving, &opts] { return verdictForeground(moving, opts.movingMask); });
}

PipelineResult runPrepared(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts,
                           std::future<std::vector<uint8_t>> foregroundVoxels,
                           std::future<std::vector<uint8_t>> verdictVoxels) {
    PipelineResult res;
    std::optional<StageTimer> timer(std::in_place, "preparing MOVING");
    Pyramid src;
    if (!src.build(moving, opts.movingMask)) return res;
    MovingForeground fg;
    fg.build(moving, opts, foregroundVoxels.get());
    timer.reset();
    // The 1 mm pair is the search's largest: with the cost's memory sized for it now (and
    // for the precision stage's pair, the images on their own grids), the coarser levels
    // before it prepare their pairs without allocating.
    if (opts.fineSweeps || !opts.precision) reserveCorrelationRatio(*src.image[0], *fixed.level(0).image);
    if (opts.precision) reserveCorrelationRatio(fineMoving(moving, *src.image[0]), *fineFixedLevel(fixed).image);

    LevelRun run{moving, fixed, opts, src, pipelineStart(moving, fixed, opts), res, fg};
    if (opts.search != SearchKind::Standard)
        wideSearch(run);
    else
        standardSearch(run);
    res.ran = true;
    if (verdictVoxels.valid()) res.movingForeground = std::make_shared<const std::vector<uint8_t>>(verdictVoxels.get());
    // An answer that stretches the head beyond belief or pushes MOVING's tissue off FIXED's
    // grid: FIXED's band of air may have held MOVING's skull (foreground.h). The tissue
    // alone decides then, if its answer is plausible. (MOVING's verdict foreground was
    // found wherever FIXED has its tissue apart.)
    const Volume& fixedImage = *fixed.original().image;
    if (fixed.hasTissueOnly() && res.cost < 0.0f &&
        !plausibleAnswer(moving, *res.movingForeground, fixedImage, res.world) && fixed.tissueOnly()) {
        src = Pyramid();
        const PipelineResult tissue = runPipeline(moving, *fixed.tissueOnly(), opts);
        if (tissue.ran && tissue.cost < 0.0f && plausibleAnswer(moving, *res.movingForeground, fixedImage, tissue.world))
            return tissue;
    }
    return res;
}

}  // namespace

PipelineResult runPipeline(const Volume& moving, const Volume& fixed, const PipelineOptions& opts) {
    auto foregroundVoxels = movingForegroundVoxels(moving, opts);
    auto verdictVoxels = movingVerdictVoxels(moving, opts, opts.fixedForeground);
    std::optional<StageTimer> timer(std::in_place, "preparing FIXED");
    const std::unique_ptr<PreparedFixed> prepared = prepareFixed(fixed, opts);
    timer.reset();
    // A volume too small for a single 1 mm voxel: nothing to register.
    if (!prepared) return PipelineResult();
    return runPrepared(moving, *prepared, opts, std::move(foregroundVoxels), std::move(verdictVoxels));
}

PipelineResult runPipeline(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts) {
    return runPrepared(moving, fixed, opts, movingForegroundVoxels(moving, opts),
                       movingVerdictVoxels(moving, opts, fixed.hasTissueOnly()));
}

PrecisionResult precisionStage(const Volume& src1, const Volume& ref1, const TransformParams& searched,
                               const PrecisionOptions& opts) {
    const WorldGrid sg1 = worldGridOf(src1), rg1 = worldGridOf(ref1);
    const LevelStart plain;
    const ParamsToWorld frame = [&](const TransformParams& p) { return worldMatrix(p, plain, src1, sg1, ref1, rg1); };
    auto withPair = [&](PrecisionPass pass, const std::function<void(Evaluator&)>& run) {
        VolumePtr s2, r2;
        const Volume *s = &src1, *r = &ref1;
        WorldGrid sg = sg1, rg = rg1;
        if (pass == PrecisionPass::Coarse) {
            s = (s2 = halfSample(src1)).get();
            r = (r2 = halfSample(ref1)).get();
            r2->stage = ref1.stage;
            sg = sg1.resampled(2, 2, 2);
            rg = rg1.resampled(2, 2, 2);
        }
        CostPairOptions o;
        o.exactWeights = true;
        initCorrelationRatio(*s, *r, o);
        WorldEvaluator ev(*s, sg, *r, rg, frame, nullptr);
        run(ev);
        freeCorrelationRatio();
    };
    return precisionStage(withPair, searched, opts);
}
