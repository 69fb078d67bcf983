#include "registration/levelstart.h"

#include <cmath>
#include <vector>

#include "registration/cost.h"
#include "volume/resample.h"

namespace {

bool nearlyIdentity(const double l[3][3]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (std::fabs(l[i][j] - (i == j ? 1.0 : 0.0)) > 1e-9) return false;
    return true;
}

}  // namespace

void LevelStart::compose(const float m[16], float out[16]) const {
    if (identity) {
        for (int e = 0; e < 16; ++e) out[e] = m[e];
        return;
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            double v = 0;
            for (int k = 0; k < 3; ++k) v += linear[r][k] * (double)m[4 * k + c];
            if (c == 3) v += delta[r];
            out[4 * r + c] = (float)v;
        }
    }
    out[12] = out[13] = out[14] = 0.0f;
    out[15] = 1.0f;
}

WorldGrid levelGrid(const WorldGrid& grid, const Volume& original, float voxel, int halvings) {
    // The ratios exactly as the isotropic resampling computes them.
    WorldGrid g = grid.resampled(voxel / original.dx, voxel / original.dy, voxel / original.dz);
    for (int h = 0; h < halvings; ++h) g = g.resampled(2, 2, 2);
    return g;
}

void worldCentroid(const Volume& v, double out[3]) {
    const double c[3] = {v.center[0], v.center[1], v.center[2]};
    worldGridOf(v).voxelToWorld.apply(c, out);
}

Affine centroidTranslation(const Volume& moving, const Volume& fixed) {
    double wm[3], wf[3];
    worldCentroid(moving, wm);
    worldCentroid(fixed, wf);
    return Affine::translation(wm[0] - wf[0], wm[1] - wf[1], wm[2] - wf[2]);
}

static void truncatedRefCenter(const Volume& ref, double c[3]) {
    for (int a = 0; a < 3; ++a) c[a] = std::trunc(ref.center[a]);
}

LevelStart levelStart(const Start& start, const Volume& srcLevel, const WorldGrid& srcGrid,
                      const Volume& refLevel, const WorldGrid& refGrid) {
    LevelStart s;
    if (start.kind == StartKind::Centroid) return s;
    if (start.kind == StartKind::Header) {
        // Grids of one layout (the same axes and voxel sizes): exactly the plain search.
        const Affine g = srcGrid.worldToVoxel() * refGrid.voxelToWorld;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) s.linear[i][j] = g.a[i][j];
        if (nearlyIdentity(s.linear)) return LevelStart{};
    }
    const Affine w0 = start.kind == StartKind::Identity ? Affine::identity() : start.world;
    // Reference voxel -> source texture coordinate (voxel i sits at i + 0.5).
    const Affine g = Affine::translation(0.5, 0.5, 0.5) * srcGrid.worldToVoxel() * w0 * refGrid.voxelToWorld;
    double c[3], gc[3];
    truncatedRefCenter(refLevel, c);
    g.apply(c, gc);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) s.linear[i][j] = g.a[i][j];
        s.delta[i] = gc[i] - (double)srcLevel.center[i];
    }
    s.identity = false;
    return s;
}

Affine worldMatrix(const TransformParams& p, const LevelStart& s, const Volume& srcLevel,
                   const WorldGrid& srcGrid, const Volume& refLevel, const WorldGrid& refGrid) {
    Matrix m;
    composeAffine(p, m, srcLevel.dx, srcLevel.dy, srcLevel.dz);
    double c[3];
    truncatedRefCenter(refLevel, c);
    // Reference voxel r -> source texture coordinate L (M (r - c)) + delta + srcCenter.
    Affine g;
    for (int r = 0; r < 3; ++r) {
        double t = s.delta[r] + (double)srcLevel.center[r];
        for (int col = 0; col < 3; ++col) {
            double v = 0;
            for (int k = 0; k < 3; ++k) v += s.linear[r][k] * (double)m.data[4 * k + col];
            g.a[r][col] = v;
            t -= v * c[col];
        }
        for (int k = 0; k < 3; ++k) t += s.linear[r][k] * (double)m.data[4 * k + 3];
        g.a[r][3] = t;
    }
    return srcGrid.voxelToWorld * Affine::translation(-0.5, -0.5, -0.5) * g * refGrid.worldToVoxel();
}

void StartedEvaluator::evaluate(const TransformParams* p, int n, float* costs) {
    // Costs already known are counted as evaluations all the same: the printed count is
    // the number of costs the search asked for.
    std::vector<int> asked;
    for (int i = 0; i < n; ++i)
        if (!known_.find(p[i], costs[i])) asked.push_back(i);
    countKnownCosts(n - (int)asked.size());
    if ((int)asked.size() == n) {
        evaluateOnDevice(p, n, costs);
    } else if (!asked.empty()) {
        std::vector<TransformParams> q(asked.size());
        std::vector<float> c(asked.size());
        for (size_t j = 0; j < asked.size(); ++j) q[j] = p[asked[j]];
        evaluateOnDevice(q.data(), (int)q.size(), c.data());
        for (size_t j = 0; j < asked.size(); ++j) costs[asked[j]] = c[j];
    }
    for (int i : asked) known_.add(p[i], costs[i]);
    if (progress_) {
        progress_->evaluated(n);
        if (progress_->cancelled()) throw RegistrationCancelled{};
    }
}

void StartedEvaluator::evaluateOnDevice(const TransformParams* p, int n, float* costs) {
    if (start_.identity) {
        paramsCostBatch(src_, ref_, p, n, costs);
        return;
    }
    std::vector<float> matrices((size_t)n * 16);
    Matrix m;
    for (int i = 0; i < n; ++i) {
        composeAffine(p[i], m, src_.dx, src_.dy, src_.dz);
        start_.compose(m.data, &matrices[(size_t)i * 16]);
    }
    matrixCostBatch(src_, ref_, matrices.data(), n, costs);
}

void WorldEvaluator::evaluate(const TransformParams* p, int n, float* costs) {
    std::vector<float> matrices((size_t)n * 16);
    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int i = 0; i < n; ++i) {
        const Start at{StartKind::Matrix, frame_(p[i])};
        levelStart(at, src_, srcGrid_, ref_, refGrid_).compose(identity, &matrices[(size_t)i * 16]);
    }
    matrixCostBatch(src_, ref_, matrices.data(), n, costs);
    if (progress_) {
        progress_->evaluated(n);
        if (progress_->cancelled()) throw RegistrationCancelled{};
    }
}

bool costAt1mm(const Volume& moving, const Volume& fixed, const Start& start, float& cost) {
    VolumePtr s = isotropicResample(moving, 1.0f, 1.0f, 1.0f);
    VolumePtr r = s ? isotropicResample(fixed, 1.0f, 1.0f, 1.0f) : nullptr;
    if (!r) return false;
    s->stage = r->stage = 4;
    PreparedPair pair(*s, *r, CostPairOptions{});
    const LevelStart ls =
        levelStart(start, *s, levelGrid(worldGridOf(moving), moving, 1.0f, 0), *r, levelGrid(worldGridOf(fixed), fixed, 1.0f, 0));
    StartedEvaluator ev(*s, *r, ls, nullptr);
    const TransformParams identity;
    ev.evaluate(&identity, 1, &cost);
    return true;
}
