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
#include "device/cuda/bbsort.h"
#include "device/cuda/cuda_device.h"
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
                    if (kern::insideInclusive(s, X, Y, Z)) {
                        in[i] = true;
                        f[i] = tex3D<float>(a.tex, s.x, s.y, s.z);
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
__global__ void buildRefFloat4Kernel(float4* out, const float* data, int3 dims, unsigned count,
                                     unsigned binWidth, unsigned binCount) {
    const unsigned i = blockIdx.x * 512 + threadIdx.x;
    if (i >= count) return;
    const unsigned X = (unsigned)dims.x, XY = (unsigned)dims.x * (unsigned)dims.y;
    const unsigned iz = i / XY;
    const unsigned r = i - iz * XY;
    const unsigned iy = r / X;
    const unsigned ix = r - iy * X;
    out[i] = make_float4((float)(int)ix, (float)(int)iy, (float)(int)iz,
                         costchunks::binSortKey(data[i], binWidth, binCount));
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

template <class T>
void freeDevice(T*& p) {
    if (p) checkCudaCall(cudaFree(p));
    p = nullptr;
}

template <class T>
void freePinned(T*& p) {
    if (p) checkCudaCall(cudaFreeHost(p));
    p = nullptr;
}

}  // namespace

struct CudaDevice::CostPair {
    SourceTexture src;
    kern::V3 refCenter{0, 0, 0};  // truncated toward zero
    kern::V3 srcCenter{0, 0, 0};
    kern::Dim3 srcDim{0, 0, 0};
    int binCount = 0;
    uint32_t refTotalSize = 0;
    unsigned multiprocessors = 1;
    // Sorted reference: packed coordinates, or (when the grid does not pack) the sorted
    // (x, y, z, bin) voxels themselves.
    uint32_t* dRefCoords = nullptr;
    float4* dRefSortedData = nullptr;
    std::vector<uint32_t> hBlockPivots;
    costchunks::ChunkTable table;
    unsigned* dChunkTable = nullptr;

    // Batch buffers, grown to the largest launch (device) and batch (host) seen.
    uint32_t rowCapacity = 0;
    float* dMatrices = nullptr;
    float4* dChunkSums = nullptr;
    float4* dBinSums = nullptr;
    unsigned* dBinArrivals = nullptr;
    unsigned* dMatrixArrivals = nullptr;
    float* dcorrelationRatio = nullptr;
    size_t hostCapacity = 0;
    float* hMatrices = nullptr;  // page-locked
    float* hResults = nullptr;   // page-locked

    void releaseRows() {
        freeDevice(dMatrices);
        freeDevice(dChunkSums);
        freeDevice(dBinSums);
        freeDevice(dBinArrivals);
        freeDevice(dMatrixArrivals);
        freeDevice(dcorrelationRatio);
        rowCapacity = 0;
    }

    void releaseBatch() {
        releaseRows();
        freePinned(hMatrices);
        freePinned(hResults);
        hostCapacity = 0;
    }

    void reserveRows(uint32_t rows) {
        if (rows <= rowCapacity) return;
        releaseRows();
        const size_t chunkEntries = (size_t)std::max<uint32_t>(table.chunks, 1) * rows;
        const size_t binEntries = (size_t)binCount * rows;
        checkCudaCall(cudaMalloc((void**)&dMatrices, sizeof(float) * 16 * (size_t)rows));
        checkCudaCall(cudaMalloc((void**)&dChunkSums, sizeof(float4) * chunkEntries));
        checkCudaCall(cudaMalloc((void**)&dBinSums, sizeof(float4) * binEntries));
        checkCudaCall(cudaMalloc((void**)&dBinArrivals, sizeof(unsigned int) * binEntries));
        checkCudaCall(cudaMalloc((void**)&dMatrixArrivals, sizeof(unsigned int) * (size_t)rows));
        checkCudaCall(cudaMalloc((void**)&dcorrelationRatio, sizeof(float) * (size_t)rows));
        checkCudaCall(cudaMemsetAsync(dBinArrivals, 0, sizeof(unsigned int) * binEntries));
        checkCudaCall(cudaMemsetAsync(dMatrixArrivals, 0, sizeof(unsigned int) * (size_t)rows));
        rowCapacity = rows;
    }

    void reserveHost(size_t n) {
        if (n <= hostCapacity) return;
        freePinned(hMatrices);
        freePinned(hResults);
        checkCudaCall(cudaMallocHost((void**)&hMatrices, sizeof(float) * 16 * n));
        checkCudaCall(cudaMallocHost((void**)&hResults, sizeof(float) * n));
        hostCapacity = n;
    }

    void release() {
        if (src.array) releaseSourceTexture(src);
        freeDevice(dRefCoords);
        freeDevice(dRefSortedData);
        freeDevice(dChunkTable);
        releaseBatch();
    }

    // Reference voxels sorted by capped bin (storage order inside a bin), where each bin
    // starts, the packed coordinates, and the chunk table.
    void prepareRefSortedData(const Volume& ref) {
        const unsigned count = refTotalSize;
        const unsigned binWidth = 256u / (unsigned)binCount;
        hBlockPivots.assign((size_t)binCount + 1, 0u);
        if (count > 0) {
            buildRefFloat4Kernel<<<(count + 511) / 512, 512>>>(dRefSortedData, ref.data,
                                                               make_int3(ref.x, ref.y, ref.z), count,
                                                               binWidth, (unsigned)binCount);
            bbSort(dRefSortedData, count);
            const bool pack = costchunks::coordinatesPack(ref.x, ref.y, ref.z);
            if (pack) checkCudaCall(cudaMalloc((void**)&dRefCoords, sizeof(uint32_t) * count));
            unsigned* dFirsts = nullptr;
            checkCudaCall(cudaMalloc((void**)&dFirsts, sizeof(unsigned int) * (binCount + 1)));
            checkCudaCall(cudaMemset(dFirsts, 0xff, sizeof(unsigned int) * (binCount + 1)));
            binStartsKernel<<<(count + 511) / 512, 512>>>(dRefSortedData, count, dFirsts, dRefCoords);
            std::vector<uint32_t> firsts((size_t)binCount + 1);
            checkCudaCall(cudaMemcpy(firsts.data(), dFirsts, sizeof(unsigned int) * (binCount + 1),
                                     cudaMemcpyDeviceToHost));
            checkCudaCall(cudaFree(dFirsts));
            costchunks::pivotsFromFirsts(firsts.data(), binCount, count, hBlockPivots.data());
            if (pack) freeDevice(dRefSortedData);  // the coordinates replace it
        }
        table = costchunks::buildChunkTable(hBlockPivots.data(), binCount);
        checkCudaCall(cudaMalloc((void**)&dChunkTable, sizeof(unsigned int) * table.all.size()));
        checkCudaCall(cudaMemcpy(dChunkTable, table.all.data(), sizeof(unsigned int) * table.all.size(),
                                 cudaMemcpyHostToDevice));
    }

    template <class Coords>
    void launch(const CostLaunch& a, const Coords& coords, const InlineMatrices& inl, unsigned groups) {
        calcCorrelationRatioKernel<Coords><<<dim3(table.chunks, groups), kLanes>>>(a, coords, inl);
    }
};

CudaDevice::CudaDevice(std::string name) : name_(std::move(name)) {}

CudaDevice::~CudaDevice() {
    // After a fatal error the prepared pair's handles are dead: leave them to the process exit.
    if (deviceLost()) {
        (void)pair_.release();
        return;
    }
    freeCorrelationRatio();
}

void CudaDevice::initCorrelationRatio(const Volume& src, const Volume& ref, int binCount,
                                      const CostPairOptions& /*opts*/) {
    freeCorrelationRatio();
    if (binCount != 64 && binCount != 128 && binCount != 256) return;
    const auto t0 = std::chrono::steady_clock::now();
    auto p = std::make_unique<CostPair>();
    p->binCount = binCount;
    p->refCenter = kern::truncatedCenter(kern::V3{ref.center[0], ref.center[1], ref.center[2]});
    p->srcCenter = kern::V3{src.center[0], src.center[1], src.center[2]};
    p->srcDim = kern::Dim3{src.x, src.y, src.z};
    int device = 0, sms = 1;
    checkCudaCall(cudaGetDevice(&device));
    checkCudaCall(cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, device));
    p->multiprocessors = (unsigned)std::max(sms, 1);
    // Coarse sources are point-sampled; a NaN voxel size keeps the interpolation.
    if (src.count() > 0)
        p->src = bindSourceTexture(src, src.dx >= 4.0f ? cudaFilterModePoint : cudaFilterModeLinear);
    p->refTotalSize = (uint32_t)ref.count();
    const size_t refTotalSize = p->refTotalSize;
    if (refTotalSize > 0)
        checkCudaCall(cudaMalloc((void**)&p->dRefSortedData, sizeof(float4) * refTotalSize));
    p->prepareRefSortedData(ref);
    p->reserveHost(64);
    if (verbose()) {
        size_t freeB = 0, totalB = 0;
        checkCudaCall(cudaMemGetInfo(&freeB, &totalB));
        std::fprintf(stderr,
                     "tarvo: cost set-up %.3f s: %u reference voxels, %u chunks, %s coordinates, "
                     "device memory in use %.0f MiB\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                     p->refTotalSize, p->table.chunks, p->dRefCoords ? "packed" : "float4",
                     (double)(totalB - freeB) / (1 << 20));
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
    if (!pair_ || !pair_->src.tex) {  // nothing prepared, or an empty source: nothing to measure
        for (int i = 0; i < n; ++i) results[i] = 1.0f;
        return;
    }
    CostPair& p = *pair_;
    if (p.table.chunks == 0) {  // no bin of three voxels: every sum is zero
        const float zeros[256] = {0};
        const float r = kern::correlationRatioFromBins(zeros, zeros, zeros, p.binCount);
        for (int i = 0; i < n; ++i) results[i] = r;
        return;
    }
    const costchunks::LaunchPlan plan = costchunks::planLaunches(
        (uint32_t)n, p.table.chunks, (uint32_t)p.binCount, p.multiprocessors, forcedMatricesPerBlock());
    p.reserveRows(plan.rowsPerLaunch);
    p.reserveHost((size_t)n);

    CostLaunch a{};
    a.chunkBegin = p.dChunkTable;
    a.chunkEnd = p.dChunkTable + p.table.chunks;
    a.chunkBin = p.dChunkTable + 2 * (size_t)p.table.chunks;
    a.binFirstChunk = p.dChunkTable + 3 * (size_t)p.table.chunks;
    a.chunks = p.table.chunks;
    a.binCount = (unsigned)p.binCount;
    a.binsWithChunks = p.table.binsWithChunks;
    a.refCenter = p.refCenter;
    a.srcCenter = p.srcCenter;
    a.srcDim = p.srcDim;
    a.tex = p.src.tex;
    a.matricesPerBlock = plan.matricesPerBlock;
    a.chunkSums = p.dChunkSums;
    a.binSums = p.dBinSums;
    a.binArrivals = p.dBinArrivals;
    a.matrixArrivals = p.dMatrixArrivals;
    a.results = p.dcorrelationRatio;

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
            float* staged = p.hMatrices + 16 * (size_t)first;
            std::memcpy(staged, mine, sizeof(float) * 16 * rows);
            checkCudaCall(cudaMemcpyAsync(p.dMatrices, staged, sizeof(float) * 16 * rows,
                                          cudaMemcpyHostToDevice, 0));
            a.matrices = p.dMatrices;
        }
        const unsigned groups = (rows + plan.matricesPerBlock - 1) / plan.matricesPerBlock;
        getLastCudaError("before calcCorrelationRatioKernel failed");
        if (p.dRefCoords)
            p.launch(a, PackedCoords{p.dRefCoords}, inl, groups);
        else
            p.launch(a, Float4Coords{p.dRefSortedData}, inl, groups);
        getLastCudaError("after calcCorrelationRatioKernel failed");
        checkCudaCall(cudaMemcpyAsync(p.hResults + first, p.dcorrelationRatio, sizeof(float) * rows,
                                      cudaMemcpyDeviceToHost, 0));
    }
    checkCudaCall(cudaStreamSynchronize(0));
    std::memcpy(results, p.hResults, sizeof(float) * (size_t)n);
}
