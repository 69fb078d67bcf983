#include "registration/global.h"

#include <algorithm>
#include <cstdio>

#include "registration/searchlog.h"

std::vector<int> findLocalMinima(const float* fineCosts) {
    std::vector<int> list;
    for (int nz = 1; nz <= 18; ++nz)
        for (int ny = 1; ny <= 18; ++ny)
            for (int nx = 1; nx <= 18; ++nx) {
                const int s = fineSlot(nx, ny, nz);
                const float c = fineCosts[s];
                // Only the eight diagonal neighbours count, not the face and edge ones.
                bool minimum = true;
                for (int dz = -1; dz <= 1 && minimum; dz += 2)
                    for (int dy = -1; dy <= 1 && minimum; dy += 2)
                        for (int dx = -1; dx <= 1 && minimum; dx += 2)
                            if (!(c < fineCosts[fineSlot(nx + dx, ny + dy, nz + dz)]))
                                minimum = false;
                if (minimum) list.push_back(s);
            }
    return list;
}

void topUpMinima(std::vector<int>& list, const float* fineCosts) {
    while (list.size() < 3) {
        int best = -1;
        for (int nz = 0; nz < 20; ++nz)
            for (int ny = 0; ny < 20; ++ny)
                for (int nx = 0; nx < 20; ++nx) {
                    const int s = fineSlot(nx, ny, nz);
                    if (std::find(list.begin(), list.end(), s) != list.end()) continue;
                    if (best < 0 || fineCosts[s] < fineCosts[best]) best = s;
                }
        list.push_back(best);
    }
}

void chooseThree(std::vector<int>& list, const float* fineCosts) {
    const int count = (int)list.size();
    for (int i = 0; i < 3 && i < count; ++i)
        for (int j = i; j < count; ++j)
            if (fineCosts[list[i]] > fineCosts[list[j]]) std::swap(list[i], list[j]);
}

void slotRotation(int slot, TransformParams& p) {
    p[0] = fineAngle(slot % 21);
    p[1] = fineAngle((slot % 441) / 21);
    p[2] = fineAngle(slot / 441);
}

static void printCandidate(int i, const TransformParams& p, float value) {
    searchPrintf("%d:rotation(%f,%f,%f),trans(%f,%f,%f),scale(%f),value is:%f\n", i, (double)p[0],
                (double)p[1], (double)p[2], (double)p[3], (double)p[4], (double)p[5], (double)p[6],
                (double)value);
}

float globalSearch8mm(Evaluator& ev, TransformParams candidates[3], const Dof& dof) {
    const RestrictedSweep gridPointSweep(kGridPointSweep, dof), candidateSweep(kCandidateSweep, dof);
    // 1. Coarse lattice: translations and common scale optimised at each rotation.
    std::vector<float> coarseGrid(4 * kCoarseRecords);
    float meanScale;
    {
        std::vector<SweepChain> chains;
        chains.reserve(kCoarseRecords);
        for (int nz = 0; nz < 7; ++nz)
            for (int ny = 0; ny < 7; ++ny)
                for (int nx = 0; nx < 7; ++nx) {
                    TransformParams p;
                    p[0] = coarseAngle(nx);
                    p[1] = coarseAngle(ny);
                    p[2] = coarseAngle(nz);
                    chains.emplace_back(gridPointSweep, p);
                }
        runChains(ev, chains);
        // Records and the running sum in lattice order (chains were built in it).
        float sum = 0.0f;
        for (int r = 0; r < kCoarseRecords; ++r) {
            const TransformParams& p = chains[r].params;
            float* rec = &coarseGrid[4 * r];
            rec[0] = p[3];
            rec[1] = p[4];
            rec[2] = p[5];
            rec[3] = p[6];
            sum += p[6];
        }
        meanScale = sum / (float)kCoarseRecords;
    }

    // 2. Translations carried onto the fine lattice; every scale is the mean.
    std::vector<float> fineGrid(4 * kFineSlots, 0.0f);
    std::vector<float> fineCosts(kFineSlots, 0.0f);
    refineGrid(coarseGrid.data(), fineGrid.data(), meanScale);

    // 3. Every fine rotation at zero translation and unit scale.
    {
        std::vector<TransformParams> sets;
        std::vector<int> slots;
        sets.reserve(8000);
        slots.reserve(8000);
        for (int nz = 0; nz < 20; ++nz)
            for (int ny = 0; ny < 20; ++ny)
                for (int nx = 0; nx < 20; ++nx) {
                    TransformParams p;
                    p[0] = fineAngle(nx);
                    p[1] = fineAngle(ny);
                    p[2] = fineAngle(nz);
                    sets.push_back(p);
                    slots.push_back(fineSlot(nx, ny, nz));
                }
        std::vector<float> costs(sets.size());
        evaluateAll(ev, sets.data(), (int)sets.size(), costs.data());
        for (size_t i = 0; i < sets.size(); ++i) fineCosts[slots[i]] = costs[i];
    }

    // 4.-5. Local minima, topped up when there are fewer than three (a cost flat at
    // every rotation has none), then the three lowest to the front.
    std::vector<int> minimaList = findLocalMinima(fineCosts.data());
    const int minimaCount = (int)minimaList.size();
    topUpMinima(minimaList, fineCosts.data());
    chooseThree(minimaList, fineCosts.data());

    // 6. Candidates from the fine lattice.
    std::vector<SweepChain> chains;
    chains.reserve(3);
    for (int i = 0; i < 3; ++i) {
        const int s = minimaList[i];
        const float* rec = &fineGrid[4 * s];
        TransformParams& c = candidates[i];
        slotRotation(s, c);
        c[3] = rec[0];
        c[4] = rec[1];
        c[5] = rec[2];
        c[6] = c[7] = c[8] = rec[3];
        chains.emplace_back(candidateSweep, c);
    }

    // 7. Refinement, reported in candidate order.
    runChains(ev, chains);
    float best = fineCosts[minimaList[0]];
    for (int i = 0; i < 3; ++i) {
        candidates[i] = chains[i].params;
        const float c = chains[i].result();
        printCandidate(i, candidates[i], c);
        if (best > c) best = c;
    }
    searchPrintf("MedianScale is:%f,minimaCount is:%d\n", (double)meanScale, minimaCount);
    return best;
}
