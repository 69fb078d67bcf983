// The correlation-ratio cost on the GPU: the prepared pair (source texture, reference
// voxels sorted by bin, cut into bins and chunks) and the evaluation kernel, run for
// a whole batch of matrices per launch. The grouping of the sums is defined, and tested,
// on the host in device/costchunks.h; this file holds only what the GPU alone has.
//
// One launch evaluates a batch: block (chunk, group of matrices) sums its chunk for each of
// its matrices. A bin is finished by whichever of its chunk blocks arrives last, and a
// matrix by whichever of its bin finishers arrives last, so one launch (no second kernel)
// turns a batch into results. Who arrives last depends on timing, what it adds does not:
// the order of every sum is fixed by the table.
#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/costchunks.h"
#include "device/cuda/bucketsort.h"
#include "device/cuda/cuda_device.h"
#include "device/cuda/devmem.h"
#include "device/cuda/errors.h"
#include "device/cuda/texture.h"
#include "device/kernels.h"

namespace {

using costchunks::Sums;

constexpr unsigned kLanes = costchunks::kLanes;
constexpr unsigned kWarps = kLanes / costchunks::kWarpLanes;
// Samples each thread has in flight: enough independent texture fetches to hide their
// latency, few enough registers for several resident blocks.
constexpr unsigned kInFlight = 8;
static_assert(costchunks::kVoxelsPerLane % kInFlight == 0, "whole rounds");
// Matrices small launches carry in their parameters instead of a copy (12 floats each:
// the fourth row is not used).
constexpr unsigned kInlineRows = 40;

struct InlineMatrices {
    float a[kInlineRows * 12];
};

// Everything a launch reads and writes, apart from the coordinates and the inline matrices.
struct CostLaunch {
    const unsigned* chunkBegin;
    const unsigned* chunkEnd;
    const unsigned* chunkBin;
    const unsigned* binFirstChunk;
    unsigned chunks, binCount, binsWithChunks;
    kern::V3 refCenter, srcCenter;
    kern::Dim3 srcDim;
    cudaTextureObject_t tex;
    const float* srcMask;  // the moving mask on the source grid (device memory), or null
    // Trilinear blend with full float weights from eight point fetches (the texture is
    // then point-filtered) instead of the hardware's 8-bit weights.
    bool exactLinear;
    unsigned rows, matricesPerBlock;
    const float* matrices;    // 16 floats per row; null when the rows travel inline
    float4* chunkSums;        // [row][chunk], chunks of bins with several chunks only
    float4* binSums;          // [row][bin]
    unsigned* binArrivals;    // [row][bin], zero between launches
    unsigned* matrixArrivals; // [row], zero between launches
    float* results;           // [row]
};

// Reference coordinates: `load` fetches voxel v's stored form, `position` turns it into
// the voxel's (x, y, z). Split so that a round's loads are all issued before any waits.
struct PackedCoords {
    using Raw = uint32_t;
    const uint32_t* __restrict__ w;
    __device__ Raw load(unsigned v) const { return __ldg(&w[v]); }
    __device__ static kern::V3 position(Raw r) { return costchunks::unpackVoxel(r); }
};

// Grids too large to pack: the sorted (x, y, z, bin) voxels themselves.
struct Float4Coords {
    using Raw = float4;
    const float4* __restrict__ p;
    __device__ Raw load(unsigned v) const { return __ldg(&p[v]); }
    __device__ static kern::V3 position(Raw r) { return kern::V3{r.x, r.y, r.z}; }
};

__device__ __forceinline__ float4 toFloat4(const Sums& a) { return make_float4(a.s, a.q, a.n, 0.0f); }
__device__ __forceinline__ Sums fromFloat4(const float4& e) { return Sums{e.x, e.y, e.z}; }

// costchunks::foldLanes with one lane per thread; the result is valid in thread 0. The
// caller separates two calls by a block barrier (sWarp is reused).
__device__ Sums foldBlock(Sums a, Sums* sWarp) {
    const unsigned t = threadIdx.x, lane = t & 31u;
#pragma unroll
    for (unsigned h = 16; h >= 1; h /= 2) {
        Sums b;
        b.s = __shfl_down_sync(0xffffffffu, a.s, h);
        b.q = __shfl_down_sync(0xffffffffu, a.q, h);
        b.n = __shfl_down_sync(0xffffffffu, a.n, h);
        costchunks::addSums(a, b);
    }
    if (lane == 0) sWarp[t / 32] = a;
    __syncthreads();
    Sums r = costchunks::zeroSums();
    if (t == 0) {
        Sums w[kWarps];
#pragma unroll
        for (unsigned g = 0; g < kWarps; ++g) w[g] = sWarp[g];
#pragma unroll
        for (unsigned h = kWarps / 2; h >= 1; h /= 2)
#pragma unroll
            for (unsigned i = 0; i < h; ++i) costchunks::addSums(w[i], w[i + h]);
        r = w[0];
    }
    return r;
}

// The bins of matrix m folded as kern::correlationRatioFromBins does, one thread per bin.
__device__ __forceinline__ void finishMatrix(const CostLaunch& a, unsigned m, float* sS, float* sQ, float* sN,
                             float* sV) {
    const unsigned t = threadIdx.x, bins = a.binCount;
    if (t < bins) {
        Sums b = costchunks::zeroSums();
        if (__ldg(&a.binFirstChunk[t + 1]) > __ldg(&a.binFirstChunk[t]))
            b = fromFloat4(__ldcg(&a.binSums[(size_t)m * bins + t]));
        sS[t] = b.s;
        sQ[t] = b.q;
        sN[t] = b.n;
        sV[t] = kern::binVariance(b.s, b.q, b.n);
    }
    __syncthreads();
    for (unsigned h = bins / 2; h >= 1; h /= 2) {
        if (t < h) {
            sS[t] += sS[t + h];
            sQ[t] += sQ[t + h];
            sN[t] += sN[t + h];
            sV[t] += sV[t + h];
        }
        __syncthreads();
    }
    if (t == 0) a.results[m] = kern::ratioFromTotals(sS[0], sQ[0], sN[0], sV[0]);
}

// Block (c, g): chunk c for matrices g * matricesPerBlock ... of the launch, one after the
// other. Each thread keeps its lane's sums (voxels t, t + 256, ... of the chunk, in order).
template <class Coords>
__global__ void __launch_bounds__(kLanes)
calcCorrelationRatioKernel(const __grid_constant__ CostLaunch a, const Coords coords,
                           const __grid_constant__ InlineMatrices inl) {
    __shared__ Sums sWarp[kWarps];
    __shared__ float sS[256], sQ[256], sN[256], sV[256];
    __shared__ unsigned sBinDone, sMatrixDone;
    const unsigned t = threadIdx.x, c = blockIdx.x;
    const unsigned begin = __ldg(&a.chunkBegin[c]);
    const unsigned len = __ldg(&a.chunkEnd[c]) - begin;
    const unsigned bin = __ldg(&a.chunkBin[c]);
    const unsigned firstChunk = __ldg(&a.binFirstChunk[bin]);
    const unsigned binChunks = __ldg(&a.binFirstChunk[bin + 1]) - firstChunk;
    const float X = (float)a.srcDim.x, Y = (float)a.srcDim.y, Z = (float)a.srcDim.z;

    for (unsigned r = 0; r < a.matricesPerBlock; ++r) {
        const unsigned m = blockIdx.y * a.matricesPerBlock + r;
        if (m >= a.rows) return;  // the same for the whole block
        float A[12];
        if (a.matrices) {
#pragma unroll
            for (int e = 0; e < 12; ++e) A[e] = __ldg(&a.matrices[16 * (size_t)m + e]);
        } else {
#pragma unroll
            for (int e = 0; e < 12; ++e) A[e] = inl.a[12 * m + e];
        }

        Sums acc = costchunks::zeroSums();
#pragma unroll
        for (unsigned round = 0; round < costchunks::kVoxelsPerLane / kInFlight; ++round) {
            if (round * kInFlight * kLanes >= len) break;  // the same for the whole block
            // The round's coordinate loads, then its texture fetches, then the sums in voxel
            // order: no fetch waits for another.
            typename Coords::Raw raw[kInFlight];
#pragma unroll
            for (unsigned i = 0; i < kInFlight; ++i) {
                const unsigned k = t + kLanes * (round * kInFlight + i);
                raw[i] = k < len ? coords.load(begin + k) : typename Coords::Raw{};
            }
            float f[kInFlight];
            bool in[kInFlight];
#pragma unroll
            for (unsigned i = 0; i < kInFlight; ++i) {
                const unsigned k = t + kLanes * (round * kInFlight + i);
                in[i] = false;
                f[i] = 0.0f;
                if (k < len) {
                    const kern::V3 p = Coords::position(raw[i]);
                    const kern::V3 s = kern::costPosition(A, p.x, p.y, p.z, a.refCenter, a.srcCenter);
                    if (kern::insideInclusive(s, X, Y, Z) && kern::sourceSampleKept(a.srcMask, a.srcDim, s)) {
                        in[i] = true;
                        if (a.exactLinear) {
                            const cudaTextureObject_t tex = a.tex;
                            f[i] = kern::blendLinear(
                                [tex](int x, int y, int z) {
                                    return tex3D<float>(tex, (float)x + 0.5f, (float)y + 0.5f, (float)z + 0.5f);
                                },
                                a.srcDim, s.x, s.y, s.z, kern::TieRule::Exact);
                        } else {
                            f[i] = tex3D<float>(a.tex, s.x, s.y, s.z);
                        }
                    }
                }
            }
#pragma unroll
            for (unsigned i = 0; i < kInFlight; ++i)
                if (in[i]) costchunks::addSample(acc, f[i]);
        }
        const Sums chunk = foldBlock(acc, sWarp);

        // The chunk's sums go where the bin's finisher reads them; the last chunk of the
        // bin to arrive finishes it. Store, fence, count: a finisher that sees the full
        // count sees every store before it.
        if (t == 0) {
            unsigned done = 1;
            if (binChunks == 1) {
                a.binSums[(size_t)m * a.binCount + bin] = toFloat4(chunk);
            } else {
                a.chunkSums[(size_t)m * a.chunks + c] = toFloat4(chunk);
                __threadfence();
                unsigned* arrivals = &a.binArrivals[(size_t)m * a.binCount + bin];
                done = atomicAdd(arrivals, 1u) == binChunks - 1;
                if (done) *arrivals = 0;  // every chunk has come: ready for the next launch
            }
            sBinDone = done;
        }
        __syncthreads();
        if (!sBinDone) continue;

        if (binChunks > 1) {
            __threadfence();
            Sums part = costchunks::zeroSums();
            const float4* mine = a.chunkSums + (size_t)m * a.chunks + firstChunk;
            for (unsigned k = t; k < binChunks; k += kLanes) costchunks::addSums(part, fromFloat4(__ldcg(&mine[k])));
            const Sums whole = foldBlock(part, sWarp);
            if (t == 0) a.binSums[(size_t)m * a.binCount + bin] = toFloat4(whole);
        }
        // Likewise one level up: the last finished bin of the matrix folds all its bins.
        if (t == 0) {
            __threadfence();
            unsigned* arrivals = &a.matrixArrivals[m];
            const unsigned done = atomicAdd(arrivals, 1u) == a.binsWithChunks - 1;
            if (done) *arrivals = 0;
            sMatrixDone = done;
        }
        __syncthreads();
        if (!sMatrixDone) continue;
        __threadfence();
        finishMatrix(a, m, sS, sQ, sN, sV);
    }
}

// Every reference voxel as (i, j, k, sort key), in storage order.
__global__ void buildRefFloat4Kernel(float4* out, const float* data, const float* mask, int3 dims, unsigned count,
                                     unsigned binWidth, unsigned binCount) {
    const unsigned i = blockIdx.x * 512 + threadIdx.x;
    if (i >= count) return;
    const unsigned X = (unsigned)dims.x, XY = (unsigned)dims.x * (unsigned)dims.y;
    const unsigned iz = i / XY;
    const unsigned r = i - iz * XY;
    const unsigned iy = r / X;
    const unsigned ix = r - iy * X;
    out[i] = make_float4((float)(int)ix, (float)(int)iy, (float)(int)iz,
                         costchunks::binSortKey(kern::maskedReference(data[i], mask, (int64_t)i), binWidth, binCount));
}

// One pass over the sorted voxels: the first index of every capped bin (atomicMin only
// where the bin changes, so a few hundred atomics in all), and the packed coordinates
// when the caller wants them.
__global__ void binStartsKernel(const float4* __restrict__ sorted, unsigned count, unsigned* firsts,
                                uint32_t* coords) {
    const unsigned i = blockIdx.x * 512 + threadIdx.x;
    if (i >= count) return;
    const float4 e = sorted[i];
    if (coords) coords[i] = costchunks::packVoxel((unsigned)e.x, (unsigned)e.y, (unsigned)e.z);
    const unsigned b = costchunks::binOfSortKey(e.w);
    if (i == 0 || costchunks::binOfSortKey(sorted[i - 1].w) != b) atomicMin(&firsts[b], i);
}

// Batch override of the number of matrices per block (1 .. 8), for benchmarks.
unsigned forcedMatricesPerBlock() {
    static const unsigned v = [] {
        const char* s = std::getenv("TARVO_CUDA_MATRICES_PER_BLOCK");
        const int k = s ? std::atoi(s) : 0;
        return (unsigned)(k >= 1 && k <= (int)costchunks::kMaxMatricesPerBlock ? k : 0);
    }();
    return v;
}

// The source with one more plane, row and column holding copies of its last ones, in a
// (X + 1) x (Y + 1) x (Z + 1) block. The cost reads at most one texel beyond the last (its
// positions go up to the dimension itself, inclusive), and the copy gives there what
// clamping at the volume's own edge gives, so the array may be larger than the volume.
__global__ void padSourceKernel(float* out, const float* data, int X, int Y, int Z) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned j = blockIdx.y * blockDim.y + threadIdx.y;
    const unsigned k = blockIdx.z * blockDim.z + threadIdx.z;
    if (i > (unsigned)X || j > (unsigned)Y || k > (unsigned)Z) return;
    const unsigned si = min(i, (unsigned)X - 1), sj = min(j, (unsigned)Y - 1), sk = min(k, (unsigned)Z - 1);
    out[((size_t)k * (Y + 1) + j) * (X + 1) + i] = data[((size_t)sk * Y + sj) * X + si];
}

}  // namespace

