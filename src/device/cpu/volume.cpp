// Voxel memory and the three resampling operations.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "device/cpu/cpu_device.h"
#include "device/kernels.h"

namespace {

float* allocFloats(size_t n) {
    void* p = std::malloc(n ? n * sizeof(float) : 1);
    if (!p) throw std::bad_alloc();
    return (float*)p;
}

struct LinearFetch {
    const float* d;
    kern::Dim3 n;
    kern::TieRule ties;
    float operator()(float u, float v, float w) const { return kern::fetchLinear(d, n, u, v, w, ties); }
};

}  // namespace

float* CpuDevice::allocVoxels(size_t n) {
    float* p = allocFloats(n);
    std::memset(p, 5, n * sizeof(float));
    return p;
}
void CpuDevice::freeVoxels(float* p) { std::free(p); }
float* CpuDevice::allocStaging(size_t n) { return allocFloats(n); }
void CpuDevice::freeStaging(float* p) { std::free(p); }
void CpuDevice::upload(float* dst, const float* src, size_t n) { std::memcpy(dst, src, n * sizeof(float)); }
void CpuDevice::download(float* dst, const float* src, size_t n) { std::memcpy(dst, src, n * sizeof(float)); }

template <class F>
void CpuDevice::forEachRow(int y, int z, const F& rowFn) {
    const size_t rows = (size_t)y * (size_t)z;
    // A few rows per task keeps the hand-out cheap on tiny volumes.
    const size_t per = rows > 4096 ? 16 : 1;
    pool_.parallelFor((rows + per - 1) / per, [&](size_t t) {
        for (size_t r = t * per; r < rows && r < (t + 1) * per; ++r) rowFn((int)(r % y), (int)(r / y));
    });
}

// Every output voxel's position on an axis depends on its index on that axis alone, so the
// texture's blend is separable: blends along x on the source rows at every output x, then
// along y, then along z, each with the very operands and operations of blendLinear (a, b, c,
// e on x; ab, ce on y; then z), which keeps the result the direct evaluation's bit for bit.
// Output slices are taken in slabs, each blending only the source rows and slices its
// outputs read: a task's scratch is then at most 2 * kSlab + 2 output slices whatever the
// ratio (a 3 mm source brought to 1 mm has a 27 times larger output, a 0.5 mm one a source
// 8 times larger), and a source slice shared by neighbouring outputs is blended once per
// slab rather than once per output.
void CpuDevice::isotropicResample(const Volume& in, Volume& out, float rx, float ry, float rz) {
    const int X = out.x, Y = out.y, Z = out.z;
    // Each output index's two source indices and weight, clamped and rounded by the texture's
    // own code.
    std::vector<int> x0(X), x1(X), y0(Y), y1(Y), z0(Z), z1(Z);
    std::vector<float> fx(X), fy(Y), fz(Z);
    for (int t = 0, m = std::max({X, Y, Z}); t < m; ++t) {
        const kern::V3 p = kern::isotropicPosition(t, t, t, rx, ry, rz);
        if (t < X) kern::linearAxis(p.x, in.x, x0[t], x1[t], fx[t], rules_.ties);
        if (t < Y) kern::linearAxis(p.y, in.y, y0[t], y1[t], fy[t], rules_.ties);
        if (t < Z) kern::linearAxis(p.z, in.z, z0[t], z1[t], fz[t], rules_.ties);
    }
    // The source rows any output reads (downsampling skips some), and where each output
    // row's two stand among them.
    std::vector<int> rowAt(in.y, -1), rows, ya(Y), yb(Y);
    for (int j = 0; j < Y; ++j) rowAt[y0[j]] = rowAt[y1[j]] = 0;
    for (int y = 0; y < in.y; ++y)
        if (rowAt[y] == 0) {
            rowAt[y] = (int)rows.size();
            rows.push_back(y);
        }
    for (int j = 0; j < Y; ++j) ya[j] = rowAt[y0[j]], yb[j] = rowAt[y1[j]];

    constexpr int kSlab = 8;  // output slices per task
    const size_t sx = (size_t)X, sxy = (size_t)X * Y, inXY = (size_t)in.x * in.y;
    pool_.parallelFor(((size_t)Z + kSlab - 1) / kSlab, [&](size_t t) {
        const int k0 = (int)t * kSlab, k1 = std::min(Z, k0 + kSlab);
        std::vector<int> slices;
        for (int k = k0; k < k1; ++k) slices.push_back(z0[k]), slices.push_back(z1[k]);
        std::sort(slices.begin(), slices.end());
        slices.erase(std::unique(slices.begin(), slices.end()), slices.end());
        // bx: one source slice blended along x; by: every slice of the slab, along x then y.
        std::vector<float> bx(sx * rows.size()), by(sxy * slices.size());
        for (size_t s = 0; s < slices.size(); ++s) {
            const float* slice = in.data + (size_t)slices[s] * inXY;
            for (size_t r = 0; r < rows.size(); ++r) {
                const float* src = slice + (size_t)rows[r] * in.x;
                float* o = &bx[r * sx];
                for (int i = 0; i < X; ++i) o[i] = kern::lerp8(src[x0[i]], src[x1[i]], fx[i]);
            }
            for (int j = 0; j < Y; ++j) {
                const float* a = &bx[(size_t)ya[j] * sx];
                const float* b = &bx[(size_t)yb[j] * sx];
                float* o = &by[s * sxy + (size_t)j * sx];
                const float f = fy[j];
                for (int i = 0; i < X; ++i) o[i] = kern::lerp8(a[i], b[i], f);
            }
        }
        auto sliceAt = [&](int z) {
            return (size_t)(std::lower_bound(slices.begin(), slices.end(), z) - slices.begin());
        };
        for (int k = k0; k < k1; ++k) {
            const float* a = &by[sliceAt(z0[k]) * sxy];
            const float* b = &by[sliceAt(z1[k]) * sxy];
            float* o = out.data + (size_t)k * sxy;
            const float f = fz[k];
            for (size_t v = 0; v < sxy; ++v) o[v] = kern::lerp8(a[v], b[v], f);
        }
    });
}

