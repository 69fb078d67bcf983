// Built with -mavx2 -mfma; only called when the processor has both. Eight voxels at a
// time, voxel v of the chunk in lane v % 8, with the scalar path's operations in the
// scalar path's order, so both give the same sums bit for bit.
#include <immintrin.h>

#include "device/cpu/simd.h"

namespace {

struct Axis {
    __m256i i0, i1;
    __m256 f;
};

// Valid for positions inside [0, n]: there the clamping of the scalar path never acts on
// the weight. Outside positions are masked off later; their indices are still clamped so
// that the gathers stay inside the volume.
// Whole 1/256 steps of x (already scaled by 256), ties as kern::roundTo256ths.
inline __m256 round256ths(__m256 x, kern::TieRule ties) {
    if (ties == kern::TieRule::Exact) return x;
    return ties == kern::TieRule::ToEven ? _mm256_round_ps(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC)
                                         : _mm256_floor_ps(_mm256_add_ps(x, _mm256_set1_ps(0.5f)));
}

// floor(m - 0.5) and the weight of the upper neighbour, as the texture quantises it.
inline __m256 linearWeight(__m256 m, kern::TieRule ties, __m256& fl) {
    const __m256 a = _mm256_sub_ps(m, _mm256_set1_ps(0.5f));
    fl = _mm256_floor_ps(a);
    const __m256 f = _mm256_mul_ps(_mm256_sub_ps(a, fl), _mm256_set1_ps(256.0f));
    return _mm256_mul_ps(round256ths(f, ties), _mm256_set1_ps(1.0f / 256.0f));
}

inline Axis linearAxis(__m256 m, __m256i nMinus1, kern::TieRule ties) {
    __m256 fl;
    Axis r;
    r.f = linearWeight(m, ties, fl);
    const __m256i i = _mm256_cvttps_epi32(fl);
    const __m256i zero = _mm256_setzero_si256();
    r.i0 = _mm256_max_epi32(_mm256_min_epi32(i, nMinus1), zero);
    r.i1 = _mm256_max_epi32(_mm256_min_epi32(_mm256_add_epi32(i, _mm256_set1_epi32(1)), nMinus1), zero);
    return r;
}

inline __m256 lerp(__m256 a, __m256 b, __m256 f) {
    return _mm256_add_ps(a, _mm256_mul_ps(f, _mm256_sub_ps(b, a)));
}

// Eight floats at the lanes' offsets, one scalar load each. Where a hardware gather is
// microcoded (and slower still under the mitigation for gather data sampling), eight loads
// spread over the load ports beat it: the nearest-voxel levels (8 and 4 mm) ran 15-25 %
// faster than with _mm256_i32gather_ps on an Ice Lake guest, with the same sums.
inline __m256 loads8(const float* d, __m256i idx) {
    alignas(32) int32_t at[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), idx);
    return _mm256_setr_ps(d[at[0]], d[at[1]], d[at[2]], d[at[3]], d[at[4]], d[at[5]], d[at[6]], d[at[7]]);
}

// The x-neighbours (lo, hi) of eight samples from the padded rows, one 64-bit load each,
// in lane order. Two loads fill a 128-bit half with (lo, hi) of two samples; halves of
// samples 0-1 and 4-5, 2-3 and 6-7 are paired so that one even and one odd shuffle
// give the lanes in order. Scalar loads run on all the load ports, where the gathers of
// a processor are microcoded and take a cycle or more per element.
inline void pairs8(const float* d, const int32_t* at, __m256& lo, __m256& hi) {
    auto two = [&](int k) {
        // movq through an unaligned type: the pairs start at any float.
        const __m128 v = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(d + at[k])));
        return _mm_loadh_pi(v, reinterpret_cast<const __m64*>(d + at[k + 1]));
    };
    const __m256 a = _mm256_set_m128(two(4), two(0)), b = _mm256_set_m128(two(6), two(2));
    lo = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    hi = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}

// How far ahead, in reference voxels, the source rows of a later group are asked for.
// Eight groups: far enough to cover a trip to memory, near enough that the lines are
// still in the first-level cache when their group comes.
constexpr uint32_t kPrefetchAhead = 64;