// What the backend keeps from one cost pair to the next: sized by the book, grown only
// when a pair needs more than any before it (or than the reservation), released with the
// backend. So a registration that reserves for its finest level allocates nothing after
// its first level.
struct CudaDevice::CostScratch {
    scratch::Ledger* ledger = nullptr;
    scratch::Book book;
    cudaArray_t array = nullptr;   // the source, with its edge copies, behind the texture
    float* dPadded = nullptr;      // the same on its way into the array
    float4* dRefSortedData = nullptr;
    uint32_t* dRefCoords = nullptr;
    SortScratch sort;
    unsigned* dFirsts = nullptr;   // binCount + 1 entries at most
    unsigned* dChunkTable = nullptr;
    char* dBatch = nullptr;        // the arrays of one launch, laid out by costchunks::rowLayout
    float* hMatrices = nullptr;    // page-locked
    float* hResults = nullptr;     // page-locked
    // The launch layout whose arrival counters are zero (the kernel leaves them so).
    uint32_t zeroRows = 0, zeroChunks = 0, zeroBins = 0;

    explicit CostScratch(scratch::Ledger* l) : ledger(l) { sort.ledger = l; }

    template <class T>
    void replace(T*& p, size_t n) {
        devmem::freeDevice(p, ledger);
        devmem::allocDevice(p, n, ledger);
    }

