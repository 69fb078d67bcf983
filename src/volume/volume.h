#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "geometry/world.h"

// The memory a volume's voxels live in, with the transfers to and from it: the part of a
// device backend (Device implements it) that the record itself needs, so that the record
// depends on no backend.
class VoxelMemory {
public:
    virtual ~VoxelMemory() = default;

    // Voxel memory of this backend; allocVoxels fills every byte with 0x05.
    virtual float* allocVoxels(size_t n) = 0;
    virtual void freeVoxels(float* p) = 0;
    // Host staging buffers (page-locked on the GPU) for whole-volume transfers.
    virtual float* allocStaging(size_t n) = 0;
    virtual void freeStaging(float* p) = 0;
    virtual void upload(float* dst, const float* hostSrc, size_t n) = 0;
    virtual void download(float* hostDst, const float* src, size_t n) = 0;
    // The voxels of a volume that is going away: freed, unless the memory can no longer
    // be touched (a backend lost to a fatal error leaves them to the process exit).
    virtual void releaseVoxels(float* p) = 0;
};

// One 3D image. Voxel (i, j, k) is at data[(k*y + j)*x + i]; data lives in the memory of
// a device backend and is owned by the record.
struct Volume {
    int32_t x = 0, y = 0, z = 0, t = 1;
    float dx = 0, dy = 0, dz = 0, dt = 0;
    float* data = nullptr;
    float center[3] = {0, 0, 0};
    float maxValue = 0, minValue = 0;
    // How the source file coded its physical values: physical = stored * sclSlope +
    // sclInter, sclSlope 0 meaning the stored values are physical. Only loadImage sets it;
    // saveImagePhysical writes it back.
    float sclSlope = 0, sclInter = 0;
    int16_t datatype = 0;
    int16_t stage = 0;
    Orientation orient;
    VoxelMemory* owner = nullptr;  // the backend whose memory holds data (see makeVolume)

    Volume() = default;
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;
    ~Volume();

    size_t count() const { return (size_t)x * (size_t)y * (size_t)z; }
};

using VolumePtr = std::unique_ptr<Volume>;

// Largest voxel count accepted anywhere (also guards every 64-bit size computation
// before an allocation): 2^31 - 1 voxels.
constexpr uint64_t kMaxVoxels = 0x7fffffffULL;

// Where the volume's grid lies in the world (see WorldGrid::of).
inline WorldGrid worldGridOf(const Volume& v) { return WorldGrid::of(v.orient, v.dx, v.dy, v.dz); }