// Every one of the 27 taps of a half-sample is a trilinear fetch at an integer coordinate
// U, which blends voxels U - 1 and U with the weight 1/2 on each axis (under every rounding
// rule). So the fetches are computed once per lattice point instead of 27 times per output,
// and separably: blends along x over the source, then along y, then along z, each value with
// the very operands and operations of the texture's blend (x, then y, then z), so the result
// is the direct evaluation's bit for bit. Lattice points whose blend would clamp at the edge
// are fetched directly.
void CpuDevice::halfSample(const Volume& in, Volume& out) {
    const kern::Dim3 n{in.x, in.y, in.z};
    const LinearFetch fetch{in.data, n, rules_.ties};
    // Lattice coordinates -1 .. 2 * out - 1 on each axis, stored from 0.
    const int64_t lx = 2 * (int64_t)out.x + 1, ly = 2 * (int64_t)out.y + 1, lz = 2 * (int64_t)out.z + 1;
    // The lattice points U with 1 <= U <= n - 1 (no clamping), as stored indices.
    auto inner = [](int64_t u, int size) { return u - 1 >= 1 && u - 1 <= size - 1; };
    const int64_t sx = n.x, sxy = (int64_t)n.x * n.y;
    // Blends along x on the source's rows, then along y, each over the inner lattice points
    // only (others are never read).
    std::vector<float> bx((size_t)(lx * n.y * n.z)), by((size_t)(lx * ly * n.z));
    pool_.parallelFor((size_t)n.z, [&](size_t z) {
        for (int y = 0; y < n.y; ++y) {
            const float* row = in.data + (int64_t)z * sxy + (int64_t)y * sx;
            float* o = &bx[((size_t)z * n.y + y) * lx];
            for (int64_t u = 0; u < lx; ++u)
                if (inner(u, n.x)) o[u] = kern::lerp8(row[u - 2], row[u - 1], 0.5f);
        }
        for (int64_t v = 0; v < ly; ++v) {
            if (!inner(v, n.y)) continue;
            const float* a = &bx[((size_t)z * n.y + (v - 2)) * lx];
            const float* b = a + lx;
            float* o = &by[((size_t)z * ly + v) * lx];
            for (int64_t u = 0; u < lx; ++u)
                if (inner(u, n.x)) o[u] = kern::lerp8(a[u], b[u], 0.5f);
        }
    });
    std::vector<float>().swap(bx);  // at most two source-sized arrays at a time
    std::vector<float> lattice((size_t)(lx * ly * lz));
    pool_.parallelFor((size_t)lz, [&](size_t w) {
        for (int64_t v = 0; v < ly; ++v) {
            float* o = &lattice[((size_t)w * ly + v) * lx];
            const bool yzInner = inner((int64_t)w, n.z) && inner(v, n.y);
            const float* a = yzInner ? &by[((size_t)(w - 2) * ly + v) * lx] : nullptr;
            const float* b = yzInner ? a + ly * lx : nullptr;
            for (int64_t u = 0; u < lx; ++u)
                o[u] = yzInner && inner(u, n.x)
                           ? kern::lerp8(a[u], b[u], 0.5f)
                           : fetch((float)(u - 1), (float)(v - 1), (float)((int64_t)w - 1));
        }
    });
    const float* L = lattice.data();
    auto latticeAt = [=](float u, float v, float w) {
        return L[(((int64_t)w + 1) * ly + ((int64_t)v + 1)) * lx + ((int64_t)u + 1)];
    };
    const int X = out.x;
    forEachRow(out.y, out.z, [&](int j, int k) {
        float* row = out.data + ((size_t)k * out.y + j) * X;
        for (int i = 0; i < X; ++i) row[i] = kern::halfSampleValue(latticeAt, i, j, k);
    });
}

void CpuDevice::transformVolume(const Volume& src, Volume& out, const float affine[16], bool nearest,
                                float outside) {
    const LinearFetch fetch{src.data, {src.x, src.y, src.z}, rules_.ties};
    const kern::Dim3 sd{src.x, src.y, src.z};
    const kern::V3 outC{out.center[0], out.center[1], out.center[2]};
    const kern::V3 srcC{src.center[0], src.center[1], src.center[2]};
    const kern::V3 refVox{out.dx, out.dy, out.dz}, srcVox{src.dx, src.dy, src.dz};
    const int X = out.x;
    forEachRow(out.y, out.z, [&](int j, int k) {
        float* row = out.data + ((size_t)k * out.y + j) * X;
        for (int i = 0; i < X; ++i) {
            kern::V3 s = kern::transformPosition(affine, i, j, k, outC, refVox, srcVox, srcC);
            row[i] = !kern::insideHalfOpen(s, sd)
                         ? outside
                         : (nearest ? kern::fetchPoint(src.data, sd, s.x, s.y, s.z, rules_.point) : fetch(s.x, s.y, s.z));
        }
    });
}
