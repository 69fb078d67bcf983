// The cost taken both ways: the reverse pair's matrix and the weighted mean of the two values, on a
// backend that keeps both pairs and on one that prepares each again at every switch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "device/costfunction.h"
#include "device/kernels.h"
#include "geometry/transform.h"
#include "support/testvolumes.h"

namespace {

Device& cpu() {
    static std::unique_ptr<Device> d = makeCpuDevice(2);
    return *d;
}

// The CPU backend holding one pair alone, as the GPU does: the two-way cost must prepare
// each pair again when it switches, and give the same values.
class OnePairDevice final : public Device {
public:
    OnePairDevice() : inner_(makeCpuDevice(2)) {}
    const char* kind() const override { return "cpu"; }
    std::string description() const override { return "one pair"; }
    float* allocVoxels(size_t n) override { return inner_->allocVoxels(n); }
    void freeVoxels(float* p) override { inner_->freeVoxels(p); }
    float* allocStaging(size_t n) override { return inner_->allocStaging(n); }
    void freeStaging(float* p) override { inner_->freeStaging(p); }
    void upload(float* d, const float* s, size_t n) override { inner_->upload(d, s, n); }
    void download(float* d, const float* s, size_t n) override { inner_->download(d, s, n); }
    void isotropicResample(const Volume& in, Volume& out, float rx, float ry, float rz) override {
        inner_->isotropicResample(in, out, rx, ry, rz);
    }
    void halfSample(const Volume& in, Volume& out) override { inner_->halfSample(in, out); }
    void transformVolume(const Volume& src, Volume& out, const float a[16], bool nearest, float outside) override {
        inner_->transformVolume(src, out, a, nearest, outside);
    }
    void initCorrelationRatio(const Volume& src, const Volume& ref, int bins, const CostPairOptions& o) override {
        ++prepared;
        inner_->initCorrelationRatio(src, ref, bins, o);
    }
    ReferencePtr prepareReference(const Volume& ref, int bins, const Volume* mask) override {
        return inner_->prepareReference(ref, bins, mask);
    }
    void initCorrelationRatio(const Volume& src, ReferencePtr ref, const CostPairOptions& o) override {
        ++prepared;
        inner_->initCorrelationRatio(src, std::move(ref), o);
    }
    void freeCorrelationRatio() override { inner_->freeCorrelationRatio(); }
    void calcCorrelationRatio(const float* m, int n, float* r) override { inner_->calcCorrelationRatio(m, n, r); }

    int prepared = 0;

private:
    std::unique_ptr<Device> inner_;
};

// Two different contrasts of one body on grids of different sizes and centres, so that a
// slip in the inverse (a swapped centre, a missed half voxel) shows in the values.
struct Images {
    VolumePtr moving, fixed, movingMask;
};

Images images(Device& dev) {
    auto body = [](float i, float j, float k, float c) {
        const float r = std::sqrt((i - c) * (i - c) + 1.3f * (j - c) * (j - c) + (k - c) * (k - c));
        return r < 4 ? 1.0f : r < 7 ? 2.0f + 0.1f * std::fmod(i + 2 * j, 3.0f) : r < 9 ? 3.0f : 0.0f;
    };
    const float contrastM[4] = {5, 220, 90, 150}, contrastF[4] = {0, 60, 200, 110};
    Images im;
    im.moving = volumeOf(dev, 22, 20, 21, [&](int i, int j, int k) {
        const float b = body((float)i, (float)j, (float)k, 10.4f);
        return contrastM[(int)b] + (b - std::floor(b)) * 40;
    });
    im.fixed = volumeOf(dev, 26, 24, 25, [&](int i, int j, int k) {
        const float b = body((float)i, (float)j, (float)k, 12.2f);
        return contrastF[(int)b] + (b - std::floor(b)) * 40;
    });
    im.movingMask = volumeOf(dev, 22, 20, 21, [](int i, int, int) { return i > 2 ? 1.0f : 0.0f; });
    for (Volume* v : {im.moving.get(), im.fixed.get()}) v->stage = 3;
    const float cm[3] = {10.6f, 9.8f, 10.3f}, cf[3] = {12.7f, 11.4f, 12.1f};
    for (int a = 0; a < 3; ++a) {
        im.moving->center[a] = cm[a];
        im.fixed->center[a] = cf[a];
    }
    return im;
}

std::vector<float> forwardMatrices() {
    std::vector<float> m;
    for (int t = 0; t < 4; ++t) {
        TransformParams p;
        p.v[0] = 0.05f * t;
        p.v[2] = -0.03f * t;
        p.v[3] = 0.7f * t - 1.0f;
        p.v[5] = 0.4f * t;
        p.v[6] = 1.0f + 0.03f * t;
        p.v[10] = 0.02f * t;
        Matrix a;
        composeAffine(p, a, 1, 1, 1);
        m.insert(m.end(), a.data, a.data + 16);
    }
    Matrix singular;  // no inverse: its reverse value is that of no correlation
    singular.data[5] = 0.0f;
    m.insert(m.end(), singular.data, singular.data + 16);
    return m;
}

}  // namespace

