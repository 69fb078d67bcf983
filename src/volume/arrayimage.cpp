#include "volume/arrayimage.h"

#include <cmath>
#include <limits>

#include "device/device.h"
#include "volume/voxelconvert.h"

namespace {

constexpr int kUint8 = 2, kInt16 = 4, kInt32 = 8, kFloat32 = 16, kFloat64 = 64, kInt8 = 256, kUint16 = 512,
              kUint32 = 768, kInt64 = 1024, kUint64 = 1280;

// Storage order of the volume (x fastest) whatever the array's strides; physical values in
// single precision, computed as the file loader computes them.
template <typename T>
void gather(const ArrayImage& a, float* out) {
    const char* base = static_cast<const char*>(a.data);
    const bool scaled = a.slope != 0.0f;
    size_t o = 0;
    for (int64_t k = 0; k < a.shape[2]; ++k)
        for (int64_t j = 0; j < a.shape[1]; ++j) {
            const char* row = base + j * a.stride[1] + k * a.stride[2];
            if (a.stride[0] == (int64_t)sizeof(T)) {
                const T* in = reinterpret_cast<const T*>(row);
                if (scaled)
                    for (int64_t i = 0; i < a.shape[0]; ++i) out[o++] = (float)((double)in[i] * a.slope + a.inter);
                else
                    for (int64_t i = 0; i < a.shape[0]; ++i) out[o++] = (float)in[i];
            } else {
                for (int64_t i = 0; i < a.shape[0]; ++i) {
                    const T v = *reinterpret_cast<const T*>(row + i * a.stride[0]);
                    out[o++] = scaled ? (float)((double)v * a.slope + a.inter) : (float)v;
                }
            }
        }
}

bool gatherAny(const ArrayImage& a, float* out) {
    switch (a.datatype) {
        case kUint8: gather<uint8_t>(a, out); return true;
        case kInt8: gather<int8_t>(a, out); return true;
        case kInt16: gather<int16_t>(a, out); return true;
        case kUint16: gather<uint16_t>(a, out); return true;
        case kInt32: gather<int32_t>(a, out); return true;
        case kUint32: gather<uint32_t>(a, out); return true;
        case kInt64: gather<int64_t>(a, out); return true;
        case kUint64: gather<uint64_t>(a, out); return true;
        case kFloat32: gather<float>(a, out); return true;
        case kFloat64: gather<double>(a, out); return true;
    }
    return false;
}

bool usableSize(float d) { return std::isfinite(d) && d > 0.0f; }

}  // namespace

VolumePtr volumeFromArray(const ArrayImage& a, Device* dev, std::string& error, size_t& nonFinite) {
    nonFinite = 0;
    uint64_t n = 1;
    for (int i = 0; i < 3; ++i) {
        if (a.shape[i] < 1 || a.shape[i] > 32767) {
            error = "an image must have between 1 and 32767 voxels along each axis";
            return nullptr;
        }
        n *= (uint64_t)a.shape[i];
    }
    if (n > kMaxVoxels) {
        error = "the image has more voxels than can be handled";
        return nullptr;
    }
    if (!usableSize(a.dx) || !usableSize(a.dy) || !usableSize(a.dz)) {
        error = "the image has a voxel size that is zero, infinite or not a number";
        return nullptr;
    }
    Device& d = dev ? *dev : device();
    voxelconvert::Staging staging(d, (size_t)n);
    float* values = staging.get();
    if (!values) {
        error = "not enough memory for the image";
        return nullptr;
    }
    if (!a.data || !gatherAny(a, values)) {
        error = "unsupported datatype " + std::to_string(a.datatype);
        return nullptr;
    }
    for (size_t i = 0; i < n; ++i) nonFinite += !std::isfinite(values[i]);
    if (nonFinite == n) {
        error = "the image holds no finite values";
        return nullptr;
    }
    // Background, as the command line takes them.
    if (nonFinite > 0)
        for (size_t i = 0; i < n; ++i)
            if (!std::isfinite(values[i])) values[i] = 0.0f;

    const bool scaled = a.slope != 0.0f;
    float maxValue = 255.0f, minValue = 0.0f;
    if (a.datatype != kUint8 || scaled) {
        if (!voxelconvert::normalise(values, values, n, maxValue, minValue)) {
            error = "the image holds values whose range is too wide to normalise";
            return nullptr;
        }
    }
    VolumePtr v = makeVolume((int32_t)a.shape[0], (int32_t)a.shape[1], (int32_t)a.shape[2], &d);
    v->dx = a.dx;
    v->dy = a.dy;
    v->dz = a.dz;
    v->dt = 0;
    v->maxValue = maxValue;
    v->minValue = minValue;
    v->datatype = (int16_t)a.datatype;
    v->sclSlope = scaled ? a.slope : 0.0f;
    v->sclInter = scaled ? a.inter : 0.0f;
    v->orient = a.orient;
    voxelconvert::centroid(values, v->x, v->y, v->z, v->center);
    d.upload(v->data, values, n);
    return v;
}
