#pragma once
#include <cstdint>

#include <cstddef>

#include <vector_types.h>

namespace scratch {
class Ledger;
}

// The sort's working memory: a scratch copy of the elements and the per-level tables. An
// owner that sorts again and again keeps it (sized once for the largest sort); a sort that
// finds a buffer too small grows it, entering the allocation in the ledger when given.
struct SortScratch {
    float4* dTmpData = nullptr;
    unsigned* dChunkCounts = nullptr;  // per chunk and slice: count, then start in slice
    unsigned* dSliceCounts = nullptr;
    unsigned* dTables = nullptr;  // the four bucket tables of a level, one block
    size_t tmpCap = 0, chunkCountsCap = 0, sliceCountsCap = 0, tablesCap = 0;
    scratch::Ledger* ledger = nullptr;
    void release();
};

// Sorts `size` float4 elements of device memory in place, ascending by w; elements move
// whole, and elements of equal w keep their original order. Device failures end the
// process. Returns 0.
int bucketSort(float4* dData, uint32_t size);
// The same with the caller's scratch, which it leaves allocated.
int bucketSort(float4* dData, uint32_t size, SortScratch& scratch);
