#include "head.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

// Beyond this many edge scales from a surface the logistic is clamped to exactly 0 or 1
// (it is then within 5e-5 of them). The clamp is what lets a voxel far from every edge be
// evaluated once instead of on its sub-grid, with exactly the same result.
constexpr float kSaturate = 10.0f;

// Sub-grid spacing (mm in head coordinates) for voxels that an edge crosses: about half
// the 10%-90% width of an edge, so the box average is faithful for any voxel size.
constexpr float kSubStep = 0.5f;
constexpr int kMinSub = 2, kMaxSub = 8;

struct Layout {
    float c[3], a[3];
    float t1, t2;
    float fold;
};

// Laid out for a 180 mm head. Painted in this order. The left/right pairs differ on
// purpose, and the face (nose, eyes) and the cerebellum and brain stem break the
// front/back and top/bottom symmetry, so that no rotation but the true one lines the
// head up with itself. The ears stand out at the sides so that a roll (rotation about
// y) still shows at 8 mm, where the inner structures blur away; the brain fills the skull
// with a thin CSF layer, as in life, since a thick bright T2 rim draws a coarse T2-to-T1
// match towards the wrong scale.
constexpr float kDesignLength = 180.0f;
const Layout kLayout[] = {
    // centre                semi-axes          T1     T2    fold
    {{0, 0, 0},              {74, 90, 80},      170,   110,  0},     // scalp (skin, fat)
    {{0, 84, -36},           {10, 18, 22},      150,   100,  0},     // nose
    {{-77, -4, -10},         {7, 14, 22},       150,   100,  0},     // left ear
    {{77, -6, -13},          {7, 14, 22},       150,   100,  0},     // right ear
    {{0, 0, 0},              {69, 85, 75},      15,    10,   0},     // skull
    {{0, -8, -66},           {42, 50, 22},      90,    55,   0},     // neck muscle
    {{0, -2, 6},             {63, 78, 63},      40,    240,  0},     // CSF inside the skull
    {{0, -2, 6},             {60, 75, 60},      120,   130,  0},     // cerebrum, GM
    {{0, 45, -45},           {40, 40, 14},      15,    10,   0},     // skull base under the frontal lobes
    {{-40, 8, -22},          {9, 26, 10},       200,   85,   0},     // left temporal lobe, WM
    {{41, 6, -23},           {9, 25, 9},        200,   85,   0},     // right temporal lobe, WM
    {{0, -2, 10},            {52, 67, 50},      200,   85,   0.07f}, // cerebrum, WM (folded)
    {{0, -40, -32},          {40, 23, 17},      40,    240,  0},     // CSF round the cerebellum
    {{0, -40, -32},          {38, 21, 15},      120,   130,  0.03f}, // cerebellum, GM
    {{2, -38, -30},          {20, 12, 8},       200,   85,   0},     // cerebellum, WM
    {{0, -12, -44},          {10, 12, 30},      190,   90,   0},     // brain stem
    {{-11, -9, 4},           {9, 13, 8},        140,   110,  0},     // left thalamus
    {{12, -7, 5},            {8, 11, 7},        140,   110,  0},     // right thalamus
    {{-9, 0, 18},            {7, 26, 10},       40,    240,  0},     // left lateral ventricle
    {{10, 3, 16},            {5, 22, 9},        40,    240,  0},     // right lateral ventricle
    {{26, 38, 24},           {6, 5, 5},         90,    200,  0},     // lesion, right frontal WM
    {{-31, 64, -24},         {12, 12, 12},      35,    230,  0},     // left eye
    {{31, 64, -24},          {12, 12, 12},      35,    230,  0},     // right eye
};

// Gyral folding over the surface direction u (a unit vector in the ellipsoid's scaled
// frame): an egg-crate of period about a fifth of the brain's width, in [-1, 1].
float folding(float ux, float uy, float uz) {
    return std::sin(13.0f * ux + 0.7f) * std::sin(11.0f * uy + 1.9f) *
           std::sin(12.0f * uz + 0.4f);
}

// Soft membership of p (offset r from the centre, scaled radius squared rho2) in q.
float membership(const Part& q, const float r[3], float rho2, float edge) {
    const float rho = std::sqrt(rho2);
    if (rho < 1e-6f) return 1.0f;
    // First-order distance to the surface: (rho - level) / |grad rho|.
    float g[3], u[3];
    for (int i = 0; i < 3; ++i) {
        g[i] = r[i] * q.invA2[i] / rho;
        u[i] = r[i] / q.a[i] / rho;
    }
    const float gn = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
    float level = 1.0f;
    if (q.fold != 0.0f) level += q.fold * folding(u[0], u[1], u[2]);
    const float dist = (rho - level) / gn;
    if (dist >= kSaturate * edge) return 0.0f;
    if (dist <= -kSaturate * edge) return 1.0f;
    return 1.0f / (1.0f + std::exp(dist / edge));
}

}  // namespace

Head::Head(float lengthMm, Contrast contrast, float edgeMm) : edge_(edgeMm) {
    const float s = lengthMm / kDesignLength;
    for (const Layout& l : kLayout) {
        Part p{};
        for (int i = 0; i < 3; ++i) {
            p.c[i] = l.c[i] * s;
            p.a[i] = l.a[i] * s;
            p.invA2[i] = 1.0f / (p.a[i] * p.a[i]);
        }
        p.invAMin = 1.0f / std::min({p.a[0], p.a[1], p.a[2]});
        p.value = contrast == Contrast::T1 ? l.t1 : l.t2;
        p.fold = l.fold;
        parts_.push_back(p);
    }
}

