#include "registration/verdict.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <future>
#include <vector>

#include "registration/foreground.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Share of `from`'s foreground voxels that `map` (from's voxel index -> the other image's
// voxel index) sends inside a grid of the given counts (voxel centres -0.5 ... n - 0.5).
double insideShare(const Volume& from, const std::vector<uint8_t>& fg, const Affine& map, const Volume& to) {
    size_t total = 0, inside = 0, idx = 0;
    for (int32_t k = 0; k < from.z; ++k)
        for (int32_t j = 0; j < from.y; ++j)
            for (int32_t i = 0; i < from.x; ++i, ++idx) {
                if (!fg[idx]) continue;
                ++total;
                const double p[3] = {(double)i, (double)j, (double)k};
                double q[3];
                map.apply(p, q);
                if (q[0] >= -0.5 && q[0] <= to.x - 0.5 && q[1] >= -0.5 && q[1] <= to.y - 0.5 && q[2] >= -0.5 &&
                    q[2] <= to.z - 0.5)
                    ++inside;
            }
    return total ? (double)inside / (double)total : 0.0;
}

using M3 = std::array<std::array<double, 3>, 3>;

M3 linearPart(const Affine& a) {
    M3 m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] = a.a[r][c];
    return m;
}

double det3(const M3& m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// The rotation nearest to m (its polar factor), by Newton's iteration R <- (R + R^-T) / 2.
M3 nearestRotation(M3 r) {
    for (int it = 0; it < 50; ++it) {
        const double d = det3(r);
        if (!(std::fabs(d) > 1e-12)) break;
        // R^-T = cofactor matrix / det.
        M3 cof{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
                cof[i][j] = r[i1][j1] * r[i2][j2] - r[i1][j2] * r[i2][j1];
            }
        double change = 0.0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const double next = 0.5 * (r[i][j] + cof[i][j] / d);
                change = std::max(change, std::fabs(next - r[i][j]));
                r[i][j] = next;
            }
        if (change < 1e-12) break;
    }
    return r;
}

// Eigenvalues of the symmetric m, ascending (the trigonometric solution).
std::array<double, 3> symmetricEigenvalues(const M3& m) {
    const double p1 = m[0][1] * m[0][1] + m[0][2] * m[0][2] + m[1][2] * m[1][2];
    const double q = (m[0][0] + m[1][1] + m[2][2]) / 3.0;
    std::array<double, 3> e{};
    if (p1 == 0.0) {
        e = {m[0][0], m[1][1], m[2][2]};
    } else {
        const double p2 = (m[0][0] - q) * (m[0][0] - q) + (m[1][1] - q) * (m[1][1] - q) +
                          (m[2][2] - q) * (m[2][2] - q) + 2.0 * p1;
        const double p = std::sqrt(p2 / 6.0);
        M3 b{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) b[i][j] = (m[i][j] - (i == j ? q : 0.0)) / p;
        const double r = std::clamp(det3(b) / 2.0, -1.0, 1.0);
        const double phi = std::acos(r) / 3.0;
        e[0] = q + 2.0 * p * std::cos(phi + 2.0 * kPi / 3.0);
        e[2] = q + 2.0 * p * std::cos(phi);
        e[1] = 3.0 * q - e[0] - e[2];
    }
    std::sort(e.begin(), e.end());
    return e;
}

}  // namespace

void stretchRange(const Affine& world, double& lo, double& hi) {
    const M3 l = linearPart(world);
    M3 ltl{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) ltl[i][j] += l[k][i] * l[k][j];
    const std::array<double, 3> e = symmetricEigenvalues(ltl);
    lo = std::sqrt(std::max(e[0], 0.0));
    hi = std::sqrt(std::max(e[2], 0.0));
}

bool believableStretch(const Affine& world) {
    double lo = 0.0, hi = 0.0;
    stretchRange(world, lo, hi);
    return lo >= kMinScale && hi <= kMaxScale;
}

bool plausibleAnswer(const Volume& moving, const std::vector<uint8_t>& movingForeground, const Volume& fixed,
                     const Affine& world) {
    if (!world.finite() || !believableStretch(world)) return false;
    const Affine fixedToMoving =
        worldGridOf(moving).voxelToWorld.inverse() * world * worldGridOf(fixed).voxelToWorld;
    return insideShare(moving, movingForeground, fixedToMoving.inverse(), fixed) >= kMinMovingOverlap;
}

