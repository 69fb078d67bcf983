#include "registration/widesearch.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>

#include "device/device.h"
#include "device/kernels.h"
#include "registration/searchlog.h"
#include "volume/quantile.h"

LevelGeometry levelGeometry(const float srcVoxel[3], const float refVoxel[3], int halvings,
                            const float refCenter[3]) {
    LevelGeometry g;
    g.set = true;
    g.voxel = (float)(1 << halvings);
    for (int a = 0; a < 3; ++a) {
        // Level index i shows the content of original millimetre (i + o) * voxel: the 1 mm
        // resampling reads original index i * (1 / d) - 0.5, a half-sampling index 2i - 0.5.
        double os = -0.5 * srcVoxel[a], orr = -0.5 * refVoxel[a];
        for (int h = 0; h < halvings; ++h) {
            os = (os - 0.5) * 0.5;
            orr = (orr - 0.5) * 0.5;
        }
        g.srcShift[a] = 0.5 - os;
        g.refShift[a] = orr;
        g.refFrac[a] = (double)refCenter[a] - std::trunc((double)refCenter[a]);
    }
    return g;
}

LevelGeometry pointGeometry(const double point[3], const float refCenter[3], int halvings) {
    // Turning by A about the point: the kernel's translation gains (I - A)(point - c).
    LevelGeometry g;
    g.set = true;
    g.voxel = (float)(1 << halvings);
    for (int a = 0; a < 3; ++a) {
        const double d = point[a] - std::trunc((double)refCenter[a]);
        g.srcShift[a] = d;
        g.refFrac[a] = d;
    }
    return g;
}

LevelGeometry originalGeometry(const float srcVoxel[3]) {
    LevelGeometry g;
    g.set = true;
    for (int a = 0; a < 3; ++a) g.srcShift[a] = 0.5 * srcVoxel[a];  // in mm: voxel stays 1
    return g;
}

TransformParams levelParams(const TransformParams& p, const Rot3& frame, const LevelGeometry& g) {
    TransformParams out = framedParams(p, frame);
    if (!g.set) return out;
    // Kernel translation = wanted + (0.5 - o_s) - L (frac(c_r) - o_r), in level voxels.
    double a[12];
    affineOfParams(out, a);
    for (int r = 0; r < 3; ++r) {
        double e = g.srcShift[r];
        for (int c = 0; c < 3; ++c) e -= a[4 * r + c] * (g.refFrac[c] - g.refShift[c]);
        out[3 + r] = (float)((double)out[3 + r] + e * g.voxel);
    }
    return out;
}

void FramedEvaluator::evaluate(const TransformParams* p, int n, float* costs) {
    buf_.resize((size_t)std::max(n, 0));
    for (int i = 0; i < n; ++i) buf_[i] = levelParams(p[i], frame_, geometry_);
    inner_.evaluate(buf_.data(), n, costs);
}

