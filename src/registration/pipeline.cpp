#include "registration/pipeline.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "device/costfunction.h"
#include "device/device.h"
#include "device/kernels.h"
#include "registration/cost.h"
#include "registration/levelreport.h"
#include "registration/global.h"
#include "registration/refine.h"
#include "registration/register.h"
#include "registration/searchlog.h"
#include "volume/resample.h"

namespace {

// A volume and its mask (if any) at 1, 2, 4 and 8 mm, with where each level lies.
struct Pyramid {
    VolumePtr image[PreparedFixed::kLevels], mask[PreparedFixed::kLevels];
    WorldGrid grid[PreparedFixed::kLevels];

    bool build(const Volume& v, const Volume* m) {
        image[0] = isotropicResample(v, 1.0f, 1.0f, 1.0f);
        if (!image[0]) return false;
        if (m) mask[0] = isotropicResample(*m, 1.0f, 1.0f, 1.0f);
        const WorldGrid g = worldGridOf(v);
        for (int h = 0; h < PreparedFixed::kLevels; ++h) {
            if (h > 0) {
                image[h] = halfSample(*image[h - 1]);
                if (m) mask[h] = halfSample(*mask[h - 1]);
            }
            grid[h] = levelGrid(g, v, 1.0f, h);
        }
        return true;
    }
};

// The prepared pair of one level, released however the level ends.
struct PreparedPair {
    PreparedPair(const Volume& s, const Volume& r, const CostPairOptions& o) { initCorrelationRatio(s, r, o); }
    PreparedPair(const Volume& s, const Volume& r, const ReferencePtr& prepared, const CostPairOptions& o) {
        initCorrelationRatio(s, r, prepared, o);
    }
    ~PreparedPair() { freeCorrelationRatio(); }
    PreparedPair(const PreparedPair&) = delete;
    PreparedPair& operator=(const PreparedPair&) = delete;
};

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

bool nearlyIdentity(const double l[3][3]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (std::fabs(l[i][j] - (i == j ? 1.0 : 0.0)) > 1e-9) return false;
    return true;
}

// The bin count stage of level h (8 mm: 1 ... 1 mm: 4).
int16_t levelStage(int h) { return (int16_t)(PreparedFixed::kLevels - h); }

}  // namespace

std::unique_ptr<PreparedFixed> PreparedFixed::prepare(const Volume& fixed, const Volume* mask) {
    Pyramid p;
    if (!p.build(fixed, mask)) return nullptr;
    auto prepared = std::unique_ptr<PreparedFixed>(new PreparedFixed);
    worldCentroid(fixed, prepared->centroid_);
    prepared->voxel_[0] = fixed.dx;
    prepared->voxel_[1] = fixed.dy;
    prepared->voxel_[2] = fixed.dz;
    for (int h = 0; h < kLevels; ++h) {
        Level& l = prepared->levels_[h];
        l.image = std::move(p.image[h]);
        l.image->stage = levelStage(h);
        l.grid = p.grid[h];
        l.mask = std::move(p.mask[h]);
        l.reference = prepareReference(*l.image, l.mask.get());
    }
    return prepared;
}

void LevelStart::compose(const float m[16], float out[16]) const {
    if (identity) {
        for (int e = 0; e < 16; ++e) out[e] = m[e];
        return;
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            double v = 0;
            for (int k = 0; k < 3; ++k) v += linear[r][k] * (double)m[4 * k + c];
            if (c == 3) v += delta[r];
            out[4 * r + c] = (float)v;
        }
    }
    out[12] = out[13] = out[14] = 0.0f;
    out[15] = 1.0f;
}

WorldGrid levelGrid(const WorldGrid& grid, const Volume& original, float voxel, int halvings) {
    // The ratios exactly as the isotropic resampling computes them.
    WorldGrid g = grid.resampled(voxel / original.dx, voxel / original.dy, voxel / original.dz);
    for (int h = 0; h < halvings; ++h) g = g.resampled(2, 2, 2);
    return g;
}

void worldCentroid(const Volume& v, double out[3]) {
    const double c[3] = {v.center[0], v.center[1], v.center[2]};
    worldGridOf(v).voxelToWorld.apply(c, out);
}

Affine centroidTranslation(const Volume& moving, const Volume& fixed) {
    double wm[3], wf[3];
    worldCentroid(moving, wm);
    worldCentroid(fixed, wf);
    return Affine::translation(wm[0] - wf[0], wm[1] - wf[1], wm[2] - wf[2]);
}

static void truncatedRefCenter(const Volume& ref, double c[3]) {
    for (int a = 0; a < 3; ++a) c[a] = std::trunc(ref.center[a]);
}