std::vector<uint8_t> verdictForeground(const Volume& v, const Volume* mask) {
    return foregroundVoxels(v, mask, 0.0f);
}

namespace {

Verdict judgeForegrounds(const Volume& moving, const std::vector<uint8_t>& movingForeground, const Volume& fixed,
                         const std::vector<uint8_t>& fixedForeground, const Affine& world, const Affine& start);

}  // namespace

Verdict judgeRegistration(const Volume& moving, const Volume* movingMask, const Volume& fixed,
                          const Volume* fixedMask, const Affine& world, const Affine& start,
                          const std::vector<uint8_t>* movingForeground) {
    if (movingForeground)
        return judgeForegrounds(moving, *movingForeground, fixed, verdictForeground(fixed, fixedMask), world, start);
    // The two foregrounds at once: each is a single-threaded pass.
    auto found = std::async(std::launch::async, [&] { return verdictForeground(moving, movingMask); });
    const std::vector<uint8_t> fixedForeground = verdictForeground(fixed, fixedMask);
    return judgeForegrounds(moving, found.get(), fixed, fixedForeground, world, start);
}

Verdict judgeRegistration(const Volume& moving, const Volume* movingMask, const Volume& fixed,
                          const std::vector<uint8_t>& fixedForeground, const Affine& world, const Affine& start,
                          const std::vector<uint8_t>* movingForeground) {
    if (movingForeground) return judgeForegrounds(moving, *movingForeground, fixed, fixedForeground, world, start);
    return judgeForegrounds(moving, verdictForeground(moving, movingMask), fixed, fixedForeground, world, start);
}

namespace {

Verdict judgeForegrounds(const Volume& moving, const std::vector<uint8_t>& movingForeground, const Volume& fixed,
                         const std::vector<uint8_t>& fixedForeground, const Affine& world, const Affine& start) {
    Verdict v;
    const Affine fixedToWorld = worldGridOf(fixed).voxelToWorld, movingToWorld = worldGridOf(moving).voxelToWorld;
    const Affine fixedToMoving = movingToWorld.inverse() * world * fixedToWorld;
    v.fixedOverlap = insideShare(fixed, fixedForeground, fixedToMoving, moving);
    v.movingOverlap = insideShare(moving, movingForeground, fixedToMoving.inverse(), fixed);

    const M3 l = linearPart(world);
    // The turn of the answer relative to the start: their nearest rotations compared.
    const M3 rw = nearestRotation(l), rs = nearestRotation(linearPart(start));
    double trace = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) trace += rw[i][j] * rs[i][j];
    v.turn = std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / kPi;
    stretchRange(world, v.scaleMin, v.scaleMax);

    char why[160];
    const bool mirrored = det3(l) * det3(linearPart(start)) < 0.0;
    if (!world.finite() || mirrored) {
        std::snprintf(why, sizeof why, "%s", mirrored ? "mirrored against the start" : "not a finite matrix");
    } else if (v.movingOverlap < kMinMovingOverlap) {
        std::snprintf(why, sizeof why, "only %.0f%% of MOVING's foreground lies inside FIXED",
                      100.0 * v.movingOverlap);
    } else if (v.fixedOverlap < kMinFixedOverlap) {
        std::snprintf(why, sizeof why, "only %.0f%% of FIXED's foreground lies inside MOVING",
                      100.0 * v.fixedOverlap);
    } else if (v.turn > kMaxTurnDegrees) {
        std::snprintf(why, sizeof why, "turned %.0f degrees from the start", v.turn);
    } else if (v.scaleMin < kMinScale || v.scaleMax > kMaxScale) {
        std::snprintf(why, sizeof why, "scaled by %.2f along one direction",
                      v.scaleMin < kMinScale ? v.scaleMin : v.scaleMax);
    } else {
        return v;
    }
    v.suspect = true;
    v.reason = why;
    return v;
}

}  // namespace

std::string verdictText(const Verdict& v) { return v.suspect ? "suspect: " + v.reason : "ok"; }