    void ensure(const scratch::Needs& need) {
        if (!dFirsts) devmem::allocDevice(dFirsts, 257, ledger);
        const scratch::Needs& cap = book.capacity();
        for (int slot : book.grow(need)) {
            switch (slot) {
                case scratch::RefVoxels:
                    replace(dRefSortedData, cap.n[slot]);
                    devmem::growDevice(sort.dTmpData, sort.tmpCap, cap.n[slot], ledger);
                    break;
                case scratch::RefCoords: replace(dRefCoords, cap.n[slot]); break;
                case scratch::SortChunkCounts:
                    devmem::growDevice(sort.dChunkCounts, sort.chunkCountsCap, cap.n[slot], ledger);
                    break;
                case scratch::SortSlices:
                    devmem::growDevice(sort.dSliceCounts, sort.sliceCountsCap, cap.n[slot], ledger);
                    break;
                case scratch::SortTables: devmem::growDevice(sort.dTables, sort.tablesCap, cap.n[slot], ledger); break;
                case scratch::ChunkTable: replace(dChunkTable, cap.n[slot]); break;
                case scratch::Batch:
                    replace(dBatch, cap.n[slot]);
                    zeroRows = 0;
                    break;
                case scratch::HostRows:
                    devmem::freePinned(hMatrices, ledger);
                    devmem::freePinned(hResults, ledger);
                    devmem::allocPinned(hMatrices, 16 * cap.n[slot], ledger);
                    devmem::allocPinned(hResults, cap.n[slot], ledger);
                    break;
                default: {  // the source's array
                    freeArray();
                    const cudaChannelFormatDesc srcDesc = cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindFloat);
                    const cudaExtent srcVolumeSize = make_cudaExtent(cap.arrayX, cap.arrayY, cap.arrayZ);
                    checkCudaCall(cudaMalloc3DArray(&array, &srcDesc, srcVolumeSize));
                    if (ledger) ledger->allocated(array, 4 * cap.arrayX * cap.arrayY * cap.arrayZ);
                    replace(dPadded, cap.arrayX * cap.arrayY * cap.arrayZ);
                }
            }
        }
    }

    void freeArray() {
        if (!array) return;
        if (ledger) ledger->freed(array);
        checkCudaCall(cudaFreeArray(array));
        array = nullptr;
    }

    // The source, with its edge copies, into the corner of the array.
    void loadSource(const Volume& src) {
        const int X = src.x, Y = src.y, Z = src.z;
        padSourceKernel<<<dim3(kern::ceilDivPow2((unsigned)X + 1, 5), kern::ceilDivPow2((unsigned)Y + 1, 2),
                               kern::ceilDivPow2((unsigned)Z + 1, 1)),
                          dim3(32, 4, 2)>>>(dPadded, src.data, X, Y, Z);
        getLastCudaError("after padSourceKernel failed");
        cudaMemcpy3DParms srcCopyParams = {};
        srcCopyParams.srcPtr = make_cudaPitchedPtr((void*)dPadded, ((size_t)X + 1) * sizeof(float), (size_t)X + 1,
                                                   (size_t)Y + 1);
        srcCopyParams.dstArray = array;
        srcCopyParams.extent = make_cudaExtent((size_t)X + 1, (size_t)Y + 1, (size_t)Z + 1);
        srcCopyParams.kind = cudaMemcpyDeviceToDevice;
        checkCudaCall(cudaMemcpy3D(&srcCopyParams));
    }

    void release() {
        freeArray();
        devmem::freeDevice(dPadded, ledger);
        devmem::freeDevice(dRefSortedData, ledger);
        devmem::freeDevice(dRefCoords, ledger);
        sort.release();
        devmem::freeDevice(dFirsts, ledger);
        devmem::freeDevice(dChunkTable, ledger);
        devmem::freeDevice(dBatch, ledger);
        devmem::freePinned(hMatrices, ledger);
        devmem::freePinned(hResults, ledger);
        book.clear();
    }
};