// Everything one matrix needs in registers, set once per hand-out of chunks.
struct Setup {
    __m256 rcx, rcy, rcz, scx, scy, scz, a[12], X, Y, Z;
    __m256i nx1, ny1, nz1, sx, sxy;
    __m256i pw, pwy;            // row and slice strides of the padded rows
    const float *px, *py, *pz;  // the shared reference's coordinates
    const uint32_t* zeroCubes;  // Pair::zeroCubes (prepareLinear<..., true> only)
    uint32_t prefetchEnd = 0;   // groups starting below this prefetch the rows of a later one
    Setup(const cpucost::Pair& p, const float* A) {
        const cpucost::Reference& r = *p.ref;
        px = r.px.data(), py = r.py.data(), pz = r.pz.data();
        zeroCubes = p.zeroCubes.empty() ? nullptr : p.zeroCubes.data();
        const uint32_t voxels = (uint32_t)r.px.size();
        if (p.prefetch && voxels >= kPrefetchAhead + 8) prefetchEnd = voxels - kPrefetchAhead - 8;
        rcx = _mm256_set1_ps(r.refC[0]), rcy = _mm256_set1_ps(r.refC[1]), rcz = _mm256_set1_ps(r.refC[2]);
        scx = _mm256_set1_ps(p.srcC[0]), scy = _mm256_set1_ps(p.srcC[1]), scz = _mm256_set1_ps(p.srcC[2]);
        for (int i = 0; i < 12; ++i) a[i] = _mm256_set1_ps(A[i]);
        X = _mm256_set1_ps((float)p.sx), Y = _mm256_set1_ps((float)p.sy), Z = _mm256_set1_ps((float)p.sz);
        nx1 = _mm256_set1_epi32(p.sx - 1), ny1 = _mm256_set1_epi32(p.sy - 1), nz1 = _mm256_set1_epi32(p.sz - 1);
        sx = _mm256_set1_epi32(p.sx), sxy = _mm256_set1_epi32(p.sx * p.sy);
        pw = _mm256_set1_epi32(p.sx + 2), pwy = _mm256_set1_epi32((p.sx + 2) * p.sy);
    }
};


// The sample positions of the eight voxels at px/py/pz + v, and the lanes inside the
// source; `valid` masks off lanes past the end of the chunk (whose coordinates read as 0).
template <bool Tail>
inline __m256 positions(const Setup& c, uint32_t v, __m256i valid, __m256& mx, __m256& my, __m256& mz) {
    const __m256 zero = _mm256_setzero_ps();
    auto load = [&](const float* a) { return Tail ? _mm256_maskload_ps(a, valid) : _mm256_loadu_ps(a); };
    const __m256 ex = _mm256_sub_ps(load(c.px + v), c.rcx);
    const __m256 ey = _mm256_sub_ps(load(c.py + v), c.rcy);
    const __m256 ez = _mm256_sub_ps(load(c.pz + v), c.rcz);
    const __m256* a = c.a;
    __m256 t = _mm256_mul_ps(a[1], ey);
    t = _mm256_fmadd_ps(a[0], ex, t);
    t = _mm256_fmadd_ps(a[2], ez, t);
    mx = _mm256_add_ps(_mm256_add_ps(t, a[3]), c.scx);
    t = _mm256_mul_ps(a[5], ey);
    t = _mm256_fmadd_ps(a[4], ex, t);
    t = _mm256_fmadd_ps(a[6], ez, t);
    my = _mm256_add_ps(_mm256_add_ps(t, a[7]), c.scy);
    t = _mm256_mul_ps(a[9], ey);
    t = _mm256_fmadd_ps(a[8], ex, t);
    t = _mm256_fmadd_ps(a[10], ez, t);
    mz = _mm256_add_ps(_mm256_add_ps(t, a[11]), c.scz);

    __m256 in = _mm256_and_ps(_mm256_cmp_ps(mx, zero, _CMP_GE_OQ), _mm256_cmp_ps(mx, c.X, _CMP_LE_OQ));
    in = _mm256_and_ps(in, _mm256_and_ps(_mm256_cmp_ps(my, zero, _CMP_GE_OQ), _mm256_cmp_ps(my, c.Y, _CMP_LE_OQ)));
    in = _mm256_and_ps(in, _mm256_and_ps(_mm256_cmp_ps(mz, zero, _CMP_GE_OQ), _mm256_cmp_ps(mz, c.Z, _CMP_LE_OQ)));
    if (Tail) in = _mm256_and_ps(in, _mm256_castsi256_ps(valid));
    return in;
}

