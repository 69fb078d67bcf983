#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

class Device;

// Where the voxel grid lies in the world: voxel index (i, j, k, 1) -> mm.
// code 0 means the file had no usable orientation.
struct Orientation {
    int code = 0;
    float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};

// One 3D image. Voxel (i, j, k) is at data[(k*y + j)*x + i]; data lives in the memory of
// the active device backend and is owned by the record.
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
    Device* owner = nullptr;  // the backend whose memory holds data

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

// A new volume of the given counts with every byte of its voxels set to 0x05 (the
// allocation fill) and all other fields zero, t = 1. Counts must be positive and their
// product at most kMaxVoxels (callers check). Allocated on `dev`, or on the process's
// chosen backend when null; derived volumes live on the backend of their input.
VolumePtr makeVolume(int32_t x, int32_t y, int32_t z, Device* dev = nullptr);