// The reference side of a cost pair: its voxels sorted by capped bin (storage order inside
// a bin), as packed coordinates or, when the grid does not pack, as the sorted
// (x, y, z, bin) voxels themselves; where each bin starts; the chunk table. One from
// prepareReference owns its device buffers and serves every pair made with it; the one a
// plain pair sorts for itself lies in the scratch's buffers, which the next pair reuses.
struct CudaDevice::Reference final : PreparedReference {
    kern::V3 center{0, 0, 0};  // truncated toward zero
    int binCount = 0;
    uint32_t count = 0;        // reference voxels, inside the mask or not
    bool packed = false;
    std::vector<uint32_t> pivots;
    costchunks::ChunkTable table;
    const uint32_t* dCoords = nullptr;  // packed
    const float4* dSorted = nullptr;    // not packed
    const unsigned* dChunkTable = nullptr;
    // Its own buffers (null when it borrows the scratch's), entered in the backend's ledger.
    scratch::Ledger* ledger = nullptr;
    uint32_t* ownCoords = nullptr;
    float4* ownSorted = nullptr;
    unsigned* ownChunkTable = nullptr;

    ~Reference() override {
        // After a fatal error the buffers died with the device.
        if (deviceLost()) return;
        devmem::freeDevice(ownCoords, ledger);
        devmem::freeDevice(ownSorted, ledger);
        devmem::freeDevice(ownChunkTable, ledger);
    }

