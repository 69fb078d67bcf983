// The correlation-ratio cost on the CPU: preparing the reference and the pair, and the
// evaluation of a batch of matrices. Twin of cuda/costfunction.cu; the prepared pair is
// described in costpair.h.
//
// One evaluation, from the whole down to a lane. Work is left out in three places (SKIP),
// none of which changes a bit of any cost:
//   - Remembered costs (SKIP), above the device: the registration's StartedEvaluator
//     keeps the last few parameter sets of a level with their costs (RecentCosts,
//     registration/search.h) and asks the device only for the others.
//   - Batch: calcCorrelationRatio hands out (matrix, task) pairs to the pool; a task is a
//     run of chunks of about kTaskVoxels voxels, and every chunk writes its own (s, q, n),
//     so the threads cannot change a result. The chunk sums are then added up bin by bin
//     in chunk order.
//   - Tile (SKIP): the reference is laid out in cubic tiles of kTile voxels
//     (layOutReference), and a chunk is a bin's run inside one tile. cpuChunkSums takes
//     the chunks of one tile at a time and asks sampleFreeSums whether the tile's sums are
//     known without sampling: all of its positions outside the source (nothing counts),
//     or all inside blocks of the source that hold only zeros (each voxel adds 0, 0, 1),
//     decided from the tile's corners against Pair::nonzeroBlocks (buildNonzeroBlocks).
//     Such a tile is filled in, not sampled.
//   - Group of eight (SKIP): the tiles that are sampled go to the scalar path
//     (cost_scalar.cpp) or the vector path (cost_avx2.cpp), both taking a chunk's voxels
//     eight at a time, voxel v in lane v % 8. On the vector path a group with no lane
//     inside the source reads nothing, and for large trilinear sources a group whose
//     samples all read zeros is counted without reading them, from the bit per offset of
//     Pair::zeroCubes (markZeroCubes).
//   - Lane: one sample per lane (trilinear or point, as the texture would), added to the
//     lane's running s, q and n; the eight lanes of a chunk are folded by foldLanes8 in a
//     fixed order, the same on both paths.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "device/cpu/costpair.h"
#include "device/cpu/cpu_device.h"
#include "device/cpu/simd.h"
#include "device/kernels.h"

namespace {

// Most voxels in one cost chunk (a bin's run inside a tile). Fixed, like the tiles, so
// that the grouping of the partial sums (and thus every cost) is the same for any thread
// count.
constexpr uint32_t kChunk = 4096;
// Edge of the reference tiles, in voxels: the source positions of one tile, under any
// rotation, fit a box of about 56^3 voxels (the tile's diagonal), which a core's second-
// level cache holds; and a tile holds enough voxels of a bin to fill the vector lanes.
// Measured (bench/costcache): against storage order inside each bin, 32-voxel tiles cut the
// second-level misses at 1 mm from 0.6-0.9 per voxel to 0.05, the compulsory rate.
constexpr int kTile = 32;
// Voxels per hand-out to a worker: enough that handing out is noise, few enough that the
// smallest levels still spread over every core.
constexpr uint32_t kTaskVoxels = 16384;
// Padded sources from this size on have their rows prefetched by the vector path, and their
// zero samples counted without reading them (Pair::zeroCubes). A 1 mm
// head (about 35 MB) outgrows the shared last-level cache, so under a rotation most new
// rows come from memory, and asking for them eight groups ahead made the 1 mm level 1.2-1.4
// times faster at 15-45 degrees. A 2 mm head (4 MB) is served by the last-level cache,
// where the extra work of asking made its level 10-30 % slower. The zero samples likewise:
// at 1 mm they made the cost 0-12 % faster for a head with its skull (rising with the turn)
// and 9-36 % for a brain-extracted one, at 2 mm 25 % slower for the first, whose smoothed
// background holds few exact zeros, and 2-14 % faster for the second.
constexpr size_t kPrefetchBytes = size_t(16) << 20;

}  // namespace

void CpuDevice::initCorrelationRatio(const Volume& src, const Volume& ref, int binCount,
                                     const CostPairOptions& opts) {
    pair_.reset();  // the old pair goes before the new one is built
    initCorrelationRatio(src, prepareReference(ref, binCount, opts.refMask), opts);
}