LevelStart levelStart(const Start& start, const Volume& srcLevel, const WorldGrid& srcGrid,
                      const Volume& refLevel, const WorldGrid& refGrid) {
    LevelStart s;
    if (start.kind == StartKind::Centroid) return s;
    if (start.kind == StartKind::Header) {
        // Grids of one layout (the same axes and voxel sizes): exactly the plain search.
        const Affine g = srcGrid.worldToVoxel() * refGrid.voxelToWorld;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) s.linear[i][j] = g.a[i][j];
        if (nearlyIdentity(s.linear)) return LevelStart{};
    }
    const Affine w0 = start.kind == StartKind::Identity ? Affine::identity() : start.world;
    // Reference voxel -> source texture coordinate (voxel i sits at i + 0.5).
    const Affine g = Affine::translation(0.5, 0.5, 0.5) * srcGrid.worldToVoxel() * w0 * refGrid.voxelToWorld;
    double c[3], gc[3];
    truncatedRefCenter(refLevel, c);
    g.apply(c, gc);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) s.linear[i][j] = g.a[i][j];
        s.delta[i] = gc[i] - (double)srcLevel.center[i];
    }
    s.identity = false;
    return s;
}

Affine worldMatrix(const TransformParams& p, const LevelStart& s, const Volume& srcLevel,
                   const WorldGrid& srcGrid, const Volume& refLevel, const WorldGrid& refGrid) {
    Matrix m;
    composeAffine(p, m, srcLevel.dx, srcLevel.dy, srcLevel.dz);
    double c[3];
    truncatedRefCenter(refLevel, c);
    // Reference voxel r -> source texture coordinate L (M (r - c)) + delta + srcCenter.
    Affine g;
    for (int r = 0; r < 3; ++r) {
        double t = s.delta[r] + (double)srcLevel.center[r];
        for (int col = 0; col < 3; ++col) {
            double v = 0;
            for (int k = 0; k < 3; ++k) v += s.linear[r][k] * (double)m.data[4 * k + col];
            g.a[r][col] = v;
            t -= v * c[col];
        }
        for (int k = 0; k < 3; ++k) t += s.linear[r][k] * (double)m.data[4 * k + 3];
        g.a[r][3] = t;
    }
    return srcGrid.voxelToWorld * Affine::translation(-0.5, -0.5, -0.5) * g * refGrid.worldToVoxel();
}

void StartedEvaluator::evaluate(const TransformParams* p, int n, float* costs) {
    // Costs already known are counted as evaluations all the same: the printed count is
    // the number of costs the search asked for.
    std::vector<int> asked;
    for (int i = 0; i < n; ++i)
        if (!known_.find(p[i], costs[i])) asked.push_back(i);
    countKnownCosts(n - (int)asked.size());
    if ((int)asked.size() == n) {
        evaluateOnDevice(p, n, costs);
    } else if (!asked.empty()) {
        std::vector<TransformParams> q(asked.size());
        std::vector<float> c(asked.size());
        for (size_t j = 0; j < asked.size(); ++j) q[j] = p[asked[j]];
        evaluateOnDevice(q.data(), (int)q.size(), c.data());
        for (size_t j = 0; j < asked.size(); ++j) costs[asked[j]] = c[j];
    }
    for (int i : asked) known_.add(p[i], costs[i]);
    if (progress_) {
        progress_->evaluated(n);
        if (progress_->cancelled()) throw RegistrationCancelled{};
    }
}

void StartedEvaluator::evaluateOnDevice(const TransformParams* p, int n, float* costs) {
    if (start_.identity) {
        paramsCostBatch(src_, ref_, p, n, costs);
        return;
    }
    std::vector<float> matrices((size_t)n * 16);
    Matrix m;
    for (int i = 0; i < n; ++i) {
        composeAffine(p[i], m, src_.dx, src_.dy, src_.dz);
        start_.compose(m.data, &matrices[(size_t)i * 16]);
    }
    matrixCostBatch(src_, ref_, matrices.data(), n, costs);
}

void WorldEvaluator::evaluate(const TransformParams* p, int n, float* costs) {
    std::vector<float> matrices((size_t)n * 16);
    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int i = 0; i < n; ++i) {
        const Start at{StartKind::Matrix, frame_(p[i])};
        levelStart(at, src_, srcGrid_, ref_, refGrid_).compose(identity, &matrices[(size_t)i * 16]);
    }
    matrixCostBatch(src_, ref_, matrices.data(), n, costs);
    if (progress_) {
        progress_->evaluated(n);
        if (progress_->cancelled()) throw RegistrationCancelled{};
    }
}

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

bool costAt1mm(const Volume& moving, const Volume& fixed, const Start& start, float& cost) {
    VolumePtr s = isotropicResample(moving, 1.0f, 1.0f, 1.0f);
    VolumePtr r = s ? isotropicResample(fixed, 1.0f, 1.0f, 1.0f) : nullptr;
    if (!r) return false;
    s->stage = r->stage = 4;
    PreparedPair pair(*s, *r, CostPairOptions{});
    const LevelStart ls =
        levelStart(start, *s, levelGrid(worldGridOf(moving), moving, 1.0f, 0), *r, levelGrid(worldGridOf(fixed), fixed, 1.0f, 0));
    StartedEvaluator ev(*s, *r, ls, nullptr);
    const TransformParams identity;
    ev.evaluate(&identity, 1, &cost);
    return true;
}
