#pragma once
// The conversions both image loaders share: a staging buffer of the volume's backend, the
// normalisation onto [0, 255] and the intensity centroid. Internal to src/volume.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "device/device.h"
#include "volume/niftiadapter.h"
#include "volume/volume.h"

namespace voxelconvert {

// A host buffer of the volume's backend for one whole-volume transfer.
class Staging {
public:
    Staging(Device& dev, size_t n) : dev_(dev), p_(dev.allocStaging(n)) {}
    ~Staging() {
        if (p_) dev_.freeStaging(p_);
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    float* get() const { return p_; }

private:
    Device& dev_;
    float* p_;
};

// Brings the stored values into `out` as floats. For 16-bit and float files the extremes
// are found in storage order while copying (each replaced only by a strictly greater or
// smaller value), then one scale s = 255 / (max - min) maps them onto 0..255 in single
// precision. A file of one value gives zeros and keeps max = min = that value, so that
// saving gives it back. False when the values cannot be normalised (not finite numbers,
// or a range that overflows), since they would poison every later computation.
template <typename T>
inline bool normalise(const T* in, float* out, size_t n, float& maxValue, float& minValue) {
    float maxV = (float)in[0], minV = (float)in[0];
    bool finite = true;
    for (size_t i = 0; i < n; ++i) {
        const float v = (float)in[i];
        out[i] = v;
        if (v > maxV) maxV = v;
        if (v < minV) minV = v;
        if (!std::isfinite(v)) finite = false;
    }
    maxValue = maxV;
    minValue = minV;
    if (!finite) return false;
    if (maxV == minV) {
        std::memset(out, 0, n * sizeof(float));
        return true;
    }
    const float s = 255.0f / (maxV - minV);
    if (!std::isfinite(maxV - minV) || !std::isfinite(s)) return false;
    for (size_t i = 0; i < n; ++i) out[i] = (out[i] - minV) * s;
    return true;
}

// Intensity centroid over the voxels above 1.0 (background carries no weight), single
// precision running sums in storage order. Without such voxels: the centre of the grid.
inline void centroid(const float* v, int32_t x, int32_t y, int32_t z, float center[3]) {
    float w = 0, sx = 0, sy = 0, sz = 0;
    size_t idx = 0;
    for (int32_t k = 0; k < z; ++k)
        for (int32_t j = 0; j < y; ++j)
            for (int32_t i = 0; i < x; ++i, ++idx) {
                const float val = v[idx];
                if (val > 1.0f) {
                    w += val;
                    sx += i * val;
                    sy += j * val;
                    sz += k * val;
                }
            }
    if (w == 0.0f) {
        center[0] = (x - 1) / 2.0f;
        center[1] = (y - 1) / 2.0f;
        center[2] = (z - 1) / 2.0f;
        return;
    }
    center[0] = sx / w;
    center[1] = sy / w;
    center[2] = sz / w;
}

// The loaded volume: the header's grid, sizes and orientation, the given range and
// datatype, the centroid of the normalised `values`, which are uploaded in one transfer.
inline VolumePtr uploadLoaded(Device& d, const imageio::ImageHeader& h, const float* values, float maxValue,
                              float minValue) {
    VolumePtr v = makeVolume(h.x, h.y, h.z, &d);
    v->t = 1;
    v->dx = h.dx;
    v->dy = h.dy;
    v->dz = h.dz;
    v->dt = h.dt;
    v->maxValue = maxValue;
    v->minValue = minValue;
    v->datatype = (int16_t)h.datatype;
    v->stage = 0;
    v->orient = h.orient;
    centroid(values, h.x, h.y, h.z, v->center);
    d.upload(v->data, values, v->count());
    return v;
}

}  // namespace voxelconvert