ReferencePtr CpuDevice::prepareReference(const Volume& ref, int binCount, const Volume* refMask) {
    if (binCount != 64 && binCount != 128 && binCount != 256) return nullptr;
    auto p = std::make_shared<Reference>();
    // The caller keeps the mask volume alive while the reference is prepared.
    const float* mask = refMask ? refMask->data : nullptr;
    kern::V3 rc = kern::truncatedCenter({ref.center[0], ref.center[1], ref.center[2]});
    p->refC[0] = rc.x;
    p->refC[1] = rc.y;
    p->refC[2] = rc.z;
    p->binCount = binCount;

    // Each voxel's bin; binCount marks voxels outside every bin.
    const uint32_t width = 256u / (uint32_t)binCount;
    const size_t nr = ref.count();
    std::vector<uint32_t> counts(binCount + 1, 0);
    std::vector<uint16_t> bins(nr);
    for (size_t v = 0; v < nr; ++v) {
        uint32_t b = kern::binOf(kern::maskedReference(ref.data[v], mask, (int64_t)v), width);
        bins[v] = (uint16_t)(b < (uint32_t)binCount ? b : (uint32_t)binCount);
        counts[bins[v]]++;
    }
    p->pivots.assign(binCount + 1, 0);
    for (int k = 1; k <= binCount; ++k) p->pivots[k] = p->pivots[k - 1] + counts[k - 1];
    layOutReference(*p, ref, bins, counts);
    return p;
}

static void buildNonzeroBlocks(cpucost::Pair& p);

void markZeroCubes(cpucost::Pair& p, ThreadPool& pool) {
    const size_t w = (size_t)p.sx + 2, ny = (size_t)p.sy, nz = (size_t)p.sz, slice = w * ny;
    std::vector<uint8_t> flag(nz * slice + 32, 0);
    const float* d = p.rowsPadded.data();
    pool.parallelFor(nz, [&](size_t k) {
        const size_t k1 = std::min(k + 1, nz - 1);
        for (size_t j = 0; j < ny; ++j) {
            const size_t j1 = std::min(j + 1, ny - 1);
            const float *r0 = d + k * slice + j * w, *r1 = d + k * slice + j1 * w;
            const float *r2 = d + k1 * slice + j * w, *r3 = d + k1 * slice + j1 * w;
            uint8_t* out = &flag[k * slice + j * w];
            bool last = r0[0] == 0.0f && r1[0] == 0.0f && r2[0] == 0.0f && r3[0] == 0.0f;
            for (size_t x = 0; x + 1 < w; ++x) {
                const bool next = r0[x + 1] == 0.0f && r1[x + 1] == 0.0f && r2[x + 1] == 0.0f && r3[x + 1] == 0.0f;
                out[x] = last && next;
                last = next;
            }
        }
    });
    p.zeroCubes.assign(flag.size() / 32, 0);
    pool.parallelFor(p.zeroCubes.size() / 4096 + 1, [&](size_t part) {
        for (size_t i = part * 4096; i < std::min(p.zeroCubes.size(), (part + 1) * 4096); ++i) {
            uint32_t word = 0;
            for (int b = 0; b < 32; ++b) word |= uint32_t(flag[32 * i + b]) << b;
            p.zeroCubes[i] = word;
        }
    });
}