    // Sorts ref (the mask applied) through the scratch's sort buffers, which must hold
    // sortNeeds(count); the results go to buffers of its own when `own` is given, else to
    // the scratch's (which must then hold pairNeeds of the reference).
    void sort(const Volume& ref, const float* mask, int bins, CostScratch& s, scratch::Ledger* own) {
        center = kern::truncatedCenter(kern::V3{ref.center[0], ref.center[1], ref.center[2]});
        binCount = bins;
        count = (uint32_t)ref.count();
        ledger = own;
        const unsigned binWidth = 256u / (unsigned)binCount;
        pivots.assign((size_t)binCount + 1, 0u);
        if (count > 0) {
            buildRefFloat4Kernel<<<(count + 511) / 512, 512>>>(s.dRefSortedData, ref.data, mask,
                                                               make_int3(ref.x, ref.y, ref.z), count,
                                                               binWidth, (unsigned)binCount);
            bucketSort(s.dRefSortedData, count, s.sort);
            packed = costchunks::coordinatesPack(ref.x, ref.y, ref.z);
            uint32_t* coords = nullptr;
            if (packed) {
                if (own) devmem::allocDevice(ownCoords, count, own);
                coords = own ? ownCoords : s.dRefCoords;
            }
            checkCudaCall(cudaMemset(s.dFirsts, 0xff, sizeof(unsigned int) * (binCount + 1)));
            binStartsKernel<<<(count + 511) / 512, 512>>>(s.dRefSortedData, count, s.dFirsts, coords);
            getLastCudaError("after binStartsKernel failed");
            dCoords = coords;
            if (!packed) {
                if (own) {
                    devmem::allocDevice(ownSorted, count, own);
                    checkCudaCall(cudaMemcpy(ownSorted, s.dRefSortedData, sizeof(float4) * count,
                                             cudaMemcpyDeviceToDevice));
                }
                dSorted = own ? ownSorted : s.dRefSortedData;
            }
            std::vector<uint32_t> firsts((size_t)binCount + 1);
            checkCudaCall(cudaMemcpy(firsts.data(), s.dFirsts, sizeof(unsigned int) * (binCount + 1),
                                     cudaMemcpyDeviceToHost));
            costchunks::pivotsFromFirsts(firsts.data(), binCount, count, pivots.data());
        }
        table = costchunks::buildChunkTable(pivots.data(), binCount);
        unsigned* dTable;
        if (own) {
            devmem::allocDevice(ownChunkTable, table.all.size(), own);
            dTable = ownChunkTable;
        } else {
            scratch::Needs need;
            need.n[scratch::ChunkTable] = table.all.size();
            s.ensure(need);
            dTable = s.dChunkTable;
        }
        checkCudaCall(cudaMemcpy(dTable, table.all.data(), sizeof(unsigned int) * table.all.size(),
                                 cudaMemcpyHostToDevice));
        dChunkTable = dTable;
    }
};

