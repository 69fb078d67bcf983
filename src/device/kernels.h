#pragma once
// Per-voxel arithmetic shared by the CUDA kernels and the CPU backend, so that both
// compute the same function and the CPU tests cover what the GPU runs. Keep each
// function's float operations in the written order: host code is built without
// floating-point contraction and device code with --fmad=false, and the fused
// multiply-adds the results depend on are spelled fmaf.
#include <cmath>
#include <cstdint>

#if defined(__CUDACC__)
#define TARVO_HD __host__ __device__ __forceinline__
#else
#define TARVO_HD inline
#endif

namespace kern {

struct V3 {
    float x, y, z;
};

struct Dim3 {
    int x, y, z;
};

// ---- sampling convention of the source texture -------------------------------------
// Voxel i sits at coordinate i + 0.5; indices clamp to the edge; the blend weight is
// held with 8 fractional bits, as the texture hardware does.
//
// Two details of the hardware are not documented, and TextureRules names both readings so
// that one GPU run can tell which one the texture unit follows (tests/gpu/texprobe):
//  - point sampling: texel floor(m) of the exact coordinate, or of the coordinate first
//    rounded to 8 fractional bits (then a coordinate within 1/512 below an integer reads
//    the texel above);
//  - a blend weight exactly halfway between two 1/256 steps: rounded to even or up.
enum class PointRule : uint8_t { Floor, Fixed8 };
// Exact is not a reading of the hardware but the cost pair option of full float weights
// (CostPairOptions::exactWeights): no rounding at all, a cost smooth below 1/256 voxel for
// the precision stage of a registration.
enum class TieRule : uint8_t { ToEven, HalfUp, Exact };

struct TextureRules {
    PointRule point = PointRule::Floor;
    TieRule ties = TieRule::ToEven;
};

TARVO_HD bool operator==(TextureRules a, TextureRules b) { return a.point == b.point && a.ties == b.ties; }

// A value in units of 1/256, rounded to a whole number of them.
TARVO_HD float roundTo256ths(float f, TieRule ties) {
    const float x = f * 256.0f;
    return ties == TieRule::ToEven ? rintf(x) : ties == TieRule::HalfUp ? floorf(x + 0.5f) : x;
}

TARVO_HD float quantizeWeight(float f, TieRule ties = TieRule::ToEven) {
    return roundTo256ths(f, ties) * (1.0f / 256.0f);
}

// One axis: the two clamped voxel indices and the quantised weight of the upper one.
TARVO_HD void linearAxis(float u, int n, int& i0, int& i1, float& f, TieRule ties = TieRule::ToEven) {
    float a = u - 0.5f;
    float fl = floorf(a);
    // Clamp before converting so that huge or NaN coordinates cannot overflow the int.
    fl = fmaxf(fminf(fl, (float)n), -1.0f);
    f = quantizeWeight(a - fl, ties);
    if (!(f >= 0.0f && f <= 1.0f)) f = 0.0f;  // NaN coordinate
    int i = (int)fl;
    i0 = i < 0 ? 0 : (i > n - 1 ? n - 1 : i);
    int j = i + 1;
    i1 = j < 0 ? 0 : (j > n - 1 ? n - 1 : j);
}

TARVO_HD float lerp8(float a, float b, float f) { return a + f * (b - a); }

// Trilinear blend at unnormalised coordinate (u, v, w); texel(i, j, k) reads one voxel.
// Blends along x, then y, then z, as the texture hardware does.
template <class Texel>
TARVO_HD float blendLinear(const Texel& texel, Dim3 n, float u, float v, float w, TieRule ties) {
    int x0, x1, y0, y1, z0, z1;
    float fx, fy, fz;
    linearAxis(u, n.x, x0, x1, fx, ties);
    linearAxis(v, n.y, y0, y1, fy, ties);
    linearAxis(w, n.z, z0, z1, fz, ties);
    float a = lerp8(texel(x0, y0, z0), texel(x1, y0, z0), fx);
    float b = lerp8(texel(x0, y1, z0), texel(x1, y1, z0), fx);
    float c = lerp8(texel(x0, y0, z1), texel(x1, y0, z1), fx);
    float e = lerp8(texel(x0, y1, z1), texel(x1, y1, z1), fx);
    float ab = lerp8(a, b, fy);
    float ce = lerp8(c, e, fy);
    return lerp8(ab, ce, fz);
}

// Trilinear fetch of a volume in storage order.
TARVO_HD float fetchLinear(const float* d, Dim3 n, float u, float v, float w,
                           TieRule ties = TieRule::ToEven) {
    const int64_t sx = n.x, sxy = (int64_t)n.x * n.y;
    return blendLinear([=](int i, int j, int k) { return d[k * sxy + j * sx + i]; }, n, u, v, w, ties);
}

// The coordinate the point sampler takes the floor of.
TARVO_HD float pointCoordinate(float u, PointRule rule) {
    // Huge coordinates clamp anyway; keep the scaling clear of overflow.
    return rule == PointRule::Floor || !(fabsf(u) < 1.0e30f)
               ? u
               : roundTo256ths(u, TieRule::ToEven) * (1.0f / 256.0f);
}

TARVO_HD int pointAxis(float u, int n, PointRule rule = PointRule::Floor) {
    float fl = fmaxf(fminf(floorf(pointCoordinate(u, rule)), (float)(n - 1)), 0.0f);
    return (int)fl;
}

// Nearest-texel fetch: texel floor(m), clamped.
TARVO_HD float fetchPoint(const float* d, Dim3 n, float u, float v, float w,
                          PointRule rule = PointRule::Floor) {
    int i = pointAxis(u, n.x, rule), j = pointAxis(v, n.y, rule), k = pointAxis(w, n.z, rule);
    return d[((int64_t)k * n.y + j) * n.x + i];
}

// ---- launch-shape helper -----------------------------------------------------------
// ceil(n / k) for k a power of two, in unsigned 32-bit arithmetic.
TARVO_HD unsigned ceilDivPow2(unsigned n, unsigned log2k) {
    return (n + (1u << log2k) - 1u) >> log2k;
}

// ---- isotropic resampling ----------------------------------------------------------
TARVO_HD V3 isotropicPosition(int i, int j, int k, float rx, float ry, float rz) {
    return V3{(float)i * rx, (float)j * ry, (float)k * rz};
}

// ---- half-sampling: 27 taps at integer coordinates around (2i, 2j, 2k) ---------------
template <class Fetch>
TARVO_HD float halfSampleValue(const Fetch& f, int i, int j, int k) {
    const float u = (float)i + (float)i, v = (float)j + (float)j, w = (float)k + (float)k;
    float s0 = f(u, v, w);
    float s1 = 0.0f;
    s1 += f(u + 1, v, w);
    s1 += f(u - 1, v, w);
    s1 += f(u, v + 1, w);
    s1 += f(u, v - 1, w);
    s1 += f(u, v, w + 1);
    s1 += f(u, v, w - 1);
    float s2 = 0.0f;
    s2 += f(u + 1, v + 1, w);
    s2 += f(u + 1, v - 1, w);
    s2 += f(u - 1, v + 1, w);
    s2 += f(u - 1, v - 1, w);
    s2 += f(u + 1, v, w + 1);
    s2 += f(u + 1, v, w - 1);
    s2 += f(u - 1, v, w + 1);
    s2 += f(u - 1, v, w - 1);
    s2 += f(u, v + 1, w + 1);
    s2 += f(u, v + 1, w - 1);
    s2 += f(u, v - 1, w + 1);
    s2 += f(u, v - 1, w - 1);
    float s3 = 0.0f;
    s3 += f(u + 1, v + 1, w + 1);
    s3 += f(u + 1, v + 1, w - 1);
    s3 += f(u + 1, v - 1, w + 1);
    s3 += f(u + 1, v - 1, w - 1);
    s3 += f(u - 1, v + 1, w + 1);
    s3 += f(u - 1, v + 1, w - 1);
    s3 += f(u - 1, v - 1, w + 1);
    s3 += f(u - 1, v - 1, w - 1);
    float value = s1 * 0.0625f;
    value = fmaf(s0, 0.125f, value);
    value = fmaf(s2, 0.0312f, value);
    value = fmaf(s3, 0.0157f, value);
    return value;
}

// ---- affine resampling -------------------------------------------------------------
// Output voxel (i, j, k) -> sampling position in the source.
TARVO_HD V3 transformPosition(const float* A, int i, int j, int k, V3 outCenter, V3 refVoxel,
                              V3 srcVoxel, V3 srcCenter) {
    const float px = (float)i - outCenter.x, py = (float)j - outCenter.y,
                pz = (float)k - outCenter.z;
    float q[3];
    for (int r = 0; r < 3; ++r) {
        float m = A[4 * r + 1] * py;
        m = fmaf(A[4 * r + 0], px, m);
        m = fmaf(A[4 * r + 2], pz, m);
        q[r] = m + A[4 * r + 3];
    }
    V3 s;
    s.x = (q[0] * refVoxel.x) / srcVoxel.x + srcCenter.x;
    s.y = (q[1] * refVoxel.y) / srcVoxel.y + srcCenter.y;
    s.z = (q[2] * refVoxel.z) / srcVoxel.z + srcCenter.z;
    return s;
}

// Half-open: [0, n) on every axis; NaN is outside.
TARVO_HD bool insideHalfOpen(V3 s, Dim3 n) {
    return s.x >= 0.0f && s.x < (float)n.x && s.y >= 0.0f && s.y < (float)n.y && s.z >= 0.0f &&
           s.z < (float)n.z;
}

// ---- correlation-ratio cost --------------------------------------------------------
// The reference centre enters truncated toward zero; the source centre keeps its fraction.
TARVO_HD V3 truncatedCenter(V3 c) { return V3{truncf(c.x), truncf(c.y), truncf(c.z)}; }

// Reference voxel position -> source position (A: first 12 elements used).
TARVO_HD V3 costPosition(const float* A, float px, float py, float pz, V3 refC, V3 srcC) {
    const float ex = px - refC.x, ey = py - refC.y, ez = pz - refC.z;
    V3 m;
    float t = A[1] * ey;
    t = fmaf(A[0], ex, t);
    t = fmaf(A[2], ez, t);
    m.x = (t + A[3]) + srcC.x;
    t = A[5] * ey;
    t = fmaf(A[4], ex, t);
    t = fmaf(A[6], ez, t);
    m.y = (t + A[7]) + srcC.y;
    t = A[9] * ey;
    t = fmaf(A[8], ex, t);
    t = fmaf(A[10], ez, t);
    m.z = (t + A[11]) + srcC.z;
    return m;
}

// Inclusive: [0, n] on every axis; NaN is outside.
TARVO_HD bool insideInclusive(V3 m, float X, float Y, float Z) {
    return m.x >= 0.0f && m.x <= X && m.y >= 0.0f && m.y <= Y && m.z >= 0.0f && m.z <= Z;
}

// ---- masks ----------------------------------------------------------------------------
// A mask travels as a 0/1 image down-sampled like its image, so a level voxel holds the
// fraction of it that lies inside; it counts as inside from one half up (NaN is outside).
TARVO_HD bool maskInside(float m) { return m >= 0.5f; }

// What a reference voxel outside the fixed mask is binned as: above every bin, so it
// enters no bin (256 is the first value past the last bin of every bin count) and sorts
// after all kept voxels on the GPU without widening the sort's key range much.
constexpr float kMaskedReference = 256.0f;
TARVO_HD float maskedReference(float value, const float* refMask, int64_t v) {
    return (refMask && !maskInside(refMask[v])) ? kMaskedReference : value;
}

// A source sample counts only when the nearest moving-mask voxel to its position (the
// texel whose cell holds it) is inside; null mask: every sample counts.
TARVO_HD bool sourceSampleKept(const float* srcMask, Dim3 n, V3 m) {
    return !srcMask || maskInside(fetchPoint(srcMask, n, m.x, m.y, m.z));
}

// Bin count from the registration stage; 0 for an unknown stage.
TARVO_HD int binCountForStage(int stage) {
    switch (stage) {
        case 1: return 64;
        case 2: return 128;
        case 3:
        case 4: return 256;
        default: return 0;
    }
}

// Intensity -> bin: truncated to a 64-bit integer, low 32 bits unsigned, divided by width.
TARVO_HD uint32_t binOf(float w, uint32_t binWidth) {
    if (!(w > -9.0e18f && w < 9.0e18f)) return 0xffffffffu;  // out of int64 range or NaN
    return (uint32_t)(uint64_t)(int64_t)w / binWidth;
}

// Within-bin squared deviation of one bin.
TARVO_HD float binVariance(float S, float Q, float N) {
    float V = N > 0.0f ? Q - (S * S) / N : 0.0f;
    if (V < 0.0f) V = 0.0f;
    return V;
}

// Final ratio from the totals.
TARVO_HD float ratioFromTotals(float S, float Q, float N, float V) {
    if (N > 1.0f) {
        float T = Q - (S * S) / N;
        if (T > 1.0f) return V / T;
    }
    return 1.0f;
}

// The whole sum step over per-bin sums, folding in the order of a block tree sum
// (h = binCount/2, binCount/4, ... 1). binCount <= 256. Both backends call this on the host
// or device with identical per-bin inputs, so they agree bit for bit from here on.
TARVO_HD float correlationRatioFromBins(const float* S, const float* Q, const float* N,
                                        int binCount) {
    float s[256], q[256], n[256], v[256];
    for (int t = 0; t < binCount; ++t) {
        s[t] = S[t];
        q[t] = Q[t];
        n[t] = N[t];
        v[t] = binVariance(S[t], Q[t], N[t]);
    }
    for (int h = binCount / 2; h >= 1; h /= 2)
        for (int t = 0; t < h; ++t) {
            s[t] += s[t + h];
            q[t] += q[t + h];
            n[t] += n[t + h];
            v[t] += v[t + h];
        }
    return ratioFromTotals(s[0], q[0], n[0], v[0]);
}

}  // namespace kern
