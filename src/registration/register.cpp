#include "registration/register.h"

#include <cstdio>
#include <vector>

#include "device/costfunction.h"
#include "device/device.h"
#include "registration/cost.h"
#include "registration/levelreport.h"
#include "registration/global.h"
#include "registration/pipeline.h"
#include "registration/searchlog.h"
#include "volume/resample.h"

float selectBestStart(TransformParams* slots, float* costs, int n) {
    float best = costs[0];
    for (int i = 0; i < n; ++i) {
        if (best > costs[i]) {
            std::swap(slots[0], slots[i]);
            std::swap(costs[0], costs[i]);
            best = costs[0];
        }
    }
    return best;
}

float stage4mm(Evaluator& ev, const TransformParams candidates[3], TransformParams& bestParams,
               const Dof& dof) {
    constexpr int kStarts = 11;
    // Without a free scale the four scale starts would repeat the first one.
    const int starts = dof.isoScaleFree() ? kStarts : 7;
    const RestrictedSweep sweep(kStartSweep, dof);
    std::vector<SweepChain> chains;
    chains.reserve(3 * kStarts);
    for (int m = 0; m < 3; ++m) {
        for (int s = 0; s < starts; ++s) {
            TransformParams p = candidates[m];
            switch (s) {
                case 1: p[0] = p[0] - 9.0f; break;
                case 2: p[0] = p[0] + 9.0f; break;
                case 3: p[1] = p[1] - 9.0f; break;
                case 4: p[1] = p[1] + 9.0f; break;
                case 5: p[2] = p[2] - 9.0f; break;
                case 6: p[2] = p[2] + 9.0f; break;
                default:
                    if (s >= 7) {
                        static constexpr float kScaleStep[4] = {-0.02f, 0.02f, -0.04f, 0.04f};
                        const float d = kScaleStep[s - 7];
                        p[6] = p[6] + d;
                        p[7] = p[7] + d;
                        p[8] = p[8] + d;
                    }
                    break;
            }
            chains.emplace_back(sweep, p);
        }
    }
    runChains(ev, chains);

    const int n = (int)chains.size();
    TransformParams slots[3 * kStarts];
    float costs[3 * kStarts];
    for (int i = 0; i < n; ++i) {
        slots[i] = chains[i].params;
        costs[i] = chains[i].result();
    }
    const float best = selectBestStart(slots, costs, n);
    bestParams = slots[0];
    const TransformParams& b = bestParams;
    searchPrintf("%d:rotation(%f,%f,%f),trans(%f,%f,%f),scale(%f),value is:%f\n", 0, (double)b[0],
                (double)b[1], (double)b[2], (double)b[3], (double)b[4], (double)b[5], (double)b[6],
                (double)best);
    return best;
}

void stage2mm(Evaluator& ev, TransformParams& p, const Dof& dof, bool commonScale) {
    float v;
    if (commonScale || !dof.paramFree(6)) {
        v = runSweep(ev, RestrictedSweep(kSweep7Dof2mm, dof), p);
        searchPrintf("7 DOF 2mm:rotation(%f,%f,%f),trans(%f,%f,%f),scale(%f),value is:%f\n",
                    (double)p[0], (double)p[1], (double)p[2], (double)p[3], (double)p[4], (double)p[5],
                    (double)p[6], (double)v);
    }
    v = runSweep(ev, RestrictedSweep(kSweep9Dof2mm, dof), p);
    searchPrintf(
        "9 DOF 2mm:rotation(%f,%f,%f),trans(%f,%f,%f),scale(%f,%f,%f),value is:%f\n",
        (double)p[0], (double)p[1], (double)p[2], (double)p[3], (double)p[4], (double)p[5],
        (double)p[6], (double)p[7], (double)p[8], (double)v);
    v = runSweep(ev, RestrictedSweep(kSweep12Dof2mm, dof), p);
    searchPrintf(
        "12 DOF 2mm:rotation(%f,%f,%f),trans(%f,%f,%f),scale(%f,%f,%f),skew(%f,%f,%f),value "
        "is:%f\n",
        (double)p[0], (double)p[1], (double)p[2], (double)p[3], (double)p[4], (double)p[5],
        (double)p[6], (double)p[7], (double)p[8], (double)p[9], (double)p[10], (double)p[11],
        (double)v);
}

float stage1mm(Evaluator& ev, TransformParams& bestParams, TransformParams& result, const Dof& dof) {
    TransformParams work = bestParams;
    const float v = runSweep(ev, RestrictedSweep(kSweep12Dof1mm, dof), work);
    bestParams = work;
    // Not below zero (nothing measured, or NaN): keep the identity.
    if (v < 0.0f) result = bestParams;
    searchPrintf(
        "12 DOF 1mm:Rotate:(%f,%f,%f),Translate:(%f,%f,%f),Scale:(%f,%f,%f),Skew:(%f,%f,%f),value "
        "is:%f\n",
        (double)work[0], (double)work[1], (double)work[2], (double)work[3], (double)work[4],
        (double)work[5], (double)work[6], (double)work[7], (double)work[8], (double)work[9],
        (double)work[10], (double)work[11], (double)v);
    return v;
}

