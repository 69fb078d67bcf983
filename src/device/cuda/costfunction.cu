// The correlation-ratio cost on the GPU: the prepared pair (source texture, reference
// voxels sorted by intensity and cut into bins) and the two evaluation kernels, run for a
// whole batch of matrices per launch.
#include <cuda_runtime.h>

#include <vector>

#include "device/bucketpack.h"
#include "device/cuda/bbsort.h"
#include "device/cuda/cuda_device.h"
#include "device/cuda/errors.h"
#include "device/cuda/texture.h"
#include "device/kernels.h"

namespace {

constexpr unsigned kBinThreads = 256;  // threads gathering one bin
constexpr int kMaxBatchRows = 65535;   // largest grid y of one launch

// Every reference voxel as (i, j, k, intensity), in storage order.
__global__ void buildRefFloat4Kernel(float4* out, const float* data, int3 dims, unsigned count) {
    const unsigned i = blockIdx.x * 512 + threadIdx.x;
    if (i >= count) return;
    const unsigned X = (unsigned)dims.x, XY = (unsigned)dims.x * (unsigned)dims.y;
    const unsigned iz = i / XY;
    const unsigned r = i - iz * XY;
    const unsigned iy = r / X;
    const unsigned ix = r - iy * X;
    out[i] = make_float4((float)(int)ix, (float)(int)iy, (float)(int)iz, data[i]);
}

__global__ void sortedKeysKernel(float* keys, const float4* sorted, unsigned count) {
    const unsigned i = blockIdx.x * 512 + threadIdx.x;
    if (i < count) keys[i] = sorted[i].w;
}

// Block (bin, matrix): the bin's reference voxels mapped into the source and sampled
// there; per-thread partial sums in a fixed order, folded by the first warp.
__global__ void __launch_bounds__(kBinThreads)
calcCorrelationRatioKernel(const float4* __restrict__ dRefSortedData,
                           const unsigned* __restrict__ dBlockPivots,
                           const float* __restrict__ dMatrices, kern::V3 cRefCenter,
                           kern::V3 cSrcCenter, kern::Dim3 srcDim, cudaTextureObject_t tSrcVolData,
                           float* dmappedVoxIntensity, float* dmappedVoxIntensity2,
                           float* drefVoxHist) {
    extern __shared__ float smappedVox[];  // sums | sums of squares | counts
    const unsigned bin = blockIdx.x, t = threadIdx.x;
    const size_t out = (size_t)blockIdx.y * gridDim.x + bin;
    const unsigned start = dBlockPivots[bin], end = dBlockPivots[bin + 1];
    if (!(start + 2 < end)) {
        // Fewer than three voxels: the bin contributes nothing.
        if (t == 0) {
            dmappedVoxIntensity[out] = 0.0f;
            dmappedVoxIntensity2[out] = 0.0f;
            drefVoxHist[out] = 0.0f;
        }
        return;
    }
    float A[12];
    const float* M = dMatrices + 16 * (size_t)blockIdx.y;
#pragma unroll
    for (int e = 0; e < 12; ++e) A[e] = __ldg(&M[e]);
    const float X = (float)srcDim.x, Y = (float)srcDim.y, Z = (float)srcDim.z;

    float s = 0.0f, q = 0.0f, n = 0.0f;
    for (unsigned v = start + t; v < end; v += kBinThreads) {
        const float4 p = dRefSortedData[v];
        const kern::V3 m = kern::costPosition(A, p.x, p.y, p.z, cRefCenter, cSrcCenter);
        if (kern::insideInclusive(m, X, Y, Z)) {
            const float f = tex3D<float>(tSrcVolData, m.x, m.y, m.z);
            s = s + f;
            q = fmaf(f, f, q);
            n = n + 1.0f;
        }
    }
    float* sS = smappedVox;
    float* sQ = smappedVox + kBinThreads;
    float* sN = smappedVox + 2 * kBinThreads;
    sS[t] = s;
    sQ[t] = q;
    sN[t] = n;
    __syncthreads();
    if (t >= 32) return;
    for (unsigned r = t + 32; r < kBinThreads; r += 32) {
        sS[t] += sS[r];
        sQ[t] += sQ[r];
        sN[t] += sN[r];
    }
    __syncwarp();
    for (unsigned h = 16; h >= 2; h /= 2) {
        if (t < h) {
            sS[t] += sS[t + h];
            sQ[t] += sQ[t + h];
            sN[t] += sN[t + h];
        }
        __syncwarp();
    }
    if (t == 0) {
        dmappedVoxIntensity[out] = sS[0] + sS[1];
        dmappedVoxIntensity2[out] = sQ[0] + sQ[1];
        drefVoxHist[out] = sN[0] + sN[1];
    }
}

// Block m (one thread per bin): the bins of matrix m folded into its ratio, in the same
// tree order as kern::correlationRatioFromBins.
__global__ void __launch_bounds__(256)
calcCorrelationRatioSumKernel(const float* dmappedVoxIntensity, const float* dmappedVoxIntensity2,
                              const float* drefVoxHist, float* dcorrelationRatio) {
    __shared__ float smappedVoxIntensity[256], smappedVoxIntensity2[256], srefVoxHist[256],
        smappedVoxIntensityVariance[256];
    const unsigned t = threadIdx.x;
    const size_t at = (size_t)blockIdx.x * blockDim.x + t;
    const float S = dmappedVoxIntensity[at], Q = dmappedVoxIntensity2[at], N = drefVoxHist[at];
    smappedVoxIntensity[t] = S;
    smappedVoxIntensity2[t] = Q;
    srefVoxHist[t] = N;
    smappedVoxIntensityVariance[t] = kern::binVariance(S, Q, N);
    __syncthreads();
    for (unsigned h = blockDim.x / 2; h >= 1; h /= 2) {
        if (t < h) {
            smappedVoxIntensity[t] += smappedVoxIntensity[t + h];
            smappedVoxIntensity2[t] += smappedVoxIntensity2[t + h];
            srefVoxHist[t] += srefVoxHist[t + h];
            smappedVoxIntensityVariance[t] += smappedVoxIntensityVariance[t + h];
        }
        __syncthreads();
    }
    if (t == 0)
        dcorrelationRatio[blockIdx.x] =
            kern::ratioFromTotals(smappedVoxIntensity[0], smappedVoxIntensity2[0], srefVoxHist[0],
                                  smappedVoxIntensityVariance[0]);
}

}  // namespace

