// The GPU backend's working memory, on the host: the ledger, the bounds of one cost pair,
// and the book that says which buffers a new pair makes grow.
#include <gtest/gtest.h>

#include <algorithm>

#include "device/costchunks.h"
#include "device/scratch.h"

using namespace scratch;

TEST(Scratch, LedgerCountsAllocationsAndKeepsThePeak) {
    Ledger l;
    int a, b, c;
    l.allocated(&a, 100);
    l.allocated(&b, 50);
    l.freed(&a);
    l.allocated(&c, 70);
    l.freed(&b);
    l.freed(&b);       // twice: nothing more
    l.freed(nullptr);  // never allocated
    EXPECT_EQ(l.allocations(), 3u);
    EXPECT_EQ(l.bytesInUse(), 70u);
    EXPECT_EQ(l.peakBytes(), 150u);
}

namespace {
// The pyramid of a registration: a 1 mm pair, then three half-samplings ((n + 1) / 2).
struct Level {
    int64_t sx, sy, sz, rx, ry, rz;
};
std::vector<Level> pyramid(Level l) {
    std::vector<Level> out{l};
    for (int i = 0; i < 3; ++i) {
        Level& p = out.back();
        out.push_back({(p.sx + 1) / 2, (p.sy + 1) / 2, (p.sz + 1) / 2, (p.rx + 1) / 2, (p.ry + 1) / 2, (p.rz + 1) / 2});
    }
    return {out.rbegin(), out.rend()};  // coarsest first, as the levels run
}
Needs needsOf(const Level& l) { return pairNeeds(l.sx, l.sy, l.sz, (uint64_t)(l.rx * l.ry * l.rz)); }
}  // namespace

TEST(Scratch, ReservingForTheFinestLevelLeavesNothingToGrow) {
    for (Level finest : {Level{182, 218, 182, 182, 218, 182}, Level{256, 256, 170, 193, 229, 193}, Level{9, 7, 5, 11, 3, 4}}) {
        const std::vector<Level> levels = pyramid(finest);
        Book reserved;
        EXPECT_FALSE(reserved.grow(needsOf(finest)).empty());
        for (const Level& l : levels) EXPECT_TRUE(reserved.grow(needsOf(l)).empty()) << l.sx;
        // A batch larger than the page-locked rows held grows those alone.
        Needs big;
        big.n[HostRows] = 20000;
        EXPECT_EQ(reserved.grow(big), std::vector<int>{HostRows});

        // Without the reservation every level is larger than the one before and grows.
        Book unreserved;
        for (const Level& l : levels) EXPECT_FALSE(unreserved.grow(needsOf(l)).empty()) << l.sx;
    }
}

TEST(Scratch, TheArrayGrowsAsOneOnAnyAxis) {
    Book b;
    b.grow(pairNeeds(10, 20, 30, 0));
    EXPECT_TRUE(b.grow(pairNeeds(10, 20, 30, 0)).empty());
    EXPECT_EQ(b.grow(pairNeeds(10, 25, 3, 0)), std::vector<int>{kSlots});
    // Room for the edge copies beyond the volume, and the larger extent on every axis.
    EXPECT_EQ(b.capacity().arrayX, 11u);
    EXPECT_EQ(b.capacity().arrayY, 26u);
    EXPECT_EQ(b.capacity().arrayZ, 31u);
}

// Whatever the batch, a launch's arrays fit the batch bound of the pair; the layout keeps
// every array aligned and apart.
TEST(Scratch, EveryLaunchFitsTheBatchBound) {
    for (uint64_t voxels : {27ull, 5000ull, 900000ull, 7221032ull}) {
        const Needs need = pairNeeds(100, 100, 100, voxels);
        const uint32_t maxChunks = (uint32_t)(voxels / costchunks::kChunkVoxels + 256);
        for (uint32_t chunks : {1u, 7u, maxChunks / 2 + 1, maxChunks})
            for (uint32_t bins : {64u, 128u, 256u})
                for (uint32_t n : {1u, 33u, 343u, 8000u, 250000u}) {
                    const costchunks::LaunchPlan plan = costchunks::planLaunches(n, chunks, bins, 132);
                    const costchunks::RowLayout l = costchunks::rowLayout(plan.rowsPerLaunch, chunks, bins);
                    ASSERT_LE(l.total, need.n[Batch]) << voxels << " " << chunks << " " << n;
                    ASSERT_EQ(l.binSums % costchunks::kRowAlign, 0u);
                    ASSERT_LE(l.chunkSums + 16ull * plan.rowsPerLaunch * chunks, l.binSums);
                    ASSERT_EQ(l.matrixArrivals, l.binArrivals + (4ull * plan.rowsPerLaunch * bins + 255) / 256 * 256);
                }
    }
}

// A fixed image prepared before its first pair (a batch) sorts its levels in the same
// buffers as the pairs would, and leaves the source's array and the batch buffers alone:
// the first pair's reservation then allocates those once, and nothing is made twice.
TEST(Scratch, PreparingReferencesBorrowsOnlyTheSort) {
    const Level finest{256, 256, 170, 193, 229, 193};
    Book b;
    for (const Level& l : pyramid(finest)) {
        const Needs sort = sortNeeds((uint64_t)(l.rx * l.ry * l.rz));
        EXPECT_EQ(sort.arrayX + sort.n[RefCoords] + sort.n[ChunkTable] + sort.n[Batch] + sort.n[HostRows], 0u);
        for (int s = 0; s < kSlots; ++s) EXPECT_LE(sort.n[s], needsOf(l).n[s]) << "slot " << s;
        b.grow(sort);
    }
    const std::vector<int> grown = b.grow(needsOf(finest));
    for (int s : {RefVoxels, SortChunkCounts, SortSlices, SortTables})
        EXPECT_EQ(std::count(grown.begin(), grown.end(), s), 0) << "slot " << s << " grew again";
}