TransformParams& registerVolumes(TransformParams& result, const Volume& src, const Volume& ref) {
    const long long start = clockMs();
    PipelineOptions opts;
    opts.start.kind = StartKind::Centroid;
    const PipelineResult r = runPipeline(src, ref, opts);
    result = r.params;
    if (!r.ran) return result;
    const float elapsed = (float)((double)(float)(clockMs() - start) / 1000.0);
    searchPrintf("\n\n registration time (without data read and write) used: %.3fs,global count is: %d\n",
                 (double)elapsed, globalCount);
    searchPrintf("\n\n total time for CR Calculation: %.3fs\n", (double)crTotalTime);
    return result;
}


TransformParams& registerVolumesWide(TransformParams& result, const Volume& src, const Volume& ref) {
    const long long start = clockMs();
    TransformParams bestParams;
    result = TransformParams();

    VolumePtr src1 = isotropicResample(src, 1.0f, 1.0f, 1.0f);
    VolumePtr ref1 = isotropicResample(ref, 1.0f, 1.0f, 1.0f);
    // A volume too small for a single 1 mm voxel: nothing to register.
    if (!src1 || !ref1) return result;
    VolumePtr src2 = halfSample(*src1);
    VolumePtr src4 = halfSample(*src2);
    // The wide search starts at 4 mm.
    VolumePtr ref2 = halfSample(*ref1);
    VolumePtr ref4 = halfSample(*ref2);

    // One level: banner, stage (the bin count) on both volumes, the cost pair prepared for
    // the level's search only, and the level's volumes released right after it.
    auto level = [](const char* name, int stage, VolumePtr& s, VolumePtr& r, auto&& search) {
        searchPrintf("\n========= %s ===========\n", name);
        {
            LevelReport report(name, *r);
            r->stage = (int16_t)stage;
            s->stage = (int16_t)stage;
            initCorrelationRatio(*s, *r);
            DeviceEvaluator ev(*s, *r);
            search(ev);
            freeCorrelationRatio();
        }
        s.reset();
        r.reset();
    };
    {
        // The finer levels search relative to the orientation the wide search found.
        WideSearch wide;
        const float sv[3] = {src.dx, src.dy, src.dz}, rv[3] = {ref.dx, ref.dy, ref.dz};
        auto geometry = [&](int halvings, const Volume& r) { return levelGeometry(sv, rv, halvings, r.center); };
        level("4mm", 2, src4, ref4, [&](Evaluator& ev) { wideSearch4mm(ev, wide, geometry(2, *ref4)); });
        Rot3 frame = identityRotation();
        level("2mm", 3, src2, ref2, [&](Evaluator& ev) {
            const LevelGeometry g = geometry(1, *ref2);
            wideSearch2mm(ev, wide, g);
            if (!wide.candidates.empty()) {
                frame = wide.candidates[0].frame;
                bestParams = wide.candidates[0].params;
            }
            FramedEvaluator fev(ev, frame, g);
            stage2mm(fev, bestParams);
        });
        level("1mm", 4, src1, ref1, [&](Evaluator& ev) {
            const LevelGeometry g = geometry(0, *ref1);
            FramedEvaluator fev(ev, frame, g);
            // The result is the transform the levels agreed on, for the volumes as they are;
            // "12 DOF 1mm:" shows the parameters relative to the frame, the line after it
            // the result.
            TransformParams relative;
            const float v = stage1mm(fev, bestParams, relative);
            const LevelGeometry whole = originalGeometry(sv);
            if (v < 0.0f) result = levelParams(relative, frame, whole);
            const TransformParams w = levelParams(bestParams, frame, whole);
            searchPrintf(
                "wide 1mm:Rotate:(%f,%f,%f),Translate:(%f,%f,%f),Scale:(%f,%f,%f),Skew:(%f,%f,%f),"
                "value is:%f\n",
                (double)w[0], (double)w[1], (double)w[2], (double)w[3], (double)w[4], (double)w[5],
                (double)w[6], (double)w[7], (double)w[8], (double)w[9], (double)w[10], (double)w[11],
                (double)v);
        });
    }

    const float elapsed = (float)((double)(float)(clockMs() - start) / 1000.0);
    searchPrintf("\n\n registration time (without data read and write) used: %.3fs,global count is: %d\n",
                 (double)elapsed, globalCount);
    searchPrintf("\n\n total time for CR Calculation: %.3fs\n", (double)crTotalTime);
    return result;
}