// Asks for the four source rows (the x-pairs at y0/y1, z0/z1) of the eight voxels at
// px/py/pz + w. Under a rotation the rows of consecutive voxels are far apart in memory and
// no hardware prefetcher foresees them; positions outside the source are clamped into it.
inline void prefetchRows(const cpucost::Pair& p, const Setup& c, uint32_t w) {
    __m256 mx, my, mz;
    const __m256 in = positions<false>(c, w, _mm256_set1_epi32(-1), mx, my, mz);
    // About half the groups of a 1 mm level lie wholly outside the source: nothing to ask for.
    if (_mm256_testz_ps(in, in)) return;
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi32(1);
    // Truncated floor(m - 0.5) clamped to [lo, n - 1]: the exact index but for positions
    // just below zero, where any row inside serves.
    auto index = [&](__m256 m, __m256i n1, __m256i lo) {
        return _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(_mm256_sub_ps(m, half)), n1), lo);
    };
    const __m256i ix = _mm256_add_epi32(index(mx, c.nx1, _mm256_set1_epi32(-1)), one);
    const __m256i iy = index(my, c.ny1, zero), iz = index(mz, c.nz1, zero);
    alignas(32) int32_t at[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at),
                       _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(iz, c.pwy), _mm256_mullo_epi32(iy, c.pw)), ix));
    // The rows y0 + 1 and z0 + 1 are not clamped: past the last row or slice they point
    // beyond the source, which a prefetch may ask for (it never faults); hence addresses
    // as integers rather than pointers.
    const uintptr_t d = reinterpret_cast<uintptr_t>(p.rowsPadded.data());
    const uintptr_t pw = 4 * ((uintptr_t)p.sx + 2), pwy = pw * (uintptr_t)p.sy;
    for (int k = 0; k < 8; ++k) {
        const uintptr_t r = d + 4 * (uintptr_t)at[k];
        for (uintptr_t o : {uintptr_t(0), pw, pwy, pw + pwy}) _mm_prefetch(reinterpret_cast<const char*>(r + o), _MM_HINT_T0);
    }
}

inline void accumulate(__m256 f, __m256 in, __m256& s, __m256& q, __m256& n) {
    s = _mm256_blendv_ps(s, _mm256_add_ps(s, f), in);
    q = _mm256_blendv_ps(q, _mm256_fmadd_ps(f, f, q), in);
    n = _mm256_blendv_ps(n, _mm256_add_ps(n, _mm256_set1_ps(1.0f)), in);
}

// Point sampling, in two steps like the trilinear path below: the texel offsets of the next
// eight voxels are worked out while the current gather is in flight.
struct PointGroup {
    __m256i at;  // texel offsets
    __m256 in;
    bool none;  // no lane inside the source
};

template <bool Tail>
inline void preparePoint(const cpucost::Pair& p, const Setup& c, uint32_t v, __m256i valid, PointGroup& g) {
    __m256 mx, my, mz;
    g.in = positions<Tail>(c, v, valid, mx, my, mz);
    g.none = _mm256_testz_ps(g.in, g.in);
    if (g.none) return;
    const __m256i zeroi = _mm256_setzero_si256();
    // Positions inside [0, n] here, so the scaling cannot overflow.
    const bool fixed8 = p.rules.point == kern::PointRule::Fixed8;
    auto idx = [&](__m256 m, __m256i n1) {
        if (fixed8)
            m = _mm256_mul_ps(round256ths(_mm256_mul_ps(m, _mm256_set1_ps(256.0f)), kern::TieRule::ToEven),
                              _mm256_set1_ps(1.0f / 256.0f));
        return _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(_mm256_floor_ps(m)), n1), zeroi);
    };
    g.at = _mm256_add_epi32(
        _mm256_add_epi32(_mm256_mullo_epi32(idx(mz, c.nz1), c.sxy), _mm256_mullo_epi32(idx(my, c.ny1), c.sx)),
        idx(mx, c.nx1));
}

// Trilinear sampling in two steps, so that the addresses and weights of the next eight
// voxels are worked out while the loads of the current eight are in flight: the
// out-of-order window then holds independent work instead of one long chain from the
// coordinates through the index arithmetic to the loads.
struct LinearGroup {
    alignas(32) int32_t at[32];  // the four rows' pair offsets in the padded source, 8 each
    __m256 fx, fy, fz, in;
    bool none;  // no lane inside the source
    bool zero;  // every lane inside reads only zeros (set when the source has Pair::zeroCubes)
};

