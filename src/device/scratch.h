#pragma once
// The GPU backend's working memory, on the host side: what one cost pair's set-up needs at
// most, the capacities held so far, which buffers must grow for a new pair, and a ledger of
// every allocation. A registration reserves for its finest level before the first, so the
// levels after it allocate (and free, which synchronises) nothing; the tests read the
// ledger to see that. All of it is host code, run and tested on the CPU.
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace scratch {

// Every device (and page-locked host) allocation of a backend, with the peak in use.
// Entered from any thread: two images are read (and uploaded) at once.
class Ledger {
public:
    void allocated(const void* p, uint64_t bytes);
    void freed(const void* p);
    uint64_t allocations() const { return locked(allocations_); }
    uint64_t bytesInUse() const { return locked(inUse_); }
    uint64_t peakBytes() const { return locked(peak_); }

private:
    uint64_t locked(const uint64_t& v) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return v;
    }
    mutable std::mutex mutex_;
    std::unordered_map<const void*, uint64_t> sizes_;
    uint64_t allocations_ = 0, inUse_ = 0, peak_ = 0;
};

// The buffers a cost pair keeps between set-ups; sizes in elements (bytes for Batch).
enum Slot : int {
    RefVoxels,        // float4: the reference voxels to sort; also the sort's own scratch
    RefCoords,        // uint32: the packed coordinates
    SortChunkCounts,  // uint32: slice counts per chunk of the sort's largest level
    SortSlices,       // uint32: slice totals
    SortTables,       // uint32: the four bucket tables of a level
    ChunkTable,       // uint32: the cost's chunk table
    Batch,            // bytes: the per-launch sums, counters and results of a batch
    HostRows,         // matrices: the page-locked staging of a batch
    kSlots
};

struct Needs {
    uint64_t n[kSlots] = {};
    // The source's 3D array: one plane beyond the volume on each axis holds copies of the
    // last plane, so that a larger array than the volume clamps exactly as the volume's own.
    uint64_t arrayX = 0, arrayY = 0, arrayZ = 0;
};

// Upper bounds for a pair of a source of sx x sy x sz voxels and a reference of refCount
// voxels, for any bin count, and for batches of up to hostRows matrices.
Needs pairNeeds(int64_t sx, int64_t sy, int64_t sz, uint64_t refCount, uint64_t hostRows = 8192);
// What sorting a reference of refCount voxels borrows: the voxels to sort and the sort's
// tables, nothing of a source or a batch. A shared prepared reference keeps its sorted
// coordinates and chunk table in buffers of its own.
Needs sortNeeds(uint64_t refCount);
// The larger of two needs, slot by slot.
Needs cover(const Needs& a, const Needs& b);

// Capacities held, and what must grow for the next need.
class Book {
public:
    // The slots whose capacity must be replaced for `need` (the array counts as one, kSlots),
    // with the capacities raised to cover it; the caller reallocates exactly those.
    std::vector<int> grow(const Needs& need);
    const Needs& capacity() const { return cap_; }
    void clear() { cap_ = Needs{}; }

private:
    Needs cap_;
};

}  // namespace scratch
