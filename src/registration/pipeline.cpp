#include "registration/pipeline.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "device/costfunction.h"
#include "device/device.h"
#include "registration/cost.h"
#include "registration/levelreport.h"
#include "registration/global.h"
#include "registration/refine.h"
#include "registration/stages.h"
#include "registration/searchlog.h"

namespace {

// The precision stage after the search. Its frame is the 1 mm level's (the search's own
// parameters); the coarse pair is the 2 mm level, the fine pair the 1 mm level, both with
// exact trilinear weights. Keeps the search's answer unless the stage ends lower on the
// 1 mm pair. (The fine pair was also tried on the images' own grids, 0.88 mm moving and
// the fixed image unresampled: on known transforms that lands further from the truth, the
// 1 mm levels' resampling blurring both sides alike; a middle pass against every other
// voxel of the 1 mm fixed image saved no time; bench/RESULTS.md.)
void refineResult(const Pyramid& src, const PreparedFixed& fixed, const Start& start, const PipelineOptions& opts,
                  PipelineResult& res) {
    const PreparedFixed::Level& f0 = fixed.level(0);
    const Volume& s0 = *src.image[0];
    const LevelStart ls0 = levelStart(start, s0, src.grid[0], *f0.image, f0.grid);
    const ParamsToWorld frame = [&](const TransformParams& p) {
        return worldMatrix(p, ls0, s0, src.grid[0], *f0.image, f0.grid);
    };
    const RefinePairs withPair = [&](RefinePass pass, const std::function<void(Evaluator&)>& run) {
        const int h = pass == RefinePass::Coarse ? 1 : 0;
        const PreparedFixed::Level& f = fixed.level(h);
        CostPairOptions pairOpts;
        pairOpts.srcMask = src.mask[h].get();
        pairOpts.exactWeights = true;
        PreparedPair pair(*src.image[h], *f.image, h == 0 ? f.reference : fixed.refineReference(), pairOpts);
        WorldEvaluator ev(*src.image[h], src.grid[h], *f.image, f.grid, frame, opts.progress);
        run(ev);
    };
    RefineOptions ro = opts.refineOptions;
    ro.dof = opts.dof.count();
    if (opts.progress) opts.progress->levelBegin("precision");
    const RefineResult r = precisionStage(withPair, res.params, ro);
    if (opts.progress) opts.progress->levelEnd();
    if (r.cost < r.startCost) {
        res.params = r.params;
        res.cost = r.cost;
    }
    res.world = frame(res.params);
}

}  // namespace

// The header start as one world matrix, the same on every level: a translation that puts
// the moving centroid on the fixed one in world space.
static Start pipelineStart(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts) {
    Start start = opts.start;
    if (start.kind == StartKind::Header) {
        double wm[3];
        worldCentroid(moving, wm);
        const double* wf = fixed.centroid();
        start.world = Affine::translation(wm[0] - wf[0], wm[1] - wf[1], wm[2] - wf[2]);
    }
    return start;
}

PipelineResult refineSearched(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts,
                              const PipelineResult& searched) {
    PipelineResult res = searched;
    Pyramid src;
    if (!searched.ran || !(searched.cost < 0.0f) || !src.build(moving, opts.movingMask)) return res;
    for (int h = 0; h < PreparedFixed::kLevels; ++h) src.image[h]->stage = fixed.level(h).image->stage;
    refineResult(src, fixed, pipelineStart(moving, fixed, opts), opts, res);
    return res;
}

PipelineResult runPipeline(const Volume& moving, const Volume& fixed, const PipelineOptions& opts) {
    const std::unique_ptr<PreparedFixed> prepared = PreparedFixed::prepare(fixed, opts.fixedMask);
    // A volume too small for a single 1 mm voxel: nothing to register.
    if (!prepared) return PipelineResult();
    return runPipeline(moving, *prepared, opts);
}

