#include "device/costchunks.h"

#include <algorithm>

namespace costchunks {

Sums foldLanes(Sums* lanes) {
    constexpr uint32_t warps = kLanes / kWarpLanes;
    Sums w[warps];
    for (uint32_t g = 0; g < warps; ++g) {
        Sums* l = lanes + g * kWarpLanes;
        for (uint32_t h = kWarpLanes / 2; h >= 1; h /= 2)
            for (uint32_t i = 0; i < h; ++i) addSums(l[i], l[i + h]);
        w[g] = l[0];
    }
    for (uint32_t h = warps / 2; h >= 1; h /= 2)
        for (uint32_t i = 0; i < h; ++i) addSums(w[i], w[i + h]);
    return w[0];
}

Sums chunkSums(const float* f, const uint8_t* counted, uint32_t count) {
    Sums lanes[kLanes];
    for (Sums& l : lanes) l = zeroSums();
    for (uint32_t v = 0; v < count; ++v)
        if (counted[v]) addSample(lanes[v % kLanes], f[v]);
    return foldLanes(lanes);
}

Sums binSums(const Sums* chunks, uint32_t count) {
    if (count == 0) return zeroSums();
    if (count == 1) return chunks[0];
    Sums lanes[kLanes];
    for (Sums& l : lanes) l = zeroSums();
    for (uint32_t c = 0; c < count; ++c) addSums(lanes[c % kLanes], chunks[c]);
    return foldLanes(lanes);
}

void pivotsFromFirsts(const uint32_t* firsts, int binCount, uint32_t count, uint32_t* pivots) {
    // pivots[k] = min over v >= k of firsts[v]: a suffix minimum, capped at count.
    uint32_t run = count;
    for (int k = binCount; k >= 1; --k) {
        run = std::min(run, firsts[k]);
        pivots[k] = run;
    }
    pivots[0] = 0;
}

ChunkTable buildChunkTable(const uint32_t* pivots, int binCount, uint32_t chunkVoxels) {
    std::vector<uint32_t> begin, end, bin, first((size_t)binCount + 1, 0u);
    ChunkTable t;
    t.binCount = (uint32_t)binCount;
    for (int b = 0; b < binCount; ++b) {
        first[b] = (uint32_t)begin.size();
        const uint32_t s = pivots[b], e = pivots[b + 1];
        if (e < s || e - s < 3) continue;  // fewer than three voxels: nothing to add
        ++t.binsWithChunks;
        for (uint64_t c = s; c < e; c += chunkVoxels) {
            begin.push_back((uint32_t)c);
            end.push_back((uint32_t)std::min<uint64_t>(e, c + chunkVoxels));
            bin.push_back((uint32_t)b);
        }
    }
    first[binCount] = (uint32_t)begin.size();
    t.chunks = (uint32_t)begin.size();
    t.all.reserve(3 * begin.size() + first.size());
    t.all.insert(t.all.end(), begin.begin(), begin.end());
    t.all.insert(t.all.end(), end.begin(), end.end());
    t.all.insert(t.all.end(), bin.begin(), bin.end());
    t.all.insert(t.all.end(), first.begin(), first.end());
    return t;
}

float ratioFromChunks(const ChunkTable& t, const Sums* chunks) {
    float S[256] = {0}, Q[256] = {0}, N[256] = {0};
    for (uint32_t b = 0; b < t.binCount; ++b) {
        const uint32_t c0 = t.binFirstChunk()[b], c1 = t.binFirstChunk()[b + 1];
        const Sums s = binSums(chunks + c0, c1 - c0);
        S[b] = s.s;
        Q[b] = s.q;
        N[b] = s.n;
    }
    return kern::correlationRatioFromBins(S, Q, N, (int)t.binCount);
}

uint64_t bytesPerRow(uint32_t chunks, uint32_t binCount) {
    return 16ull * chunks + 16ull * binCount + 4ull * binCount + 4 + 4 + 64;
}

RowLayout rowLayout(uint32_t rows, uint32_t chunks, uint32_t binCount) {
    RowLayout l;
    uint64_t at = 0;
    auto place = [&](uint64_t bytes) {
        const uint64_t here = at;
        at += (bytes + kRowAlign - 1) / kRowAlign * kRowAlign;
        return here;
    };
    const uint64_t r = rows;
    l.matrices = place(64 * r);
    l.chunkSums = place(16 * r * std::max<uint32_t>(chunks, 1));
    l.binSums = place(16 * r * binCount);
    l.binArrivals = place(4 * r * binCount);
    l.matrixArrivals = place(4 * r);
    l.results = place(4 * r);
    l.total = at;
    return l;
}

LaunchPlan planLaunches(uint32_t n, uint32_t chunks, uint32_t binCount, uint32_t multiprocessors,
                        uint32_t forcedMatricesPerBlock) {
    LaunchPlan p;
    // About eight waves of eight resident blocks per multiprocessor before a block takes a
    // second matrix: the per-block start-up (chunk table, coordinates into the cache) is
    // then spread over several matrices, and there is still work enough for every core.
    const uint64_t blocks = (uint64_t)n * std::max<uint32_t>(chunks, 1);
    const uint64_t enough = 64ull * std::max<uint32_t>(multiprocessors, 1);
    uint64_t per = blocks / enough;
    if (forcedMatricesPerBlock) per = forcedMatricesPerBlock;
    p.matricesPerBlock = (uint32_t)std::clamp<uint64_t>(per, 1, kMaxMatricesPerBlock);
    const uint64_t byMemory = std::max<uint64_t>(1, kBatchBytes / bytesPerRow(chunks, binCount));
    const uint64_t byGrid = (uint64_t)kMaxGridY * p.matricesPerBlock;
    p.rowsPerLaunch = (uint32_t)std::min<uint64_t>({(uint64_t)n, byMemory, byGrid});
    return p;
}

}  // namespace costchunks
