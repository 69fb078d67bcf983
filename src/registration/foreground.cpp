#include "registration/foreground.h"

#include <algorithm>
#include <cmath>

#include "device/device.h"
#include "device/kernels.h"
#include "volume/inputs.h"
#include "volume/quantile.h"

namespace {

// Grows the mask by `steps` voxels along one axis: each voxel becomes the maximum of the
// original ones within `steps` of it along the axis. Lines along y and z are taken a whole
// x row at a time, so that every pass reads and writes memory in storage order.
void growAlong(std::vector<uint8_t>& m, int32_t nx, int32_t ny, int32_t nz, int axis, int steps) {
    if (steps <= 0) return;
    const std::vector<uint8_t> orig = m;
    if (axis == 0) {
        for (size_t row = 0; row < (size_t)ny * (size_t)nz; ++row) {
            const uint8_t* in = &orig[row * (size_t)nx];
            uint8_t* out = &m[row * (size_t)nx];
            int32_t last = -(steps + 1) * 2;  // the latest inside voxel seen
            for (int32_t i = 0; i < nx; ++i) {
                if (in[i]) last = i;
                if (i - last <= steps) out[i] = 1;
            }
            last = nx + (steps + 1) * 2;
            for (int32_t i = nx - 1; i >= 0; --i) {
                if (in[i]) last = i;
                if (last - i <= steps) out[i] = 1;
            }
        }
        return;
    }
    // Lines along y (within each z plane) or along z (across planes): a row of x per step,
    // each lane counting how far the latest inside voxel lies behind.
    const size_t row = (size_t)nx, stride = axis == 1 ? row : row * (size_t)ny;
    const int32_t len = axis == 1 ? ny : nz, outer = axis == 1 ? nz : 1;
    const size_t lanes = axis == 1 ? row : row * (size_t)ny, outerStride = axis == 1 ? row * (size_t)ny : 0;
    const int32_t far = steps + 1;
    std::vector<int32_t> dist(lanes);
    for (int32_t o = 0; o < outer; ++o) {
        const size_t base = (size_t)o * outerStride;
        std::fill(dist.begin(), dist.end(), far);
        for (int32_t i = 0; i < len; ++i) {
            const uint8_t* in = &orig[base + (size_t)i * stride];
            uint8_t* out = &m[base + (size_t)i * stride];
            for (size_t x = 0; x < lanes; ++x) {
                dist[x] = in[x] ? 0 : std::min(dist[x] + 1, far);
                out[x] |= (uint8_t)(dist[x] <= steps);
            }
        }
        std::fill(dist.begin(), dist.end(), far);
        for (int32_t i = len - 1; i >= 0; --i) {
            const uint8_t* in = &orig[base + (size_t)i * stride];
            uint8_t* out = &m[base + (size_t)i * stride];
            for (size_t x = 0; x < lanes; ++x) {
                dist[x] = in[x] ? 0 : std::min(dist[x] + 1, far);
                out[x] |= (uint8_t)(dist[x] <= steps);
            }
        }
    }
}

// Everything the outside cannot reach through face neighbours outside the mask joins it.
// A scanline fill: each seed takes its whole run along x at once and seeds the runs beside
// it in the four neighbouring rows, so the stack holds runs rather than voxels.
void fillHoles(std::vector<uint8_t>& m, int32_t nx, int32_t ny, int32_t nz) {
    const size_t sy = (size_t)nx, sz = (size_t)nx * (size_t)ny;
    // 0: not reached yet, 1: the mask, 2: reached from the outside.
    std::vector<uint8_t>& s = m;
    std::vector<size_t> stack;
    auto push = [&](size_t i) {
        if (s[i] == 0) stack.push_back(i);
    };
    // Seeds the runs of unreached voxels in row (j, k) between x0 and x1.
    auto seedRow = [&](int32_t j, int32_t k, int32_t x0, int32_t x1) {
        const size_t r = (size_t)k * sz + (size_t)j * sy;
        bool open = false;
        for (int32_t x = x0; x <= x1; ++x) {
            const bool free = s[r + (size_t)x] == 0;
            if (free && !open) stack.push_back(r + (size_t)x);
            open = free;
        }
    };
    for (int32_t k = 0; k < nz; ++k)
        for (int32_t j = 0; j < ny; ++j) {
            if (j == 0 || k == 0 || j == ny - 1 || k == nz - 1) {
                seedRow(j, k, 0, nx - 1);
            } else {
                push((size_t)k * sz + (size_t)j * sy);
                push((size_t)k * sz + (size_t)j * sy + (size_t)(nx - 1));
            }
        }
    while (!stack.empty()) {
        const size_t i = stack.back();
        stack.pop_back();
        if (s[i] != 0) continue;
        const size_t r = i - i % sy;
        const int32_t j = (int32_t)((i / sy) % (size_t)ny), k = (int32_t)(i / sz);
        int32_t x0 = (int32_t)(i - r), x1 = x0;
        while (x0 > 0 && s[r + (size_t)x0 - 1] == 0) --x0;
        while (x1 + 1 < nx && s[r + (size_t)x1 + 1] == 0) ++x1;
        for (int32_t x = x0; x <= x1; ++x) s[r + (size_t)x] = 2;
        if (j > 0) seedRow(j - 1, k, x0, x1);
        if (j + 1 < ny) seedRow(j + 1, k, x0, x1);
        if (k > 0) seedRow(j, k - 1, x0, x1);
        if (k + 1 < nz) seedRow(j, k + 1, x0, x1);
    }
    for (uint8_t& v : s) v = v != 2;
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

namespace {

// A 0/1 volume on v's grid and backend holding m.
VolumePtr maskVolume(const Volume& v, const std::vector<float>& m) {
    VolumePtr out = makeVolume(v.x, v.y, v.z, &deviceOf(v));
    if (!out) return nullptr;
    out->owner->upload(out->data, m.data(), m.size());
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

}  // namespace

VolumePtr latticeSubset(const Volume& like, const Volume* mask, int oneIn, size_t minInside) {
    std::vector<float> m(like.count(), 1.0f);
    if (mask) mask->owner->download(m.data(), mask->data, m.size());
    size_t v = 0, inside = 0;
    for (int32_t k = 0; k < like.z; ++k)
        for (int32_t j = 0; j < like.y; ++j)
            for (int32_t i = 0; i < like.x; ++i, ++v) {
                const bool in = kern::maskInside(m[v]);
                inside += in;
                const int at = oneIn == 2 ? i + j + k : i + 2 * j + 3 * k;
                m[v] = in && (oneIn <= 1 || at % oneIn == 0) ? 1.0f : 0.0f;
            }
    return inside < minInside ? nullptr : maskVolume(like, m);
}

VolumePtr automaticForeground(const Volume& v, const Volume* within, float marginMm) {
    return foregroundMask(v, foregroundVoxels(v, within, marginMm));
}

VolumePtr foregroundMask(const Volume& v, const std::vector<uint8_t>& m) {
    const size_t inside = (size_t)std::count(m.begin(), m.end(), (uint8_t)1);
    if (inside < kMinMaskVoxels) return nullptr;
    return maskVolume(v, std::vector<float>(m.begin(), m.end()));
}
