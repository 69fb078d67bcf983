#pragma once
#include <memory>
#include <string>

#include "device/device.h"
#include "device/scratch.h"

// The GPU backend. Voxels live in device memory; resampling reads its input through a 3D
// texture (hardware trilinear filtering); the cost keeps its prepared pair on the device,
// and a prepared reference keeps its sorted voxels there for any number of pairs.
// Mirrors cpu/cpu_device.h: memory and resampling in volume.cu, the cost in costfunction.cu,
// the reference sort in bucketsort.cu.
class CudaDevice final : public Device {
public:
    explicit CudaDevice(std::string name);
    ~CudaDevice() override;

    const char* kind() const override { return "cuda"; }
    std::string description() const override { return name_; }

    float* allocVoxels(size_t n) override;
    void freeVoxels(float* p) override;
    float* allocStaging(size_t n) override;
    void freeStaging(float* p) override;
    void upload(float* dst, const float* hostSrc, size_t n) override;
    void download(float* hostDst, const float* src, size_t n) override;

    void isotropicResample(const Volume& in, Volume& out, float rx, float ry, float rz) override;
    void halfSample(const Volume& in, Volume& out) override;
    void transformVolume(const Volume& src, Volume& out, const float affine[16], bool nearest, float outside) override;

    void initCorrelationRatio(const Volume& src, const Volume& ref, int binCount,
                              const CostPairOptions& opts) override;
    // The reference sorted once into device buffers of its own, which it frees (it must go
    // before the backend). Sorting borrows the buffers a plain pair's reference lies in:
    // such a pair, if prepared, ends first.
    ReferencePtr prepareReference(const Volume& ref, int binCount, const Volume* refMask) override;
    void initCorrelationRatio(const Volume& src, ReferencePtr ref, const CostPairOptions& opts) override;
    void freeCorrelationRatio() override;
    void calcCorrelationRatio(const float* matrices, int n, float* results) override;
    void reserveCorrelationRatio(const Volume& src, const Volume& ref) override;
    DeviceMemoryStats memoryStats() const override;

    struct Reference;    // costfunction.cu
    struct CostPair;     // costfunction.cu
    struct CostScratch;  // costfunction.cu

private:
    CostScratch& costScratch();

    std::string name_;
    scratch::Ledger ledger_;  // every allocation of this backend
    std::unique_ptr<CostScratch> scratch_;
    std::unique_ptr<CostPair> pair_;
};

// True when this process can run the kernels on the current device (a kernel image for
// its architecture is present); clears the error it may leave.
bool cudaKernelsRunnable();
