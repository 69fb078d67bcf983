// Voxel memory and the three resampling operations.
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

void CpuDevice::isotropicResample(const Volume& in, Volume& out, float rx, float ry, float rz) {
    const LinearFetch fetch{in.data, {in.x, in.y, in.z}, rules_.ties};
    const int X = out.x;
    forEachRow(out.y, out.z, [&](int j, int k) {
        float* row = out.data + ((size_t)k * out.y + j) * X;
        for (int i = 0; i < X; ++i) {
            kern::V3 p = kern::isotropicPosition(i, j, k, rx, ry, rz);
            row[i] = fetch(p.x, p.y, p.z);
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