// Zeros: the source has its map of zero samples (Pair::zeroCubes). A template argument,
// so that sources without one run the loop they ran before it existed: with the test
// compiled in, the 2 mm level of a head with its skull took 10-25 % longer.
template <kern::TieRule Ties, bool Tail, bool Zeros>
inline void prepareLinear(const cpucost::Pair& p, const Setup& c, uint32_t v, __m256i valid, LinearGroup& g) {
    if (v < c.prefetchEnd) prefetchRows(p, c, v + kPrefetchAhead);
    __m256 mx, my, mz;
    g.in = positions<Tail>(c, v, valid, mx, my, mz);
    g.none = _mm256_testz_ps(g.in, g.in);
    if (g.none) return;
    const Axis ay = linearAxis(my, c.ny1, Ties), az = linearAxis(mz, c.nz1, Ties);
    g.fy = ay.f, g.fz = az.f;
    // Row index floor(x - 0.5) in [-1, n - 1], shifted by the row's first pad.
    __m256 flx;
    g.fx = linearWeight(mx, Ties, flx);
    const __m256i ix = _mm256_add_epi32(
        _mm256_max_epi32(_mm256_min_epi32(_mm256_cvttps_epi32(flx), c.nx1), _mm256_set1_epi32(-1)),
        _mm256_set1_epi32(1));
    const __m256i z0 = _mm256_mullo_epi32(az.i0, c.pwy), z1 = _mm256_mullo_epi32(az.i1, c.pwy);
    const __m256i y0 = _mm256_add_epi32(_mm256_mullo_epi32(ay.i0, c.pw), ix),
                  y1 = _mm256_add_epi32(_mm256_mullo_epi32(ay.i1, c.pw), ix);
    _mm256_store_si256(reinterpret_cast<__m256i*>(g.at), _mm256_add_epi32(z0, y0));
    _mm256_store_si256(reinterpret_cast<__m256i*>(g.at + 8), _mm256_add_epi32(z0, y1));
    _mm256_store_si256(reinterpret_cast<__m256i*>(g.at + 16), _mm256_add_epi32(z1, y0));
    _mm256_store_si256(reinterpret_cast<__m256i*>(g.at + 24), _mm256_add_epi32(z1, y1));
    if constexpr (Zeros) {
        const __m256i at = _mm256_add_epi32(z0, y0);
        // Lanes outside read a word too (their offsets are clamped into the source) and
        // then have all bits set, as if they had read nothing.
        alignas(32) int32_t w[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(w), _mm256_srli_epi32(at, 5));
        const uint32_t* z = c.zeroCubes;
        const __m256i read = _mm256_setr_epi32((int)z[w[0]], (int)z[w[1]], (int)z[w[2]], (int)z[w[3]], (int)z[w[4]],
                                               (int)z[w[5]], (int)z[w[6]], (int)z[w[7]]);
        const __m256i words = _mm256_or_si256(read, _mm256_andnot_si256(_mm256_castps_si256(g.in), _mm256_set1_epi32(-1)));
        const __m256i bit = _mm256_and_si256(_mm256_srlv_epi32(words, _mm256_and_si256(at, _mm256_set1_epi32(31))),
                                             _mm256_set1_epi32(1));
        const __m256i notZero = _mm256_cmpeq_epi32(bit, _mm256_setzero_si256());
        g.zero = _mm256_testz_si256(notZero, notZero);
    }
}

template <bool Zeros>
inline void finishLinear(const float* d, const LinearGroup& g, __m256& s, __m256& q, __m256& n) {
    if (g.none) return;
    // Blends of zeros are +0 under any weights: the sums of reading them.
    if (Zeros && g.zero) return accumulate(_mm256_setzero_ps(), g.in, s, q, n);
    __m256 lo, hi;
    pairs8(d, g.at, lo, hi);
    const __m256 c0 = lerp(lo, hi, g.fx);
    pairs8(d, g.at + 8, lo, hi);
    const __m256 c1 = lerp(lo, hi, g.fx);
    pairs8(d, g.at + 16, lo, hi);
    const __m256 c2 = lerp(lo, hi, g.fx);
    pairs8(d, g.at + 24, lo, hi);
    const __m256 c3 = lerp(lo, hi, g.fx);
    accumulate(lerp(lerp(c0, c1, g.fy), lerp(c2, c3, g.fy), g.fz), g.in, s, q, n);
}

