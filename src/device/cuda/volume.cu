// Voxel memory, the source texture and the three resampling kernels.
#include <cuda_runtime.h>

#include <vector>

#include "device/cuda/cuda_device.h"
#include "device/cuda/devmem.h"
#include "device/cuda/errors.h"
#include "device/cuda/texture.h"
#include "device/kernels.h"

namespace {

struct KernelAffine {
    float m[16];
};

struct TexFetch {
    cudaTextureObject_t t;
    __device__ float operator()(float u, float v, float w) const { return tex3D<float>(t, u, v, w); }
};

__device__ __forceinline__ bool outsideGrid(unsigned i, unsigned j, unsigned k, int X, int Y, int Z) {
    return i >= (unsigned)X || j >= (unsigned)Y || k >= (unsigned)Z;
}

__device__ __forceinline__ size_t voxelIndex(unsigned i, unsigned j, unsigned k, int X, int Y) {
    return ((size_t)k * (unsigned)Y + j) * (unsigned)X + i;
}

// Blocks of 1024 threads: the bound keeps the kernels within the register file.
__global__ void __launch_bounds__(1024)
isotropicResampleKernel(float* out, float rx, float ry, float rz, int X, int Y, int Z,
                        cudaTextureObject_t tSrcVolData) {
    const unsigned i = blockDim.x * blockIdx.x + threadIdx.x;
    const unsigned j = blockDim.y * blockIdx.y + threadIdx.y;
    const unsigned k = blockDim.z * blockIdx.z + threadIdx.z;
    if (outsideGrid(i, j, k, X, Y, Z)) return;
    const kern::V3 p = kern::isotropicPosition((int)i, (int)j, (int)k, rx, ry, rz);
    out[voxelIndex(i, j, k, X, Y)] = tex3D<float>(tSrcVolData, p.x, p.y, p.z);
}

__global__ void __launch_bounds__(1024)
halfSampleKernel(float* out, int X, int Y, int Z, cudaTextureObject_t tSrcVolData) {
    const unsigned i = blockDim.x * blockIdx.x + threadIdx.x;
    const unsigned j = blockDim.y * blockIdx.y + threadIdx.y;
    const unsigned k = blockDim.z * blockIdx.z + threadIdx.z;
    if (outsideGrid(i, j, k, X, Y, Z)) return;
    out[voxelIndex(i, j, k, X, Y)] =
        kern::halfSampleValue(TexFetch{tSrcVolData}, (int)i, (int)j, (int)k);
}

__global__ void __launch_bounds__(256)
transformVolumeKernel(float* out, kern::V3 srcCenter, kern::V3 outCenter, kern::V3 srcVoxel,
                      kern::V3 refVoxel, kern::Dim3 srcDim, kern::Dim3 outDim, KernelAffine cAffine,
                      float outside, cudaTextureObject_t tSrcVolData) {
    const unsigned i = blockDim.x * blockIdx.x + threadIdx.x;
    const unsigned j = blockDim.y * blockIdx.y + threadIdx.y;
    const unsigned k = blockDim.z * blockIdx.z + threadIdx.z;
    if (outsideGrid(i, j, k, outDim.x, outDim.y, outDim.z)) return;
    const kern::V3 s = kern::transformPosition(cAffine.m, (int)i, (int)j, (int)k, outCenter,
                                               refVoxel, srcVoxel, srcCenter);
    out[voxelIndex(i, j, k, outDim.x, outDim.y)] =
        kern::insideHalfOpen(s, srcDim) ? tex3D<float>(tSrcVolData, s.x, s.y, s.z) : outside;
}

// Grid of ceil(n / block) per axis; block sides are powers of two.
dim3 gridFor(const Volume& out, unsigned lx, unsigned ly, unsigned lz) {
    return dim3(kern::ceilDivPow2((unsigned)out.x, lx), kern::ceilDivPow2((unsigned)out.y, ly),
                kern::ceilDivPow2((unsigned)out.z, lz));
}

kern::V3 v3(const float* c) { return kern::V3{c[0], c[1], c[2]}; }

}  // namespace

bool cudaKernelsRunnable() {
    cudaFuncAttributes attr;
    if (cudaFuncGetAttributes(&attr, halfSampleKernel) != cudaSuccess) {
        cudaGetLastError();
        return false;
    }
    return true;
}

// ---- memory ---------------------------------------------------------------------------

float* CudaDevice::allocVoxels(size_t n) {
    if (n == 0) return nullptr;
    float* data = nullptr;
    devmem::allocDevice(data, n, &ledger_);
    checkCudaCall(cudaMemset(data, 5, n * sizeof(float)));
    return data;
}

void CudaDevice::freeVoxels(float* data) { devmem::freeDevice(data, &ledger_); }

float* CudaDevice::allocStaging(size_t n) {
    float* volData = nullptr;
    devmem::allocPinned(volData, n, &ledger_);
    return volData;
}

void CudaDevice::freeStaging(float* volData) { devmem::freePinned(volData, &ledger_); }

void CudaDevice::upload(float* dst, const float* volData, size_t n) {
    if (n) checkCudaCall(cudaMemcpy(dst, volData, n * sizeof(float), cudaMemcpyHostToDevice));
}

void CudaDevice::download(float* volData, const float* src, size_t n) {
    if (n) checkCudaCall(cudaMemcpy(volData, src, n * sizeof(float), cudaMemcpyDeviceToHost));
}

