// The volume record owns its voxels but knows nothing of the backends: it hands them back
// through the VoxelMemory that holds them, once, and only when it has any.
#include <gtest/gtest.h>

#include <vector>

#include "volume/volume.h"

namespace {

class CountingMemory final : public VoxelMemory {
public:
    float* allocVoxels(size_t n) override { return new float[n ? n : 1]; }
    void freeVoxels(float* p) override { delete[] p; }
    float* allocStaging(size_t n) override { return allocVoxels(n); }
    void freeStaging(float* p) override { freeVoxels(p); }
    void upload(float*, const float*, size_t) override {}
    void download(float*, const float*, size_t) override {}
    void releaseVoxels(float* p) override {
        released.push_back(p);
        freeVoxels(p);
    }
    std::vector<float*> released;
};

}  // namespace

TEST(VolumeRecord, HandsItsVoxelsBackOnceToTheMemoryHoldingThem) {
    CountingMemory memory;
    float* voxels = memory.allocVoxels(8);
    {
        VolumePtr v(new Volume);
        v->x = v->y = v->z = 2;
        v->owner = &memory;
        v->data = voxels;
    }
    ASSERT_EQ(memory.released.size(), 1u);
    EXPECT_EQ(memory.released[0], voxels);

    // A record without voxels has nothing to hand back.
    { VolumePtr empty(new Volume); empty->owner = &memory; }
    EXPECT_EQ(memory.released.size(), 1u);
}