// foldLanes8's tree in registers: lane l gains lane l + 4, then l + 2, then l + 1, each
// sum with the lower lane as its first operand, as there. A chunk of the coarse levels
// holds a few hundred voxels, and folding through memory took a thirtieth of a
// registration's processor time.
inline float fold8(__m256 v) {
    const __m128 four = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
    return _mm_cvtss_f32(_mm_add_ss(two, _mm_shuffle_ps(two, two, _MM_SHUFFLE(1, 1, 1, 1))));
}

inline void storeSums(__m256 s, __m256 q, __m256 n, float* out) {
    out[0] = fold8(s);
    out[1] = fold8(q);
    out[2] = fold8(n);
}

// Lanes 0 .. left - 1 of the last, partial group, as the scalar path fills them.
inline __m256i firstLanes(uint32_t left) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32((int)left), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// The sums of each chunk: its groups of eight voxels in order, each prepared one group
// ahead of its finish. prepare.operator()<Tail>(setup, v, lanes, group), Tail for the last,
// partial group; finish(group, s, q, n).
template <class Group, class Prepare, class Finish>
void chunkSumsInTwoSteps(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                         float* out, const Prepare& prepare, const Finish& finish) {
    const Setup c(p, A);
    const __m256i all = _mm256_set1_epi32(-1);
    Group g[2];
    for (size_t k = 0; k < count; ++k, out += 3) {
        const uint32_t begin = chunks[k].begin, end = chunks[k].end;
        __m256 s = _mm256_setzero_ps(), q = s, n = s;
        auto start = [&](uint32_t v, Group& to) {
            if (v + 8 <= end)
                prepare.template operator()<false>(c, v, all, to);
            else
                prepare.template operator()<true>(c, v, firstLanes(end - v), to);
        };
        int cur = 0;
        if (begin < end) start(begin, g[0]);
        for (uint32_t v = begin; v < end; v += 8, cur ^= 1) {
            if (v + 8 < end) start(v + 8, g[cur ^ 1]);
            finish(g[cur], s, q, n);
        }
        storeSums(s, q, n, out);
    }
}

template <kern::TieRule Ties, bool Zeros>
void linearChunkSums(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                     float* out) {
    const float* d = p.rowsPadded.data();
    chunkSumsInTwoSteps<LinearGroup>(
        p, A, chunks, count, out,
        [&]<bool Tail>(const Setup& c, uint32_t v, __m256i valid, LinearGroup& g) {
            prepareLinear<Ties, Tail, Zeros>(p, c, v, valid, g);
        },
        [&](const LinearGroup& g, __m256& s, __m256& q, __m256& n) { finishLinear<Zeros>(d, g, s, q, n); });
}

void pointChunkSums(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                    float* out) {
    const float* src = p.src.data();
    chunkSumsInTwoSteps<PointGroup>(
        p, A, chunks, count, out,
        [&]<bool Tail>(const Setup& c, uint32_t v, __m256i valid, PointGroup& g) {
            preparePoint<Tail>(p, c, v, valid, g);
        },
        [&](const PointGroup& g, __m256& s, __m256& q, __m256& n) {
            if (!g.none) accumulate(loads8(src, g.at), g.in, s, q, n);
        });
}

}  // namespace

void simdChunkSums(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                   float* out) {
    if (!p.linear) return pointChunkSums(p, A, chunks, count, out);
    // Linear pairs always have their padded rows when this path is available.
    auto run = [&]<bool Zeros>() {
        switch (p.rules.ties) {
            case kern::TieRule::Exact: return linearChunkSums<kern::TieRule::Exact, Zeros>(p, A, chunks, count, out);
            case kern::TieRule::ToEven: return linearChunkSums<kern::TieRule::ToEven, Zeros>(p, A, chunks, count, out);
            default: return linearChunkSums<kern::TieRule::HalfUp, Zeros>(p, A, chunks, count, out);
        }
    };
    if (p.zeroCubes.empty())
        run.template operator()<false>();
    else
        run.template operator()<true>();
}
