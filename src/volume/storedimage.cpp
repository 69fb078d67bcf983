#include "volume/storedimage.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device/device.h"
#include "volume/niftiadapter.h"
#include "volume/voxelconvert.h"

namespace {

using voxelconvert::Staging;
using voxelconvert::normalise;

constexpr int kUint8 = 2, kInt16 = 4, kFloat32 = 16;

// Every file we write carries an orientation; a volume whose source had none gets this
// fixed one under code 4 (MNI_152), whatever its size and voxel size.
constexpr float kFixedOrientation[4][4] = {
    {-2, 0, 0, 90}, {0, 2, 0, -126}, {0, 0, 2, -72}, {0, 0, 0, 1}};
constexpr int kFixedOrientationCode = 4;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// False for a status that has been reported.
bool readOk(imageio::ReadStatus s, const char* path) {
    if (s == imageio::ReadStatus::Ok) return true;
    if (s == imageio::ReadStatus::Missing)
        std::printf("Error: File '%s' not exist!\n", path);
    else
        std::printf("Error: File '%s' %s!\n", path, imageio::readProblem(s));
    return false;
}

// Truncation towards zero as the x86 conversion does it: values outside the 32-bit range,
// and NaN, give INT32_MIN (whose low 8 and 16 bits are zero) instead of undefined
// behaviour.
int32_t truncate32(float f) {
    if (f >= -2147483648.0f && f < 2147483648.0f) return (int32_t)f;
    return INT32_MIN;
}

}  // namespace

VolumePtr loadVolume(const char* path, Device* dev) {
    imageio::ImageReader reader;
    if (!readOk(reader.open(path), path)) return nullptr;
    const int datatype = reader.datatype();
    if (datatype != kUint8 && datatype != kInt16 && datatype != kFloat32) {
        std::printf("Error: Unrecognized datatype!\n");
        return nullptr;
    }
    imageio::ImageHeader h;
    if (!readOk(reader.readHeader(h), path)) return nullptr;
    if (!readOk(reader.readFirstVolume(), path)) return nullptr;

    Device& d = dev ? *dev : device();
    const size_t n = (size_t)h.x * (size_t)h.y * (size_t)h.z;
    Staging staging(d, n);
    if (!staging.get()) {
        std::printf("Error: Not enough memory to load '%s'!\n", path);
        return nullptr;
    }
    float* values = staging.get();
    float maxValue = 0, minValue = 0;
    bool ok = true;
    switch (datatype) {
        case kUint8: {
            const uint8_t* in = static_cast<const uint8_t*>(reader.voxels());
            for (size_t i = 0; i < n; ++i) values[i] = (float)in[i];
            break;
        }
        case kInt16:
            ok = normalise(static_cast<const int16_t*>(reader.voxels()), values, n, maxValue, minValue);
            break;
        case kFloat32:
            ok = normalise(static_cast<const float*>(reader.voxels()), values, n, maxValue, minValue);
            break;
    }
    if (!ok) {
        std::printf("Error: File '%s' holds values that cannot be normalised to 0..255!\n", path);
        return nullptr;
    }

    return voxelconvert::uploadLoaded(d, h, values, maxValue, minValue);
}

bool saveVolume(const Volume& v, const char* path) {
    imageio::ImageWriter writer;
    if (!writer.open(path)) {
        if (!checkOutputType()) return false;
        std::printf("Error: Cannot write file '%s': the name gives no file name!\n", path ? path : "");
        return false;
    }
    const char* name = writer.fileName().c_str();
    const size_t n = v.count();
    if (v.x < 1 || v.y < 1 || v.z < 1 || v.x > 32767 || v.y > 32767 || v.z > 32767) {
        std::printf("Error: Cannot write file '%s': dimensions %d x %d x %d do not fit its header!\n", name,
                    v.x, v.y, v.z);
        return false;
    }
    if ((uint64_t)n > kMaxVoxels || !v.data || !v.owner ||
        (v.datatype != kUint8 && v.datatype != kInt16 && v.datatype != kFloat32)) {
        std::printf("Error: Cannot write file '%s': the volume is not a loaded image!\n", name);
        return false;
    }

    Device& d = deviceOf(v);
    size_t bytes = 0;
    std::unique_ptr<void, FreeDeleter> out;
    {
        Staging staging(d, n);
        if (!staging.get()) {
            std::printf("Error: Not enough memory to write '%s'!\n", name);
            return false;
        }
        d.download(staging.get(), v.data, n);
        const float* in = staging.get();
        const float scale = (v.maxValue - v.minValue) / 255.0f;
        switch (v.datatype) {
            case kUint8: {
                bytes = n;
                uint8_t* o = static_cast<uint8_t*>(std::malloc(bytes));
                out.reset(o);
                if (o)
                    for (size_t i = 0; i < n; ++i) o[i] = (uint8_t)truncate32((float)std::floor((double)in[i]));
                break;
            }
            case kInt16: {
                bytes = n * sizeof(int16_t);
                int16_t* o = static_cast<int16_t*>(std::malloc(bytes));
                out.reset(o);
                if (o)
                    for (size_t i = 0; i < n; ++i) {
                        const float mapped = in[i] * scale + v.minValue;
                        o[i] = (int16_t)(uint16_t)truncate32((float)std::floor((double)mapped));
                    }
                break;
            }
            case kFloat32: {
                bytes = n * sizeof(float);
                float* o = static_cast<float*>(std::malloc(bytes));
                out.reset(o);
                if (o)
                    for (size_t i = 0; i < n; ++i) o[i] = in[i] * scale + v.minValue;
                break;
            }
        }
        if (!out) {
            std::printf("Error: Not enough memory to write '%s'!\n", name);
            return false;
        }
    }

    writer.setDatatype(v.datatype);
    writer.setDims(v.x, v.y, v.z, 1);
    writer.setVoxDims(v.dx, v.dy, v.dz, v.dt);
    // The grid's own orientation when its source had one, so the output overlays its
    // reference in a viewer; the fixed matrix otherwise.
    if (v.orient.code > 0) {
        writer.setStdXform(v.orient.code, v.orient.m);
        writer.setRigidXform(v.orient.code, v.orient.m);
    } else {
        writer.setStdXform(kFixedOrientationCode, kFixedOrientation);
        writer.setRigidXform(kFixedOrientationCode, kFixedOrientation);
    }
    if (!writer.write(out.get(), bytes)) {
        std::printf("Error: Cannot write file '%s'!\n", name);
        return false;
    }
    return true;
}

bool checkOutputType() {
    imageio::OutputType type;
    if (imageio::outputTypeFromEnvironment(type)) return true;
    std::printf(
        "Error: FSLOUTPUTTYPE '%s' is not one of NIFTI, NIFTI_GZ, NIFTI_PAIR, NIFTI_PAIR_GZ, ANALYZE, "
        "ANALYZE_GZ!\n",
        std::getenv("FSLOUTPUTTYPE"));
    return false;
}