struct CudaDevice::CostPair {
    SourceTexture src;
    kern::V3 refCenter{0, 0, 0};  // truncated toward zero
    kern::V3 srcCenter{0, 0, 0};
    kern::Dim3 srcDim{0, 0, 0};
    int binCount = 0;
    uint32_t refTotalSize = 0;
    float4* dRefSortedData = nullptr;
    unsigned* dBlockPivots = nullptr;
    std::vector<uint32_t> hBlockPivots;
    // Batch buffers, grown to the largest batch seen: matrices, per-bin sums per matrix,
    // one ratio per matrix.
    int capacity = 0;
    float* dMatrices = nullptr;
    float* dmappedVoxIntensity = nullptr;
    float* dmappedVoxIntensity2 = nullptr;
    float* drefVoxHist = nullptr;
    float* dcorrelationRatio = nullptr;

    void releaseBatch() {
        if (dMatrices) checkCudaCall(cudaFree(dMatrices));
        if (dcorrelationRatio) checkCudaCall(cudaFree(dcorrelationRatio));
        if (dmappedVoxIntensity) checkCudaCall(cudaFree(dmappedVoxIntensity));
        if (dmappedVoxIntensity2) checkCudaCall(cudaFree(dmappedVoxIntensity2));
        if (drefVoxHist) checkCudaCall(cudaFree(drefVoxHist));
        dMatrices = dcorrelationRatio = dmappedVoxIntensity = dmappedVoxIntensity2 = drefVoxHist = nullptr;
        capacity = 0;
    }

    void reserveBatch(int n) {
        if (n <= capacity) return;
        releaseBatch();
        const size_t bins = (size_t)binCount * (size_t)n;
        checkCudaCall(cudaMalloc((void**)&dMatrices, sizeof(float) * 16 * (size_t)n));
        checkCudaCall(cudaMalloc((void**)&dmappedVoxIntensity, sizeof(float) * bins));
        checkCudaCall(cudaMalloc((void**)&dmappedVoxIntensity2, sizeof(float) * bins));
        checkCudaCall(cudaMalloc((void**)&drefVoxHist, sizeof(float) * bins));
        checkCudaCall(cudaMalloc((void**)&dcorrelationRatio, sizeof(float) * (size_t)n));
        capacity = n;
    }

    void release() {
        if (src.array) releaseSourceTexture(src);
        if (dRefSortedData) checkCudaCall(cudaFree(dRefSortedData));
        if (dBlockPivots) checkCudaCall(cudaFree(dBlockPivots));
        dRefSortedData = nullptr;
        dBlockPivots = nullptr;
        releaseBatch();
    }