// One prepared pair: its texture over the scratch's array, the source's centre and extent,
// and the reference it shares.
struct CudaDevice::CostPair {
    cudaTextureObject_t tex = 0;
    kern::V3 srcCenter{0, 0, 0};
    kern::Dim3 srcDim{0, 0, 0};
    const float* srcMask = nullptr;  // owned by the caller's volume
    bool exactLinear = false;
    unsigned multiprocessors = 1;
    std::shared_ptr<const Reference> ref;

    void release() {
        if (!tex) return;
        // The kernels reading the texture must be done before it goes.
        checkCudaCall(cudaDeviceSynchronize());
        checkCudaCall(cudaDestroyTextureObject(tex));
        tex = 0;
    }

    template <class Coords>
    void launch(const CostLaunch& a, const Coords& coords, const InlineMatrices& inl, unsigned groups) {
        calcCorrelationRatioKernel<Coords><<<dim3(ref->table.chunks, groups), kLanes>>>(a, coords, inl);
    }
};

CudaDevice::CudaDevice(std::string name) : name_(std::move(name)) {}

CudaDevice::~CudaDevice() {
    // After a fatal error every handle is dead: leave them to the process exit.
    if (deviceLost()) {
        (void)pair_.release();
        (void)scratch_.release();
        return;
    }
    freeCorrelationRatio();
    if (scratch_) scratch_->release();
}

DeviceMemoryStats CudaDevice::memoryStats() const {
    return DeviceMemoryStats{ledger_.allocations(), ledger_.bytesInUse(), ledger_.peakBytes()};
}

CudaDevice::CostScratch& CudaDevice::costScratch() {
    if (!scratch_) scratch_ = std::make_unique<CostScratch>(&ledger_);
    return *scratch_;
}

void CudaDevice::reserveCorrelationRatio(const Volume& src, const Volume& ref) {
    costScratch().ensure(scratch::pairNeeds(src.x, src.y, src.z, ref.count()));
}