namespace {

// Local searches that stay near their start. Translations first: the grid scores every
// turn with the centroids aligned, and the turn is judged better once the heads overlap.
// No scale at 4 mm (widesearch.h).
constexpr SweepStep kWide4mmSteps[] = {
    {5, 2.0f, 24.0f},  {3, 2.0f, 24.0f},  {4, 2.0f, 24.0f},  {2, 1.5f, 15.0f},
    {0, 1.5f, 15.0f},  {1, 1.5f, 15.0f}};
const Sweep kWide4mmSweep{kWide4mmSteps, 2};
// Judging stays near each candidate: the fixed brackets of the level sweeps would carry a
// half-turned candidate back to the one it was made from. The common scale first (the
// first round, at 4 mm): the cost falls along the three scales together, and one scale
// alone often cannot leave the 4 mm sweeps' scale downhill; then, at 2 mm and where they
// are free, the scales one by one.
constexpr SweepStep kWideJudgeSteps[] = {
    {5, 1.0f, 12.0f},  {3, 1.0f, 12.0f},  {4, 1.0f, 12.0f},  {2, 1.0f, 12.0f},
    {0, 1.0f, 12.0f},  {1, 1.0f, 12.0f},  {kIsoScale, 0.005f, 0.15f}};
const Sweep kWideJudgeSweep{kWideJudgeSteps, 1};
constexpr SweepStep kWide2mmScaleSteps[] = {
    {5, 1.0f, 12.0f},  {3, 1.0f, 12.0f},  {4, 1.0f, 12.0f},  {2, 1.0f, 12.0f},
    {0, 1.0f, 12.0f},  {1, 1.0f, 12.0f},  {6, 0.005f, 0.1f}, {7, 0.005f, 0.1f}, {8, 0.005f, 0.1f}};
const Sweep kWide2mmScaleSweep{kWide2mmScaleSteps, 1};

constexpr double kPi = 3.14159265358979323846;
// A grid point is a local minimum when it is the best within this many grid spacings.
constexpr double kMinimumRadius = 2.5;

// Candidates closer than this after their sweeps are the same orientation.
constexpr double kDistinctDegrees = 30.0;

// The 24 turns that map the axes onto the axes (signs and order).
std::vector<Rot3> axisTurns() {
    std::vector<Rot3> out;
    const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (const auto& pm : perms)
        for (int signs = 0; signs < 8; ++signs) {
            Rot3 r{};
            for (int row = 0; row < 3; ++row) r[3 * row + pm[row]] = (signs >> row & 1) ? -1.0 : 1.0;
            const double det = r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
                               r[2] * (r[3] * r[7] - r[4] * r[6]);
            if (det > 0) out.push_back(r);
        }
    return out;
}

// One sweep from each candidate, relative to its own orientation (one batch per round), and
// each result re-expressed about the orientation it reached.
void sweepCandidates(Evaluator& ev, std::vector<FramedCandidate>& cands, const Sweep& full,
                     const LevelGeometry& g, const Dof& dof) {
    const RestrictedSweep sweep(full, dof);
    std::vector<SweepChain> chains;
    chains.reserve(cands.size());
    for (const FramedCandidate& c : cands) chains.emplace_back(sweep.sweep(), c.params);
    runChains(ev, chains, [&](int i, const TransformParams& p) { return levelParams(p, cands[i].frame, g); });
    for (size_t i = 0; i < cands.size(); ++i) {
        FramedCandidate& c = cands[i];
        const TransformParams abs = framedParams(chains[i].params, c.frame);
        c.frame = rotationOfAngles(abs.rotation());
        // The same transform about the new orientation: turns near zero again.
        c.params = framedParams(abs, transposed(c.frame));
        c.cost = chains[i].result();
    }
}

// Best first; the earlier candidate first among equal costs; NaN last.
void sortByCost(std::vector<FramedCandidate>& cands) {
    std::stable_sort(cands.begin(), cands.end(), [](const FramedCandidate& a, const FramedCandidate& b) {
        if (std::isnan(b.cost)) return !std::isnan(a.cost);
        return a.cost < b.cost;
    });
}

// Drops candidates that another, better one (earlier) has reached; keeps at most n.
void keepDistinct(std::vector<FramedCandidate>& cands, size_t n) {
    std::vector<FramedCandidate> kept;
    for (const FramedCandidate& c : cands) {
        if (kept.size() == n) break;
        bool same = false;
        for (const FramedCandidate& k : kept)
            if (rotationGap(k.frame, c.frame) < kDistinctDegrees) same = true;
        if (!same) kept.push_back(c);
    }
    cands.swap(kept);
}

}  // namespace

std::vector<int> rotationMinima(const std::vector<Rot3>& grid, const std::vector<float>& costs,
                                double radius) {
    const int n = (int)grid.size();
    // Ranked once; a point is a minimum when no better-ranked point lies within the radius.
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        if (std::isnan(costs[b])) return !std::isnan(costs[a]);
        return costs[a] < costs[b];
    });
    // trace(a^T b) above this: closer than the radius.
    const double traceMin = 1.0 + 2.0 * std::cos(radius * 3.14159265358979323846 / 180.0);
    std::vector<int> minima;
    std::vector<char> covered(n, 0);
    for (int i : order) {
        if (covered[i]) continue;
        minima.push_back(i);
        for (int j = 0; j < n; ++j) {
            if (covered[j]) continue;
            double tr = 0.0;
            for (int e = 0; e < 9; ++e) tr += grid[i][e] * grid[j][e];
            if (tr > traceMin) covered[j] = 1;
        }
    }
    return minima;
}