void Head::classify(const float p[3], float radius, Neighbourhood& nb) const {
    // rho (the scaled radius) changes by at most |step| / (smallest semi-axis), and folding
    // moves the surface by at most `fold` in rho; beyond `reach` every point of the ball is
    // on the same side of the edge, with the logistic clamped.
    const float reach = kSaturate * edge_ + radius;
    nb.base = 0.0f;
    nb.count = 0;
    for (int n = 0; n < (int)parts_.size(); ++n) {
        const Part& q = parts_[n];
        const float r[3] = {p[0] - q.c[0], p[1] - q.c[1], p[2] - q.c[2]};
        const float rho2 = r[0] * r[0] * q.invA2[0] + r[1] * r[1] * q.invA2[1] +
                           r[2] * r[2] * q.invA2[2];
        const float t = reach * q.invAMin + q.fold;
        const float hi = 1.0f + t;
        if (rho2 >= hi * hi) continue;
        const float lo = 1.0f - t;
        if (lo > 0.0f && rho2 <= lo * lo) {
            // Covers everything painted before it.
            nb.base = q.value;
            nb.count = 0;
            continue;
        }
        nb.near[nb.count++] = n;
    }
}

float Head::paint(const Neighbourhood& nb, const float p[3]) const {
    float v = nb.base;
    for (int k = 0; k < nb.count; ++k) {
        const Part& q = parts_[nb.near[k]];
        const float r[3] = {p[0] - q.c[0], p[1] - q.c[1], p[2] - q.c[2]};
        const float rho2 = r[0] * r[0] * q.invA2[0] + r[1] * r[1] * q.invA2[1] +
                           r[2] * r[2] * q.invA2[2];
        const float f = membership(q, r, rho2, edge_);
        v += f * (q.value - v);
    }
    return v;
}

std::vector<float> renderHead(const Head& head, const int n[3], const float d[3],
                              const double inverse[12]) {
    // step[a]: head-coordinate displacement of one voxel along grid axis a.
    double step[3][3];
    int sub[3];
    for (int a = 0; a < 3; ++a) {
        double len2 = 0.0;
        for (int r = 0; r < 3; ++r) {
            step[a][r] = inverse[4 * r + a] * d[a];
            len2 += step[a][r] * step[a][r];
        }
        sub[a] = std::clamp((int)std::ceil(std::sqrt(len2) / kSubStep), kMinSub, kMaxSub);
    }
    // Radius of the ball round the voxel centre that holds its whole box: the longest
    // half-diagonal.
    double far2 = 0.0;
    for (int c = 0; c < 8; ++c) {
        double e2 = 0.0;
        for (int r = 0; r < 3; ++r) {
            double e = 0.0;
            for (int a = 0; a < 3; ++a) e += ((c >> a) & 1 ? 0.5 : -0.5) * step[a][r];
            e2 += e * e;
        }
        far2 = std::max(far2, e2);
    }
    const float footprint = (float)std::sqrt(far2) * 1.0001f;  // rounding margin
    // Offsets of the sub-grid points from the voxel centre, in head coordinates.
    std::vector<float> offsets;
    for (int c = 0; c < sub[2]; ++c)
        for (int b = 0; b < sub[1]; ++b)
            for (int a = 0; a < sub[0]; ++a) {
                const double f[3] = {(a + 0.5) / sub[0] - 0.5, (b + 0.5) / sub[1] - 0.5,
                                     (c + 0.5) / sub[2] - 0.5};
                for (int r = 0; r < 3; ++r)
                    offsets.push_back(
                        (float)(f[0] * step[0][r] + f[1] * step[1][r] + f[2] * step[2][r]));
            }
    const size_t nsub = offsets.size() / 3;
    const float invSub = 1.0f / (float)nsub;

    const double centre[3] = {(n[0] - 1) * 0.5, (n[1] - 1) * 0.5, (n[2] - 1) * 0.5};
    std::vector<float> out((size_t)n[0] * n[1] * n[2]);
    size_t idx = 0;
    for (int k = 0; k < n[2]; ++k)
        for (int j = 0; j < n[1]; ++j)
            for (int i = 0; i < n[0]; ++i, ++idx) {
                const double y[3] = {(i - centre[0]) * d[0], (j - centre[1]) * d[1],
                                     (k - centre[2]) * d[2]};
                float x[3];
                for (int r = 0; r < 3; ++r)
                    x[r] = (float)(inverse[4 * r] * y[0] + inverse[4 * r + 1] * y[1] +
                                   inverse[4 * r + 2] * y[2] + inverse[4 * r + 3]);
                Head::Neighbourhood nb;
                head.classify(x, footprint, nb);
                float v = nb.base;
                if (nb.count > 0) {
                    float sum = 0.0f;
                    for (size_t s = 0; s < nsub; ++s) {
                        const float xs[3] = {x[0] + offsets[3 * s], x[1] + offsets[3 * s + 1],
                                             x[2] + offsets[3 * s + 2]};
                        sum += head.paint(nb, xs);
                    }
                    v = sum * invSub;
                }
                out[idx] = v;
            }
    return out;
}
