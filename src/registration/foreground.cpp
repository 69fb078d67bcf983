#include "registration/foreground.h"

#include <algorithm>
#include <cmath>

#include "device/device.h"
#include "device/kernels.h"
#include "volume/inputs.h"
#include "volume/quantile.h"

namespace {

// Grows the mask by `steps` voxels along one axis (stride between neighbours, n voxels
// along it): a running maximum over a window of 2 steps + 1.
void growAlong(std::vector<uint8_t>& m, int32_t nx, int32_t ny, int32_t nz, int axis, int steps) {
    if (steps <= 0) return;
    const int32_t n[3] = {nx, ny, nz};
    const size_t stride[3] = {1, (size_t)nx, (size_t)nx * (size_t)ny};
    const int32_t len = n[axis];
    std::vector<uint8_t> line((size_t)len);
    const int32_t a = axis == 0 ? 1 : 0, b = axis == 2 ? 1 : 2;
    for (int32_t v = 0; v < n[b]; ++v)
        for (int32_t u = 0; u < n[a]; ++u) {
            const size_t base = (size_t)u * stride[a] + (size_t)v * stride[b];
            int32_t last = -(steps + 1) * 2;  // the latest inside voxel seen
            for (int32_t i = 0; i < len; ++i) line[(size_t)i] = m[base + (size_t)i * stride[axis]];
            // Forward: within steps after an inside voxel; backward: within steps before one.
            for (int32_t i = 0; i < len; ++i) {
                if (line[(size_t)i]) last = i;
                if (i - last <= steps) m[base + (size_t)i * stride[axis]] = 1;
            }
            last = len + (steps + 1) * 2;
            for (int32_t i = len - 1; i >= 0; --i) {
                if (line[(size_t)i]) last = i;
                if (last - i <= steps) m[base + (size_t)i * stride[axis]] = 1;
            }
        }
}

// Everything the outside cannot reach through face neighbours outside the mask joins it.
void fillHoles(std::vector<uint8_t>& m, int32_t nx, int32_t ny, int32_t nz) {
    const size_t sy = (size_t)nx, sz = (size_t)nx * (size_t)ny;
    std::vector<uint8_t> outside(m.size(), 0);
    std::vector<size_t> stack;
    auto push = [&](size_t i) {
        if (!m[i] && !outside[i]) {
            outside[i] = 1;
            stack.push_back(i);
        }
    };
    for (int32_t k = 0; k < nz; ++k)
        for (int32_t j = 0; j < ny; ++j)
            for (int32_t x = 0; x < nx; ++x)
                if (x == 0 || j == 0 || k == 0 || x == nx - 1 || j == ny - 1 || k == nz - 1)
                    push((size_t)k * sz + (size_t)j * sy + (size_t)x);
    while (!stack.empty()) {
        const size_t i = stack.back();
        stack.pop_back();
        const int32_t x = (int32_t)(i % sy), j = (int32_t)((i / sy) % (size_t)ny), k = (int32_t)(i / sz);
        if (x > 0) push(i - 1);
        if (x + 1 < nx) push(i + 1);
        if (j > 0) push(i - sy);
        if (j + 1 < ny) push(i + sy);
        if (k > 0) push(i - sz);
        if (k + 1 < nz) push(i + sz);
    }
    for (size_t i = 0; i < m.size(); ++i) m[i] = !outside[i];
}

}  // namespace


std::vector<uint8_t> foregroundVoxels(const Volume& v, const Volume* within, float marginMm) {
    if (marginMm < 0.0f) marginMm = kForegroundMarginMm;
    const size_t n = v.count();
    std::vector<float> host(n);
    v.owner->download(host.data(), v.data, n);
    std::vector<uint8_t> m(n, 0);
    if (n == 0) return m;
    // The stored values are an increasing linear map of the physical ones: the fraction of
    // the range is the same on either.
    const float p1 = quantile(host, 0.01), p99 = quantile(host, 0.99);
    const float threshold = p1 + kForegroundFraction * (p99 - p1);
    for (size_t i = 0; i < n; ++i) m[i] = host[i] > threshold;
    const float voxel[3] = {v.dx, v.dy, v.dz};
    for (int axis = 0; axis < 3; ++axis)
        growAlong(m, v.x, v.y, v.z, axis, (int)std::lround(marginMm / std::fabs(voxel[axis])));
    fillHoles(m, v.x, v.y, v.z);
    if (within) {
        std::vector<float> w(within->count());
        within->owner->download(w.data(), within->data, w.size());
        for (size_t i = 0; i < n; ++i)
            if (i >= w.size() || !kern::maskInside(w[i])) m[i] = 0;
    }
    return m;
}

VolumePtr automaticForeground(const Volume& v, const Volume* within, float marginMm) {
    const std::vector<uint8_t> m = foregroundVoxels(v, within, marginMm);
    const size_t inside = (size_t)std::count(m.begin(), m.end(), (uint8_t)1);
    if (inside < kMinMaskVoxels) return nullptr;
    VolumePtr out = makeVolume(v.x, v.y, v.z, &deviceOf(v));
    if (!out) return nullptr;
    std::vector<float> f(m.begin(), m.end());
    out->owner->upload(out->data, f.data(), f.size());
    out->dx = v.dx;
    out->dy = v.dy;
    out->dz = v.dz;
    out->orient = v.orient;
    out->center[0] = v.center[0];
    out->center[1] = v.center[1];
    out->center[2] = v.center[2];
    out->maxValue = 1.0f;
    out->minValue = 0.0f;
    return out;
}