void CpuDevice::initCorrelationRatio(const Volume& src, ReferencePtr ref, const CostPairOptions& opts) {
    pair_.reset();
    auto r = std::dynamic_pointer_cast<const Reference>(ref);
    if (!r) return;
    auto p = std::make_unique<Pair>();
    const size_t ns = src.count();
    p->src.assign(src.data, src.data + ns);
    p->sx = src.x;
    p->sy = src.y;
    p->sz = src.z;
    // Point sampling for coarse sources, as the GPU texture is set up; NaN stays linear.
    p->linear = !(src.dx >= 4.0f);
    p->rules = rules_;
    // The caller keeps the mask volumes alive while the pair is prepared.
    p->srcMask = opts.srcMask ? opts.srcMask->data : nullptr;
    if (p->linear && !p->srcMask && simdAvailable()) {
        const size_t w = (size_t)src.x + 2, rows = (size_t)src.y * src.z;
        p->rowsPadded.resize(w * rows);
        for (size_t r = 0; r < rows; ++r) {
            const float* in = src.data + r * src.x;
            float* out = p->rowsPadded.data() + r * w;
            out[0] = in[0];
            std::memcpy(out + 1, in, src.x * sizeof(float));
            out[w - 1] = in[src.x - 1];
        }
        p->prefetch = p->rowsPadded.size() * sizeof(float) >= kPrefetchBytes;
        if (p->prefetch) markZeroCubes(*p, pool_);
    }
    if (!p->srcMask) buildNonzeroBlocks(*p);
    if (opts.exactWeights) p->rules.ties = kern::TieRule::Exact;  // sampling only: the reference is unchanged
    for (int a = 0; a < 3; ++a) p->srcC[a] = src.center[a];
    p->ref = std::move(r);
    pair_ = std::move(p);
}

// Counting sort by (tile, bin) in storage order, then the chunks and the hand-outs.
void CpuDevice::layOutReference(Reference& p, const Volume& ref, const std::vector<uint16_t>& bins,
                                const std::vector<uint32_t>& binSizes) {
    const int binCount = p.binCount;
    const int tx = (ref.x + kTile - 1) / kTile, ty = (ref.y + kTile - 1) / kTile, tz = (ref.z + kTile - 1) / kTile;
    const size_t tiles = (size_t)tx * ty * tz, keys = tiles * binCount;
    std::vector<uint32_t> runStart(keys + 1, 0);
    auto forEachVoxel = [&](const auto& fn) {
        size_t v = 0;
        for (int k = 0; k < ref.z; ++k)
            for (int j = 0; j < ref.y; ++j) {
                const size_t tileRow = ((size_t)(k / kTile) * ty + j / kTile) * tx;
                for (int i = 0; i < ref.x; ++i, ++v)
                    if (bins[v] != binCount) fn(i, j, k, (tileRow + i / kTile) * binCount + bins[v]);
            }
    };
    forEachVoxel([&](int, int, int, size_t key) { runStart[key + 1]++; });
    for (size_t r = 0; r < keys; ++r) runStart[r + 1] += runStart[r];
    p.tiles.resize(tiles);
    for (size_t t = 0; t < tiles; ++t) {
        const int at[3] = {(int)(t % tx), (int)(t / tx % ty), (int)(t / tx / ty)}, n[3] = {ref.x, ref.y, ref.z};
        for (int a = 0; a < 3; ++a) {
            p.tiles[t].lo[a] = (float)(at[a] * kTile);
            p.tiles[t].hi[a] = (float)(std::min((at[a] + 1) * kTile, n[a]) - 1);
        }
    }
    const size_t inside = runStart[keys];
    p.px.resize(inside);
    p.py.resize(inside);
    p.pz.resize(inside);
    std::vector<uint32_t> fill(runStart.begin(), runStart.end() - 1);
    forEachVoxel([&](int i, int j, int k, size_t key) {
        const uint32_t at = fill[key]++;
        p.px[at] = (float)i;
        p.py[at] = (float)j;
        p.pz[at] = (float)k;
    });

    uint32_t taskVoxels = 0;
    for (size_t key = 0; key < keys; ++key) {
        const uint32_t b = (uint32_t)(key % binCount), s = runStart[key], e = runStart[key + 1];
        if (s == e || binSizes[b] < 3) continue;  // a bin of fewer than three voxels contributes nothing
        for (uint32_t c = s; c < e; c += kChunk) {
            p.chunks.push_back({b, c, std::min(e, c + kChunk), (uint32_t)(key / binCount)});
            taskVoxels += std::min(e, c + kChunk) - c;
            if (taskVoxels >= kTaskVoxels) {
                p.tasks.push_back({p.tasks.empty() ? 0 : p.tasks.back().last, (uint32_t)p.chunks.size()});
                taskVoxels = 0;
            }
        }
    }
    const uint32_t done = p.tasks.empty() ? 0 : p.tasks.back().last;
    if (done < p.chunks.size()) p.tasks.push_back({done, (uint32_t)p.chunks.size()});
}