ReferencePtr CudaDevice::prepareReference(const Volume& ref, int binCount, const Volume* refMask) {
    if (binCount != 64 && binCount != 128 && binCount != 256) return nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    if (pair_ && !pair_->ref->ledger) freeCorrelationRatio();  // its reference lies where the sort works
    CostScratch& s = costScratch();
    s.ensure(scratch::sortNeeds(ref.count()));
    auto r = std::make_shared<Reference>();
    r->sort(ref, refMask ? refMask->data : nullptr, binCount, s, &ledger_);
    if (verbose())
        std::fprintf(stderr, "tarvo: reference prepared %.3f s: %u voxels in %d bins, %u chunks, %s coordinates\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), r->count,
                     binCount, r->table.chunks, r->packed ? "packed" : "float4");
    return r;
}

void CudaDevice::initCorrelationRatio(const Volume& src, const Volume& ref, int binCount,
                                      const CostPairOptions& opts) {
    freeCorrelationRatio();
    if (binCount != 64 && binCount != 128 && binCount != 256) return;
    CostScratch& s = costScratch();
    s.ensure(scratch::pairNeeds(src.x, src.y, src.z, ref.count()));
    auto r = std::make_shared<Reference>();
    r->sort(ref, opts.refMask ? opts.refMask->data : nullptr, binCount, s, nullptr);
    initCorrelationRatio(src, std::move(r), opts);
}

void CudaDevice::initCorrelationRatio(const Volume& src, ReferencePtr reference, const CostPairOptions& opts) {
    freeCorrelationRatio();
    auto r = std::dynamic_pointer_cast<const Reference>(reference);
    if (!r) return;
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t allocationsBefore = ledger_.allocations();
    auto p = std::make_unique<CostPair>();
    p->srcCenter = kern::V3{src.center[0], src.center[1], src.center[2]};
    p->srcDim = kern::Dim3{src.x, src.y, src.z};
    // The caller keeps the mask volumes alive while the pair is prepared.
    p->srcMask = opts.srcMask ? opts.srcMask->data : nullptr;
    int device = 0, sms = 1;
    checkCudaCall(cudaGetDevice(&device));
    checkCudaCall(cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, device));
    p->multiprocessors = (unsigned)std::max(sms, 1);
    CostScratch& s = costScratch();
    // The source side only: the reference is sorted already, here or in the scratch.
    scratch::Needs need;
    need.arrayX = (uint64_t)std::max(src.x, 0) + 1;
    need.arrayY = (uint64_t)std::max(src.y, 0) + 1;
    need.arrayZ = (uint64_t)std::max(src.z, 0) + 1;
    s.ensure(need);
    if (src.count() > 0) {
        s.loadSource(src);
        // Coarse sources are point-sampled; a NaN voxel size keeps the interpolation. Exact
        // weights blend point fetches in the kernel.
        const bool linear = !(src.dx >= 4.0f);
        p->exactLinear = linear && opts.exactWeights;
        p->tex = textureOverArray(s.array, linear && !p->exactLinear ? cudaFilterModeLinear : cudaFilterModePoint);
    }
    p->ref = std::move(r);
    if (verbose()) {
        size_t freeB = 0, totalB = 0;
        checkCudaCall(cudaMemGetInfo(&freeB, &totalB));
        std::fprintf(stderr,
                     "tarvo: cost set-up %.3f s: %u reference voxels, %u chunks, %s coordinates, "
                     "%llu allocations, device memory in use %.0f MiB (backend peak %.0f MiB)\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                     p->ref->count, p->ref->table.chunks, p->ref->packed ? "packed" : "float4",
                     (unsigned long long)(ledger_.allocations() - allocationsBefore),
                     (double)(totalB - freeB) / (1 << 20), (double)ledger_.peakBytes() / (1 << 20));
    }
    pair_ = std::move(p);
}

void CudaDevice::freeCorrelationRatio() {
    if (!pair_) return;
    pair_->release();
    pair_.reset();
}

