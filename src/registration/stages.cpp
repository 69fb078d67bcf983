#include "registration/stages.h"

#include <utility>
#include <vector>

#include "registration/searchlog.h"

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
