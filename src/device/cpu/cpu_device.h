#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "device/cpu/threadpool.h"
#include "device/device.h"

// The prepared cost, private to the backend (costpair.h).
namespace cpucost { struct Chunk; struct Tile; struct Task; struct Reference; struct Pair; }

// The CPU backend: the same operations as the GPU, on all cores, with the texture's
// sampling convention reproduced in software (kernels.h).
// Mirrors cuda/cuda_device.h: memory and resampling in volume.cpp, the cost in
// costfunction.cpp (its prepared pair in costpair.h, the per-voxel sums in cost_scalar.cpp
// and cost_avx2.cpp).
class CpuDevice final : public Device {
public:
    explicit CpuDevice(int threads, kern::TextureRules rules = {});
    ~CpuDevice() override;

    const char* kind() const override { return "cpu"; }
    std::string description() const override;

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
    ReferencePtr prepareReference(const Volume& ref, int binCount, const Volume* refMask) override;
    void initCorrelationRatio(const Volume& src, ReferencePtr ref, const CostPairOptions& opts) override;
    void freeCorrelationRatio() override;
    bool swapCorrelationRatio() override;
    void calcCorrelationRatio(const float* matrices, int n, float* results) override;

    ThreadPool& pool() { return pool_; }
    kern::TextureRules rules() const { return rules_; }

    // The prepared reference and pair, and their parts (costpair.h, private to the backend).
    using Chunk = cpucost::Chunk;
    using Tile = cpucost::Tile;
    using Task = cpucost::Task;
    using Reference = cpucost::Reference;
    using Pair = cpucost::Pair;
    const Pair* pair() const { return pair_.get(); }

private:
    // Over-wide y/z loops split into tasks of whole rows.
    template <class F>
    void forEachRow(int y, int z, const F& rowFn);
    static void layOutReference(Reference& p, const Volume& ref, const std::vector<uint16_t>& bins,
                                const std::vector<uint32_t>& binSizes);

    ThreadPool pool_;
    kern::TextureRules rules_;
    std::unique_ptr<Pair> pair_;
    std::unique_ptr<Pair> aside_;  // swapCorrelationRatio's other pair
};