void CudaDevice::calcCorrelationRatio(const float* matrices, int n, float* results) {
    if (n <= 0) return;
    if (!pair_ || !pair_->tex) {  // nothing prepared, or an empty source: nothing to measure
        for (int i = 0; i < n; ++i) results[i] = 1.0f;
        return;
    }
    CostPair& p = *pair_;
    const Reference& ref = *p.ref;
    if (ref.table.chunks == 0) {  // no bin of three voxels: every sum is zero
        const float zeros[256] = {0};
        const float r = kern::correlationRatioFromBins(zeros, zeros, zeros, ref.binCount);
        for (int i = 0; i < n; ++i) results[i] = r;
        return;
    }
    CostScratch& s = costScratch();
    const costchunks::LaunchPlan plan = costchunks::planLaunches(
        (uint32_t)n, ref.table.chunks, (uint32_t)ref.binCount, p.multiprocessors, forcedMatricesPerBlock());
    const costchunks::RowLayout L = costchunks::rowLayout(plan.rowsPerLaunch, ref.table.chunks, (uint32_t)ref.binCount);
    scratch::Needs need;
    need.n[scratch::Batch] = L.total;
    need.n[scratch::HostRows] = (uint64_t)n;
    s.ensure(need);
    if (s.zeroRows != plan.rowsPerLaunch || s.zeroChunks != ref.table.chunks || s.zeroBins != (uint32_t)ref.binCount) {
        // A new layout: its arrival counters start at zero (each launch leaves them so).
        checkCudaCall(cudaMemsetAsync(s.dBatch + L.binArrivals, 0, L.matrixArrivals - L.binArrivals + 4 * (size_t)plan.rowsPerLaunch));
        s.zeroRows = plan.rowsPerLaunch;
        s.zeroChunks = ref.table.chunks;
        s.zeroBins = (uint32_t)ref.binCount;
    }

    CostLaunch a{};
    a.chunkBegin = ref.dChunkTable;
    a.chunkEnd = ref.dChunkTable + ref.table.chunks;
    a.chunkBin = ref.dChunkTable + 2 * (size_t)ref.table.chunks;
    a.binFirstChunk = ref.dChunkTable + 3 * (size_t)ref.table.chunks;
    a.chunks = ref.table.chunks;
    a.binCount = (unsigned)ref.binCount;
    a.binsWithChunks = ref.table.binsWithChunks;
    a.refCenter = ref.center;
    a.srcCenter = p.srcCenter;
    a.srcDim = p.srcDim;
    a.tex = p.tex;
    a.srcMask = p.srcMask;
    a.exactLinear = p.exactLinear;
    a.matricesPerBlock = plan.matricesPerBlock;
    float* dMatrices = reinterpret_cast<float*>(s.dBatch + L.matrices);
    a.chunkSums = reinterpret_cast<float4*>(s.dBatch + L.chunkSums);
    a.binSums = reinterpret_cast<float4*>(s.dBatch + L.binSums);
    a.binArrivals = reinterpret_cast<unsigned*>(s.dBatch + L.binArrivals);
    a.matrixArrivals = reinterpret_cast<unsigned*>(s.dBatch + L.matrixArrivals);
    a.results = reinterpret_cast<float*>(s.dBatch + L.results);

    // Every launch, copy and read-back on the default stream, in order; the host waits once.
    InlineMatrices inl{};
    for (int first = 0; first < n; first += (int)plan.rowsPerLaunch) {
        const unsigned rows = (unsigned)std::min<int>(n - first, (int)plan.rowsPerLaunch);
        const float* mine = matrices + 16 * (size_t)first;
        a.rows = rows;
        if (rows <= kInlineRows) {
            a.matrices = nullptr;
            for (unsigned m = 0; m < rows; ++m) std::memcpy(&inl.a[12 * m], mine + 16 * (size_t)m, 12 * sizeof(float));
        } else {
            // Each launch stages into its own part of the buffer: a copy may still be
            // waiting for its turn when the next part is written.
            float* staged = s.hMatrices + 16 * (size_t)first;
            std::memcpy(staged, mine, sizeof(float) * 16 * rows);
            checkCudaCall(cudaMemcpyAsync(dMatrices, staged, sizeof(float) * 16 * rows,
                                          cudaMemcpyHostToDevice, 0));
            a.matrices = dMatrices;
        }
        const unsigned groups = (rows + plan.matricesPerBlock - 1) / plan.matricesPerBlock;
        getLastCudaError("before calcCorrelationRatioKernel failed");
        if (ref.packed)
            p.launch(a, PackedCoords{ref.dCoords}, inl, groups);
        else
            p.launch(a, Float4Coords{ref.dSorted}, inl, groups);
        getLastCudaError("after calcCorrelationRatioKernel failed");
        checkCudaCall(cudaMemcpyAsync(s.hResults + first, a.results, sizeof(float) * rows,
                                      cudaMemcpyDeviceToHost, 0));
    }
    checkCudaCall(cudaStreamSynchronize(0));
    std::memcpy(results, s.hResults, sizeof(float) * (size_t)n);
}