// The determinant of the covariance of the head's voxel indices, in voxels to the sixth
// power. The head: the voxels above a fifth of the 99th percentile of the values (0..255),
// all of one weight. Intensity weights made a T2 head 5 % larger than the same head in T1,
// and weights on every voxel above 1 (the centroid's) let a noisy background shrink a
// head by a fifth. Only voxels inside the mask (if any) count.
static double covarianceDeterminant(const Volume& v, const Volume* mask) {
    std::vector<float> host(v.count()), inside, kept;
    v.owner->download(host.data(), v.data, host.size());
    if (mask) {
        inside.resize(mask->count());
        mask->owner->download(inside.data(), mask->data, inside.size());
        for (size_t i = 0; i < host.size(); ++i)
            if (!kern::maskInside(inside[i])) host[i] = -1.0f;
    }
    for (float val : host)
        if (val >= 0.0f) kept.push_back(val);
    // A fifth of the 99th percentile, counted in whole grey levels.
    const float threshold = kept.empty() ? 0.0f : 0.2f * std::floor(std::min(quantile(kept, 0.99), 255.0f));
    if (!(threshold > 0.0f)) return 0.0;
    double n = 0, m[3] = {}, c[6] = {};  // xx yy zz xy xz yz
    size_t idx = 0;
    for (int32_t k = 0; k < v.z; ++k)
        for (int32_t j = 0; j < v.y; ++j)
            for (int32_t i = 0; i < v.x; ++i, ++idx) {
                if (!(host[idx] > threshold)) continue;
                const double p[3] = {(double)i, (double)j, (double)k};
                n += 1.0;
                for (int a = 0; a < 3; ++a) m[a] += p[a];
                c[0] += p[0] * p[0];
                c[1] += p[1] * p[1];
                c[2] += p[2] * p[2];
                c[3] += p[0] * p[1];
                c[4] += p[0] * p[2];
                c[5] += p[1] * p[2];
            }
    if (n <= 0.0) return 0.0;
    for (double& e : m) e /= n;
    const double xx = c[0] / n - m[0] * m[0], yy = c[1] / n - m[1] * m[1], zz = c[2] / n - m[2] * m[2];
    const double xy = c[3] / n - m[0] * m[1], xz = c[4] / n - m[0] * m[2], yz = c[5] / n - m[1] * m[2];
    return xx * (yy * zz - yz * yz) - xy * (xy * zz - yz * xz) + xz * (xy * yz - yy * xz);
}

double headSizeRatio(const Volume& moving, const WorldGrid& movingGrid, const Volume* movingMask,
                     const Volume& fixed, const WorldGrid& fixedGrid, const Volume* fixedMask) {
    // det of the world covariance = det(A)^2 det(voxel covariance): size = det^(1/6).
    const double dm = covarianceDeterminant(moving, movingMask) * std::pow(movingGrid.voxelToWorld.determinant3(), 2);
    const double df = covarianceDeterminant(fixed, fixedMask) * std::pow(fixedGrid.voxelToWorld.determinant3(), 2);
    const double r = std::pow(dm / df, 1.0 / 6.0);
    return std::isfinite(r) && r > 0.5 && r < 2.0 ? r : 1.0;
}

static std::vector<float> scoreGrid(Evaluator& ev, const std::vector<Rot3>& grid, float scale,
                                    const LevelGeometry& g) {
    TransformParams sized;
    for (int a = 6; a < 9; ++a) sized[a] = scale;
    std::vector<TransformParams> sets(grid.size());
    for (size_t i = 0; i < grid.size(); ++i) sets[i] = levelParams(sized, grid[i], g);
    std::vector<float> costs(grid.size());
    evaluateAll(ev, sets.data(), (int)sets.size(), costs.data());
    return costs;
}

const float kFarTurnMargin = 0.05f;
constexpr float kJudgeMargin = 0.2f;  // dropHopeless

double turnFromStart(const FramedCandidate& c) {
    const TransformParams a = c.absolute();
    const float angles[3] = {a[0], a[1], a[2]};
    return rotationGap(identityRotation(), rotationOfAngles(angles));
}

// The best candidate near the start goes first unless a far one is clearly lower.
static void preferNearStart(WideSearch& ws) {
    std::vector<FramedCandidate>& c = ws.candidates;
    if (c.empty()) return;
    for (size_t i = 0; i < c.size(); ++i) {
        if (turnFromStart(c[i]) > kNearStartDegrees) continue;
        if (verbose())
            std::fprintf(stderr, "tarvo: wide 2mm best %.1f deg %f, near start %.1f deg %f\n", turnFromStart(c[0]),
                         (double)c[0].cost, turnFromStart(c[i]), (double)c[i].cost);
        if (i > 0 && !(c[0].cost < c[i].cost - kFarTurnMargin)) std::rotate(c.begin(), c.begin() + (long)i, c.begin() + (long)i + 1);
        return;
    }
}

FramedCandidate plainCandidate(const TransformParams& p, const LevelGeometry& g) {
    // levelParams adds a translation that depends on the linear part alone.
    const TransformParams shifted = levelParams(p, identityRotation(), g);
    FramedCandidate c;
    c.params = p;
    for (int a = 3; a < 6; ++a) c.params[a] = p[a] - (shifted[a] - p[a]);
    return c;
}

// With TARVO_VERBOSE=1: every candidate, its turn, scale and cost, after `stage`.
static void printCandidates(const char* stage, const WideSearch& ws) {
    if (verbose())
        for (const FramedCandidate& c : ws.candidates) {
            const TransformParams a = c.absolute();
            std::fprintf(stderr, "tarvo: wide %s candidate rotation(%.1f,%.1f,%.1f) scale %.3f value %f\n",
                         stage, (double)a[0], (double)a[1], (double)a[2], (double)a[6], (double)c.cost);
        }
}