    // Reference voxels sorted by intensity (ties in storage order), and where each bin
    // starts.
    void prepareRefSortedData(const Volume& ref) {
        const unsigned count = refTotalSize;
        hBlockPivots.assign((size_t)binCount + 1, 0u);
        if (count > 0) {
            buildRefFloat4Kernel<<<(count + 511) / 512, 512>>>(dRefSortedData, ref.data,
                                                               make_int3(ref.x, ref.y, ref.z), count);
            bbSort(dRefSortedData, count);
            float* dKeys = nullptr;
            checkCudaCall(cudaMalloc((void**)&dKeys, sizeof(float) * count));
            sortedKeysKernel<<<(count + 511) / 512, 512>>>(dKeys, dRefSortedData, count);
            std::vector<float> keys(count);
            checkCudaCall(cudaMemcpy(keys.data(), dKeys, sizeof(float) * count, cudaMemcpyDeviceToHost));
            checkCudaCall(cudaFree(dKeys));
            bucketsort::binPivots(keys.data(), count, binCount, hBlockPivots.data());
        }
        checkCudaCall(cudaMemcpy(dBlockPivots, hBlockPivots.data(),
                                 sizeof(unsigned int) * (binCount + 1), cudaMemcpyHostToDevice));
    }
};

CudaDevice::CudaDevice(std::string name) : name_(std::move(name)) {}

CudaDevice::~CudaDevice() { freeCorrelationRatio(); }

void CudaDevice::initCorrelationRatio(const Volume& src, const Volume& ref, int binCount) {
    freeCorrelationRatio();
    if (binCount != 64 && binCount != 128 && binCount != 256) return;
    auto p = std::make_unique<CostPair>();
    p->binCount = binCount;
    p->refCenter = kern::truncatedCenter(kern::V3{ref.center[0], ref.center[1], ref.center[2]});
    p->srcCenter = kern::V3{src.center[0], src.center[1], src.center[2]};
    p->srcDim = kern::Dim3{src.x, src.y, src.z};
    // Coarse sources are point-sampled; a NaN voxel size keeps the interpolation.
    if (src.count() > 0)
        p->src = bindSourceTexture(src, src.dx >= 4.0f ? cudaFilterModePoint : cudaFilterModeLinear);
    p->refTotalSize = (uint32_t)ref.count();
    const size_t refTotalSize = p->refTotalSize;
    if (refTotalSize > 0)
        checkCudaCall(cudaMalloc((void**)&p->dRefSortedData, sizeof(float4) * refTotalSize));
    checkCudaCall(cudaMalloc((void**)&p->dBlockPivots, sizeof(unsigned int) * (binCount + 1)));
    p->reserveBatch(1);
    p->prepareRefSortedData(ref);
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
    p.reserveBatch(n);
    checkCudaCall(cudaMemcpy(p.dMatrices, matrices, sizeof(float) * 16 * n, cudaMemcpyHostToDevice));
    const unsigned bins = (unsigned)p.binCount;
    for (int first = 0; first < n; first += kMaxBatchRows) {
        const int rows = n - first < kMaxBatchRows ? n - first : kMaxBatchRows;
        const size_t binOffset = (size_t)first * bins;
        getLastCudaError("before calcCorrelationRatioKernel failed");
        calcCorrelationRatioKernel<<<dim3(bins, rows), kBinThreads, 3 * kBinThreads * sizeof(float)>>>(
            p.dRefSortedData, p.dBlockPivots, p.dMatrices + 16 * (size_t)first, p.refCenter,
            p.srcCenter, p.srcDim, p.src.tex, p.dmappedVoxIntensity + binOffset,
            p.dmappedVoxIntensity2 + binOffset, p.drefVoxHist + binOffset);
        getLastCudaError("after calcCorrelationRatioKernel failed");
        getLastCudaError("before calcCorrelationRatioSumKernel failed");
        calcCorrelationRatioSumKernel<<<rows, bins>>>(p.dmappedVoxIntensity + binOffset,
                                                       p.dmappedVoxIntensity2 + binOffset,
                                                       p.drefVoxHist + binOffset,
                                                       p.dcorrelationRatio + first);
        getLastCudaError("after calcCorrelationRatioSumKernel failed");
    }
    checkCudaCall(cudaMemcpy(results, p.dcorrelationRatio, sizeof(float) * n, cudaMemcpyDeviceToHost));
}
