#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "device/cpu/threadpool.h"
#include "device/device.h"

// The CPU backend: the same operations as the GPU, on all cores, with the texture's
// sampling convention reproduced in software (kernels.h).
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
    void transformVolume(const Volume& src, Volume& out, const float affine[16], bool nearest) override;

    void initCorrelationRatio(const Volume& src, const Volume& ref, int binCount,
                              const CostPairOptions& opts) override;
    void freeCorrelationRatio() override;
    void calcCorrelationRatio(const float* matrices, int n, float* results) override;

    ThreadPool& pool() { return pool_; }
    kern::TextureRules rules() const { return rules_; }

    // The prepared pair. Reference voxels are grouped by bin, storage order inside a bin,
    // coordinates only (the bin is known from the position).
    struct Chunk {
        uint32_t bin, begin, end;
    };
    struct Pair {
        std::vector<float> src;  // copy of the source voxels
        int sx = 0, sy = 0, sz = 0;
        bool linear = true;
        kern::TextureRules rules;
        const float* srcMask = nullptr;  // the moving mask on the source grid, or null
        float refC[3] = {0, 0, 0};  // truncated reference centre
        float srcC[3] = {0, 0, 0};
        int binCount = 0;
        std::vector<uint32_t> pivots;  // binCount + 1
        std::vector<float> px, py, pz;
        std::vector<Chunk> chunks;  // only bins of three voxels or more
        std::vector<float> partials;  // scratch: 3 floats per (matrix, chunk)
    };
    const Pair* pair() const { return pair_.get(); }

private:
    // Over-wide y/z loops split into tasks of whole rows.
    template <class F>
    void forEachRow(int y, int z, const F& rowFn);

    ThreadPool pool_;
    kern::TextureRules rules_;
    std::unique_ptr<Pair> pair_;
};

// Sums of one chunk (s, q, n) for one matrix: exposed for the tests that pin down the
// grouping and for the vector path to be compared against.
void cpuChunkSums(const CpuDevice::Pair& p, const float* A, uint32_t begin, uint32_t end,
                  float out[3]);