static void printBest(const char* level, const WideSearch& ws) {
    printCandidates(level, ws);
    if (ws.candidates.empty()) return;
    const TransformParams b = ws.candidates[0].absolute();
    searchPrintf("wide %s:rotation(%f,%f,%f),trans(%f,%f,%f),scale(%f),value is:%f\n", level,
                (double)b[0], (double)b[1], (double)b[2], (double)b[3], (double)b[4], (double)b[5],
                (double)b[6], (double)ws.candidates[0].cost);
}

void wideSearch4mm(Evaluator& ev, WideSearch& ws, const LevelGeometry& g) {
    ws.grid = rotationGrid(ws.settings.rotations);
    for (const Rot3& r : axisTurns()) ws.grid.push_back(r);
    const std::vector<float> costs = scoreGrid(ev, ws.grid, ws.scale, g);
    // n even points cover the orientations with balls of about this radius (degrees);
    // a minimum must be the best within a few of them.
    const double spacing = std::cbrt(6.0 * kPi / ws.settings.rotations) * 180.0 / kPi;
    const std::vector<int> minima = rotationMinima(ws.grid, costs, kMinimumRadius * spacing);
    const size_t n = std::min(minima.size(), (size_t)ws.settings.swept);
    ws.candidates.assign(n, FramedCandidate{});
    for (size_t i = 0; i < n; ++i) {
        ws.candidates[i].frame = ws.grid[minima[i]];
        ws.candidates[i].cost = costs[minima[i]];
        for (int a = 6; a < 9; ++a) ws.candidates[i].params[a] = ws.scale;
    }
    // The start itself, at its own scale, swept like the grid's minima but kept whatever
    // its rank.
    if (ws.preferStart) ws.candidates.push_back(FramedCandidate{});
    sweepCandidates(ev, ws.candidates, kWide4mmSweep, g, ws.dof);
    FramedCandidate start;
    if (ws.preferStart) {
        start = ws.candidates.back();
        ws.candidates.pop_back();
    }
    sortByCost(ws.candidates);
    keepDistinct(ws.candidates, (size_t)ws.settings.judged);
    // A head is nearly symmetric under half turns about its axes, and at 4 mm the turned
    // head often fits its own half-turned copy a little better than itself: the half
    // turns of the best candidate about the reference axes are judged at 2 mm as well.
    if (!ws.candidates.empty()) {
        const FramedCandidate best = ws.candidates[0];
        for (int axis = 0; axis < 3; ++axis) {
            Rot3 half{};
            for (int i = 0; i < 3; ++i) half[4 * i] = i == axis ? 1.0 : -1.0;
            FramedCandidate c = best;
            c.frame = multiply(best.frame, half);
            ws.candidates.push_back(c);
        }
    }
    if (ws.preferStart) ws.candidates.push_back(start);
    printBest("4mm", ws);
}

// After the first round, the candidates that ended more than kJudgeMargin above the best
// go no further: the second round, with the scales free one by one, lowered no candidate
// of the hard cases by more than 0.15 (a slab whose size the first round could not fit;
// most by less than 0.05), while the wrong turns ended the first round 0.1-0.5 above the
// right one. The rest keep their order. The first round ran at 2 mm until version 0.3.4;
// at 4 mm it costs an eighth as much (the 2 mm level of the brain-extracted subject against
// the template went from 1,465 evaluations to 703), and the hard cases, the far turns and
// the known-transform recipes ended as near their truths as before (bench/RESULTS.md).
static void dropHopeless(std::vector<FramedCandidate>& cands) {
    float best = NAN;
    for (const FramedCandidate& c : cands)
        if (c.cost < best || std::isnan(best)) best = c.cost;
    if (std::isnan(best)) return;
    const size_t before = cands.size();
    std::erase_if(cands, [&](const FramedCandidate& c) { return !(c.cost <= best + kJudgeMargin); });
    if (verbose() && cands.size() < before)
        std::fprintf(stderr, "tarvo: wide 4mm judged %zu of %zu candidates further (best %f)\n", cands.size(), before,
                     (double)best);
}

void wideJudge4mm(Evaluator& ev, WideSearch& ws, const LevelGeometry& g) {
    sweepCandidates(ev, ws.candidates, kWideJudgeSweep, g, ws.dof);
    printCandidates("4mm judged", ws);
    dropHopeless(ws.candidates);
}

void wideSearch2mm(Evaluator& ev, WideSearch& ws, const LevelGeometry& g) {
    sweepCandidates(ev, ws.candidates, ws.dof.paramFree(6) ? kWide2mmScaleSweep : kWideJudgeSweep, g, ws.dof);
    sortByCost(ws.candidates);
    if (ws.preferStart) preferNearStart(ws);
    printBest("2mm", ws);
}