void CpuDevice::freeCorrelationRatio() {
    pair_.reset();
    aside_.reset();
}

// Preparing a pair copies and pads its source: 0.06-0.07 s for a 1 mm level of 5 million
// voxels, where one evaluation takes 0.03 s. Both pairs stay prepared instead, for the
// memory of a second source.
bool CpuDevice::swapCorrelationRatio() {
    std::swap(pair_, aside_);
    return true;
}

static void buildNonzeroBlocks(cpucost::Pair& p) {
    const int bx = (p.sx + kNonzeroBlock - 1) / kNonzeroBlock, by = (p.sy + kNonzeroBlock - 1) / kNonzeroBlock,
              bz = (p.sz + kNonzeroBlock - 1) / kNonzeroBlock;
    const size_t wx = (size_t)bx + 1, wxy = wx * ((size_t)by + 1);
    std::vector<uint32_t>& sat = p.nonzeroBlocks;
    sat.assign(wxy * ((size_t)bz + 1), 0);
    // Entry (i + 1, j + 1, k + 1) first marks block (i, j, k), then becomes the count of
    // marked blocks up to it on every axis.
    const float* d = p.src.data();
    for (int k = 0; k < p.sz; ++k)
        for (int j = 0; j < p.sy; ++j) {
            const float* row = d + ((size_t)k * p.sy + j) * p.sx;
            uint32_t* marks = &sat[(size_t)(k / kNonzeroBlock + 1) * wxy + (size_t)(j / kNonzeroBlock + 1) * wx + 1];
            for (int i = 0; i < p.sx; ++i)
                if (row[i] != 0.0f) marks[i / kNonzeroBlock] = 1;  // NaN too
        }
    for (size_t k = 1; k <= (size_t)bz; ++k)
        for (size_t j = 1; j <= (size_t)by; ++j)
            for (size_t i = 1; i <= (size_t)bx; ++i) {
                uint32_t* e = &sat[k * wxy + j * wx + i];
                *e += e[-1] + e[-(ptrdiff_t)wx] + e[-(ptrdiff_t)wxy] - e[-(ptrdiff_t)wx - 1] -
                      e[-(ptrdiff_t)wxy - 1] - e[-(ptrdiff_t)wxy - (ptrdiff_t)wx] +
                      e[-(ptrdiff_t)wxy - (ptrdiff_t)wx - 1];
            }
    p.bx = bx, p.by = by, p.bz = bz;
}