PipelineResult runPipeline(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts) {
    PipelineResult res;
    Pyramid src;
    if (!src.build(moving, opts.movingMask)) return res;
    // The 1 mm pair is the largest: with the cost's memory sized for it now, the coarser
    // levels before it prepare their pairs without allocating.
    reserveCorrelationRatio(*src.image[0], *fixed.level(0).image);

    TransformParams candidates[3];
    TransformParams best;
    const Dof& dof = opts.dof;
    const Start start = pipelineStart(moving, fixed, opts);

    // One level: banner, the source staged like the fixed level (the bin count), the cost
    // pair prepared for the level's search only, and the source level released right after.
    auto level = [&](const char* name, int h, auto&& search) {
        searchPrintf("\n========= %s ===========\n", name);
        {
            Volume& s = *src.image[h];
            const PreparedFixed::Level& ref = fixed.level(h);
            const Volume& r = *ref.image;
            LevelReport report(name, r);
            s.stage = r.stage;
            CostPairOptions pairOpts;
            pairOpts.srcMask = src.mask[h].get();
            PreparedPair pair(s, r, ref.reference, pairOpts);
            const LevelStart ls = levelStart(start, s, src.grid[h], r, ref.grid);
            StartedEvaluator ev(s, r, ls, opts.progress);
            if (opts.progress) opts.progress->levelBegin(name);
            search(ev, ls);
            if (opts.progress) opts.progress->levelEnd();
        }
        // The precision stage comes back to the 2 mm level.
        if (h != 1 || !opts.refine) {
            src.image[h].reset();
            src.mask[h].reset();
        }
    };
    // After the 1 mm search: the precision stage, and the world matrices.
    auto finish = [&](const LevelStart& ls) {
        const PreparedFixed::Level& ref = fixed.level(0);
        auto world = [&] { return worldMatrix(res.params, ls, *src.image[0], src.grid[0], *ref.image, ref.grid); };
        res.searchWorld = world();
        if (opts.refine && res.cost < 0.0f) refineResult(src, fixed, start, opts, res);
        res.world = world();
    };
    if (opts.search == SearchKind::Wide) {
        // From 4 mm on; the finer levels search relative to the orientation found, with
        // parameters that mean one transform on every level.
        WideSearch wide;
        wide.dof = dof;
        Rot3 frame = identityRotation();
        const float sv[3] = {moving.dx, moving.dy, moving.dz};
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
        src.image[3].reset();
        src.mask[3].reset();
        if (dof.paramFree(6)) {
            const PreparedFixed::Level& ref = fixed.level(2);
            double ratio = headSizeRatio(*src.image[2], src.grid[2], src.mask[2].get(), *ref.image, ref.grid,
                                         ref.mask.get());
            // The search's scale acts on top of the start: a given matrix may size already.
            const double sized = std::cbrt(std::fabs(start.world.determinant3()));
            if (start.kind == StartKind::Matrix && std::isfinite(sized) && sized > 0.0) ratio /= sized;
            wide.scale = (float)ratio;
            if (verbose()) std::fprintf(stderr, "tarvo: wide search head size ratio %.3f\n", (double)wide.scale);
        }
        level("4mm", 2, [&](Evaluator& ev, const LevelStart& ls) { wideSearch4mm(ev, wide, geometry(ls, 2)); });
        level("2mm", 1, [&](Evaluator& ev, const LevelStart& ls) {
            const LevelGeometry g = geometry(ls, 1);
            wideSearch2mm(ev, wide, g);
            if (!wide.candidates.empty()) {
                frame = wide.candidates[0].frame;
                best = wide.candidates[0].params;
            }
            FramedEvaluator fev(ev, frame, g);
            stage2mm(fev, best, dof, false);
        });
        level("1mm", 0, [&](Evaluator& ev, const LevelStart& ls) {
            const LevelGeometry g = geometry(ls, 0);
            FramedEvaluator fev(ev, frame, g);
            TransformParams relative;
            res.cost = stage1mm(fev, best, relative, dof);
            // The 1 mm cost's own parameters: what worldMatrix reads.
            if (res.cost < 0.0f) res.params = levelParams(relative, frame, g);
            finish(ls);
        });
        res.ran = true;
        return res;
    }
    level("8mm", 3, [&](Evaluator& ev, const LevelStart&) { globalSearch8mm(ev, candidates, dof); });
    level("4mm", 2, [&](Evaluator& ev, const LevelStart&) { stage4mm(ev, candidates, best, dof); });
    level("2mm", 1, [&](Evaluator& ev, const LevelStart&) { stage2mm(ev, best, dof); });
    level("1mm", 0, [&](Evaluator& ev, const LevelStart& ls) {
        res.cost = stage1mm(ev, best, res.params, dof);
        finish(ls);
    });
    res.ran = true;
    return res;
}