TEST(TwoWayCost, ReverseMatrixMapsEachSampleBackToItsVoxel) {
    Images im = images(cpu());
    const Volume &src = *im.moving, &ref = *im.fixed;
    const std::vector<float> m = forwardMatrices();
    for (int k = 0; k < 4; ++k) {
        float r[16];
        ASSERT_TRUE(reverseCostMatrix(&m[16 * k], src, ref, r));
        const kern::V3 cR = kern::truncatedCenter({ref.center[0], ref.center[1], ref.center[2]});
        const kern::V3 cS{src.center[0], src.center[1], src.center[2]};
        const kern::V3 cR2 = kern::truncatedCenter({src.center[0], src.center[1], src.center[2]});
        const kern::V3 cS2{ref.center[0], ref.center[1], ref.center[2]};
        for (float x : {0.0f, 7.0f, 25.0f})
            for (float y : {3.0f, 23.0f}) {
                // Ref voxel -> src texture coordinate -> src voxel -> ref texture coordinate.
                const kern::V3 t = kern::costPosition(&m[16 * k], x, y, 11.0f, cR, cS);
                const kern::V3 back = kern::costPosition(r, t.x - 0.5f, t.y - 0.5f, t.z - 0.5f, cR2, cS2);
                EXPECT_NEAR(back.x, x + 0.5f, 1e-4f);
                EXPECT_NEAR(back.y, y + 0.5f, 1e-4f);
                EXPECT_NEAR(back.z, 11.5f, 1e-4f);
            }
    }
    float untouched[16] = {7};
    EXPECT_FALSE(reverseCostMatrix(&m[16 * 4], src, ref, untouched));
    EXPECT_EQ(untouched[0], 7.0f);
}

TEST(TwoWayCost, ValueIsTheWeightedMeanOfBothPairsOnEitherKindOfBackend) {
    OnePairDevice onePair;
    std::vector<float> values[2];
    int d = 0;
    for (Device* dev : {&cpu(), static_cast<Device*>(&onePair)}) {
        Images im = images(*dev);
        const Volume &src = *im.moving, &ref = *im.fixed;
        const std::vector<float> m = forwardMatrices();
        const int n = (int)m.size() / 16;
        CostPairOptions exact;
        exact.exactWeights = true;
        const ReferencePtr forward = prepareReference(ref, nullptr);
        const ReferencePtr reverse = prepareReference(src, im.movingMask.get());
        // Each half alone, on the plain pairs.
        std::vector<float> fwd(n), rev(n, 1.0f);
        initCorrelationRatio(src, ref, forward, exact);
        calcCorrelationRatioBatch(src, ref, m.data(), n, fwd.data());
        initCorrelationRatio(ref, src, reverse, exact);
        for (int k = 0; k < n; ++k) {
            float r[16];
            if (reverseCostMatrix(&m[16 * k], src, ref, r)) calcCorrelationRatio(ref, src, r, &rev[k]);
        }
        freeCorrelationRatio();

        initTwoWayCorrelationRatio(src, ref, forward, exact, reverse, exact);
        values[d].resize(n);
        calcCorrelationRatioBatch(src, ref, m.data(), n, values[d].data());
        for (int k = 0; k < n; ++k) {
            EXPECT_FLOAT_EQ(values[d][k], (1.0f - kReverseWeight) * fwd[k] + kReverseWeight * rev[k])
                << "matrix " << k << " on " << dev->description();
            EXPECT_NE(fwd[k], rev[k]);
        }
        EXPECT_EQ(rev[n - 1], 1.0f);
        // The pairs stay as they were between batches: the same values again, one at a time.
        for (int k = 0; k < n; ++k) {
            float v = 0;
            calcCorrelationRatio(src, ref, &m[16 * k], &v);
            EXPECT_EQ(v, values[d][k]);
        }
        // A plain pair prepared afterwards is one way again.
        initCorrelationRatio(src, ref, forward, exact);
        float plain = 0;
        calcCorrelationRatio(src, ref, m.data(), &plain);
        EXPECT_EQ(plain, fwd[0]);
        freeCorrelationRatio();
        ++d;
    }
    EXPECT_EQ(0, std::memcmp(values[0].data(), values[1].data(), values[0].size() * sizeof(float)));
    // One pair alone: prepared again at each switch, twice per batch.
    EXPECT_GT(onePair.prepared, 10);
}