TileSums sampleFreeSums(const cpucost::Pair& p, const cpucost::Tile& t, const float* A) {
    if (p.nonzeroBlocks.empty()) return TileSums::Sample;
    const cpucost::Reference& r = *p.ref;
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    // The float positions of the voxels round five times, each time by at most 2^-24 of
    // the sum of the terms' sizes: err bounds how far they can lie from the corners' hull.
    double err = 0.0;
    for (int c = 0; c < 8; ++c) {
        const double e[3] = {(double)(c & 1 ? t.hi[0] : t.lo[0]) - r.refC[0],
                             (double)(c & 2 ? t.hi[1] : t.lo[1]) - r.refC[1],
                             (double)(c & 4 ? t.hi[2] : t.lo[2]) - r.refC[2]};
        for (int a = 0; a < 3; ++a) {
            const double t0 = (double)A[4 * a] * e[0], t1 = (double)A[4 * a + 1] * e[1], t2 = (double)A[4 * a + 2] * e[2];
            const double m = t0 + t1 + t2 + (double)A[4 * a + 3] + (double)p.srcC[a];
            lo[a] = std::min(lo[a], m);
            hi[a] = std::max(hi[a], m);
            err = std::max(err, (std::fabs(t0) + std::fabs(t1) + std::fabs(t2) + std::fabs((double)A[4 * a + 3]) +
                                 std::fabs((double)p.srcC[a])) * 0x1p-21);
        }
    }
    const double n[3] = {(double)p.sx, (double)p.sy, (double)p.sz};
    for (int a = 0; a < 3; ++a)
        if (hi[a] + err < -1.0 || lo[a] - err > n[a] + 1.0) return TileSums::Outside;
    // Written so that NaN positions fail: they are sampled. So are matrices whose terms are
    // so large that their rounding could reach the spare voxel.
    if (!(err <= 0.25)) return TileSums::Sample;
    for (int a = 0; a < 3; ++a)
        if (!(lo[a] >= 1.0 && hi[a] <= n[a] - 1.0)) return TileSums::Sample;
    // The voxels a sample reads: floor(m - 0.5) and the next (trilinear), floor(m) (point),
    // one more on either side.
    int b0[3], b1[3];
    for (int a = 0; a < 3; ++a) {
        const int i0 = std::max(0, (int)std::floor(lo[a] - 0.5) - 1);
        const int i1 = std::min((int)n[a] - 1, (int)std::floor(hi[a] - 0.5) + 2);
        b0[a] = i0 / kNonzeroBlock;
        b1[a] = i1 / kNonzeroBlock + 1;  // exclusive, as a table index
    }
    const size_t wx = (size_t)p.bx + 1, wxy = wx * ((size_t)p.by + 1);
    auto at = [&](int i, int j, int k) { return (int64_t)p.nonzeroBlocks[(size_t)k * wxy + (size_t)j * wx + i]; };
    const int64_t marked = at(b1[0], b1[1], b1[2]) - at(b0[0], b1[1], b1[2]) - at(b1[0], b0[1], b1[2]) -
                           at(b1[0], b1[1], b0[2]) + at(b0[0], b0[1], b1[2]) + at(b0[0], b1[1], b0[2]) +
                           at(b1[0], b0[1], b0[2]) - at(b0[0], b0[1], b0[2]);
    return marked == 0 ? TileSums::Zero : TileSums::Sample;
}

// Runs of chunks of one tile at a time: tiles known without sampling are filled in, the
// others sampled. A zero sample adds +0 to s and q and 1 to n in every lane and under
// every grouping (counts stay exact integers in float), so the sums are those of sampling
// to the bit.
void cpuChunkSums(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                  float* out) {
    const bool vector = simdAvailable() && !p.srcMask;  // the vector path knows no moving mask
    for (size_t c = 0; c < count;) {
        size_t e = c + 1;
        while (e < count && chunks[e].tile == chunks[c].tile) ++e;
        const TileSums known = sampleFreeSums(p, p.ref->tiles[chunks[c].tile], A);
        if (known == TileSums::Sample) {
            (vector ? simdChunkSums : scalarChunkSums)(p, A, chunks + c, e - c, out + 3 * c);
        } else {
            for (size_t k = c; k < e; ++k) {
                out[3 * k] = out[3 * k + 1] = 0.0f;
                out[3 * k + 2] = known == TileSums::Zero ? (float)(chunks[k].end - chunks[k].begin) : 0.0f;
            }
        }
        c = e;
    }
}

void CpuDevice::calcCorrelationRatio(const float* matrices, int n, float* results) {
    const Pair& p = *pair_;
    const Reference& r = *p.ref;
    const size_t nc = r.chunks.size(), nt = r.tasks.size();
    std::vector<float>& part = pair_->partials;
    part.resize((size_t)n * nc * 3);
    // Every chunk writes its own sums, so how the hand-outs fall on the threads cannot
    // change any result.
    pool_.parallelFor((size_t)n * nt, [&](size_t t) {
        const size_t m = t / nt;
        const Task& task = r.tasks[t % nt];
        cpuChunkSums(p, matrices + 16 * m, &r.chunks[task.first], task.last - task.first,
                     &part[3 * (m * nc + task.first)]);
    });
    for (int m = 0; m < n; ++m) {
        float S[256] = {0}, Q[256] = {0}, N[256] = {0};
        const float* pm = &part[(size_t)m * nc * 3];
        for (size_t c = 0; c < nc; ++c) {
            uint32_t b = r.chunks[c].bin;
            S[b] += pm[3 * c];
            Q[b] += pm[3 * c + 1];
            N[b] += pm[3 * c + 2];
        }
        results[m] = kern::correlationRatioFromBins(S, Q, N, r.binCount);
    }
}