// ---- source texture -------------------------------------------------------------------

SourceTexture bindSourceTexture(const Volume& src, cudaTextureFilterMode filter, scratch::Ledger* ledger) {
    SourceTexture t;
    cudaArray_t dSrcArray = nullptr;
    const cudaChannelFormatDesc srcDesc = cudaCreateChannelDesc(32, 0, 0, 0, cudaChannelFormatKindFloat);
    const cudaExtent srcVolumeSize = make_cudaExtent((size_t)src.x, (size_t)src.y, (size_t)src.z);
    checkCudaCall(cudaMalloc3DArray(&dSrcArray, &srcDesc, srcVolumeSize));
    if (ledger) ledger->allocated(dSrcArray, src.count() * sizeof(float));

    cudaMemcpy3DParms srcCopyParams = {};
    srcCopyParams.srcPtr =
        make_cudaPitchedPtr((void*)src.data, (size_t)src.x * sizeof(float), (size_t)src.x, (size_t)src.y);
    srcCopyParams.dstArray = dSrcArray;
    srcCopyParams.extent = srcVolumeSize;
    srcCopyParams.kind = cudaMemcpyDeviceToDevice;
    checkCudaCall(cudaMemcpy3D(&srcCopyParams));
    t.array = dSrcArray;
    t.tex = textureOverArray(dSrcArray, filter);
    return t;
}

cudaTextureObject_t textureOverArray(cudaArray_t dSrcArray, cudaTextureFilterMode filter) {
    cudaResourceDesc resource = {};
    resource.resType = cudaResourceTypeArray;
    resource.res.array.array = dSrcArray;
    // Unnormalised coordinates, element reads, explicit clamping (what wrap amounts to with
    // unnormalised coordinates), and no trilinear shortcut so every fetch blends with the
    // 8-bit weights the CPU backend reproduces.
    cudaTextureDesc texDesc = {};
    texDesc.addressMode[0] = cudaAddressModeClamp;
    texDesc.addressMode[1] = cudaAddressModeClamp;
    texDesc.addressMode[2] = cudaAddressModeClamp;
    texDesc.filterMode = filter;
    texDesc.readMode = cudaReadModeElementType;
    texDesc.normalizedCoords = 0;
    texDesc.disableTrilinearOptimization = 1;
    cudaTextureObject_t tSrcVolData = 0;
    checkCudaCall(cudaCreateTextureObject(&tSrcVolData, &resource, &texDesc, nullptr));
    return tSrcVolData;
}

void releaseSourceTexture(SourceTexture& t, scratch::Ledger* ledger) {
    cudaArray_t dSrcArray = t.array;
    cudaTextureObject_t tSrcVolData = t.tex;
    // The kernels reading the array must be done before it goes.
    checkCudaCall(cudaDeviceSynchronize());
    if (tSrcVolData) checkCudaCall(cudaDestroyTextureObject(tSrcVolData));
    if (dSrcArray) {
        if (ledger) ledger->freed(dSrcArray);
        checkCudaCall(cudaFreeArray(dSrcArray));
    }
    t = SourceTexture{};
}

// ---- resampling -----------------------------------------------------------------------
// Launches are not checked: a refused launch leaves the output with its allocation fill,
// and a later checked call reports what is pending.

void CudaDevice::isotropicResample(const Volume& in, Volume& out, float rx, float ry, float rz) {
    if (out.count() == 0 || in.count() == 0) return;
    SourceTexture src = bindSourceTexture(in, cudaFilterModeLinear, &ledger_);
    isotropicResampleKernel<<<gridFor(out, 5, 3, 2), dim3(32, 8, 4)>>>(out.data, rx, ry, rz, out.x,
                                                                       out.y, out.z, src.tex);
    releaseSourceTexture(src, &ledger_);
}

void CudaDevice::halfSample(const Volume& in, Volume& out) {
    if (out.count() == 0 || in.count() == 0) return;
    SourceTexture src = bindSourceTexture(in, cudaFilterModeLinear, &ledger_);
    halfSampleKernel<<<gridFor(out, 5, 3, 2), dim3(32, 8, 4)>>>(out.data, out.x, out.y, out.z, src.tex);
    releaseSourceTexture(src, &ledger_);
}

void CudaDevice::transformVolume(const Volume& src, Volume& out, const float affine[16], bool nearest,
                                 float outside) {
    if (out.count() == 0) return;
    if (src.count() == 0) {  // every position lies outside an empty source
        std::vector<float> all(out.count(), outside);
        upload(out.data, all.data(), all.size());
        return;
    }
    KernelAffine cAffine;
    for (int e = 0; e < 16; ++e) cAffine.m[e] = affine[e];
    SourceTexture tex = bindSourceTexture(src, nearest ? cudaFilterModePoint : cudaFilterModeLinear, &ledger_);
    transformVolumeKernel<<<gridFor(out, 5, 2, 1), dim3(32, 4, 2)>>>(
        out.data, v3(src.center), v3(out.center), kern::V3{src.dx, src.dy, src.dz},
        kern::V3{out.dx, out.dy, out.dz}, kern::Dim3{src.x, src.y, src.z},
        kern::Dim3{out.x, out.y, out.z}, cAffine, outside, tex.tex);
    releaseSourceTexture(tex, &ledger_);
}
