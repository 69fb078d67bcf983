// searchbench: the pieces of the wide-search benchmark (bench/widesearch.sh).
//   searchbench cases N SEED [MAXDEG]   N random transforms, one line each: the twelve
//       parameters (turn drawn evenly over all orientations, or up to MAXDEG degrees;
//       translations +-20 mm; scales +-10 %), then the turn's angle and axis
//   searchbench move IMAGE OUT GRID RX RY RZ TX TY TZ SX SY SZ KX KY KZ
//       IMAGE moved by A = composeAffine(params) about the grid centres onto a GRID^3 grid
//       of IMAGE's voxel size (float32): OUT holds IMAGE(A^-1 y) at y mm from its centre,
//       the convention of phantom --affine. OUT's header puts its grid centre at the world
//       origin with the axes along the voxel axes (as phantom does), so with `centre`'s
//       copy of IMAGE xfdist --world measures results against the twelve parameters
//   searchbench centre IMAGE OUT
//       IMAGE (float32) with that header
//   searchbench register MOVING FIXED standard|wide|header PREFIX
//       registers as register does by default (header start, twelve parameters, the
//       precision stage); writes the world matrix (register --matrix) to PREFIX.txt and
//       the search's, before the precision stage, to PREFIX.search.txt; prints
//       "seconds S evaluations E cpu C" (C: processor seconds of all threads)
//   searchbench costs MOVING FIXED RX .. KZ [WORLDFILE ...]
//       the cost at 4, 2 and 1 mm (the register pipeline's levels and bins) of the true
//       transform (the twelve parameters as phantom --affine takes them, heads centred at
//       the world origin) and of each world matrix (register --matrix), as it stands and
//       after a short local search of all twelve parameters from it: whether a wrong answer
//       is the cost's preference or the search's miss; then the precision stage's cost
//       (exact weights, 1 mm) of each
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "device/costfunction.h"
#include "device/device.h"
#include "geometry/rotation.h"
#include "geometry/world.h"
#include "registration/cost.h"
#include "registration/pipeline.h"
#include "registration/widesearch.h"
#include "volume/storedimage.h"
#include "volume/physicalimage.h"
#include "volume/resample.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: searchbench cases N SEED [MAXDEG]\n"
                 "       searchbench move IMAGE OUT GRID RX RY RZ TX TY TZ SX SY SZ KX KY KZ\n"
                 "       searchbench centre IMAGE OUT\n"
                 "       searchbench register MOVING FIXED standard|wide|header PREFIX\n"
                 "       searchbench costs MOVING FIXED RX .. KZ [WORLDFILE ...]\n");
    return 1;
}

// Even in [0, 1), the same on every platform (the standard distributions are not).
double unit(std::mt19937& rng) { return (rng() >> 8) * (1.0 / 16777216.0); }

int cases(int n, unsigned seed, double maxDeg) {
    std::mt19937 rng(seed);
    const double pi = 3.14159265358979323846;
    for (int i = 0; i < n; ++i) {
        double q[4];
        for (;;) {
            // Shoemake's even quaternion, rejected above the largest turn asked for.
            const double u1 = unit(rng), u2 = unit(rng), u3 = unit(rng);
            q[0] = std::sqrt(1 - u1) * std::sin(2 * pi * u2);
            q[1] = std::sqrt(1 - u1) * std::cos(2 * pi * u2);
            q[2] = std::sqrt(u1) * std::sin(2 * pi * u3);
            q[3] = std::sqrt(u1) * std::cos(2 * pi * u3);
            if (2.0 * std::acos(std::fabs(q[0])) * 180.0 / pi <= maxDeg) break;
        }
        if (q[0] < 0)
            for (double& c : q) c = -c;
        TransformParams p;
        anglesOfRotation(rotationOfQuaternion(q[0], q[1], q[2], q[3]), p.rotation());
        for (int k = 3; k < 6; ++k) p[k] = (float)(40.0 * unit(rng) - 20.0);
        for (int k = 6; k < 9; ++k) p[k] = (float)(0.9 + 0.2 * unit(rng));
        const double angle = 2.0 * std::acos(std::fmin(1.0, q[0])) * 180.0 / pi;
        const double s = std::sqrt(q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        for (int k = 0; k < 12; ++k) std::printf("%.4f ", (double)p[k]);
        std::printf("%.1f %.3f %.3f %.3f\n", angle, s > 0 ? q[1] / s : 1.0, s > 0 ? q[2] / s : 0.0,
                    s > 0 ? q[3] / s : 0.0);
    }
    return 0;
}

// Float32, the grid centre at the world origin, the axes along the voxel axes.
void centredHeader(Volume& v) {
    v.datatype = 16;
    v.maxValue = 255.0f;
    v.minValue = 0.0f;
    v.orient = Orientation{};
    v.orient.code = 1;
    const int n[3] = {v.x, v.y, v.z};
    const float d[3] = {v.dx, v.dy, v.dz};
    for (int a = 0; a < 3; ++a) {
        v.orient.m[a][a] = d[a];
        v.orient.m[a][3] = -0.5f * (float)(n[a] - 1) * d[a];
    }
}

int centre(const char* in, const char* out) {
    VolumePtr v = loadVolume(in);
    if (!v) return 1;
    centredHeader(*v);
    return saveVolume(*v, out) ? 0 : 1;
}

int move(const char* in, const char* out, int grid, char** params) {
    TransformParams p;
    for (int k = 0; k < 12; ++k) p[k] = (float)std::atof(params[k]);
    VolumePtr src = loadVolume(in);
    if (!src) return 1;
    std::vector<float> v(src->count());
    src->owner->download(v.data(), src->data, v.size());
    double a[12];
    affineOfParams(p, a);
    // A^-1 of the 3x4 affine.
    const double det = a[0] * (a[5] * a[10] - a[6] * a[9]) - a[1] * (a[4] * a[10] - a[6] * a[8]) +
                       a[2] * (a[4] * a[9] - a[5] * a[8]);
    double inv[9] = {(a[5] * a[10] - a[6] * a[9]) / det,  (a[2] * a[9] - a[1] * a[10]) / det,
                     (a[1] * a[6] - a[2] * a[5]) / det,   (a[6] * a[8] - a[4] * a[10]) / det,
                     (a[0] * a[10] - a[2] * a[8]) / det,  (a[2] * a[4] - a[0] * a[6]) / det,
                     (a[4] * a[9] - a[5] * a[8]) / det,   (a[1] * a[8] - a[0] * a[9]) / det,
                     (a[0] * a[5] - a[1] * a[4]) / det};
    const double d[3] = {src->dx, src->dy, src->dz};
    const int n[3] = {src->x, src->y, src->z};
    VolumePtr o = makeVolume(grid, grid, grid, &deviceOf(*src));
    o->dx = src->dx;
    o->dy = src->dy;
    o->dz = src->dz;
    centredHeader(*o);
    std::vector<float> w(o->count(), 0.0f);
    const double gc = (grid - 1) * 0.5;
    size_t idx = 0;
    for (int k = 0; k < grid; ++k)
        for (int j = 0; j < grid; ++j)
            for (int i = 0; i < grid; ++i, ++idx) {
                const double y[3] = {(i - gc) * d[0], (j - gc) * d[1], (k - gc) * d[2]};
                double s[3];
                for (int r = 0; r < 3; ++r) {
                    const double x = inv[3 * r] * (y[0] - a[3]) + inv[3 * r + 1] * (y[1] - a[7]) +
                                     inv[3 * r + 2] * (y[2] - a[11]);
                    s[r] = x / d[r] + (n[r] - 1) * 0.5;
                }
                const int i0 = (int)std::floor(s[0]), j0 = (int)std::floor(s[1]), k0 = (int)std::floor(s[2]);
                if (i0 < 0 || j0 < 0 || k0 < 0 || i0 + 1 >= n[0] || j0 + 1 >= n[1] || k0 + 1 >= n[2]) continue;
                const double fx = s[0] - i0, fy = s[1] - j0, fz = s[2] - k0;
                double acc = 0.0;
                for (int c = 0; c < 8; ++c) {
                    const int di = c & 1, dj = c >> 1 & 1, dk = c >> 2 & 1;
                    const double wgt = (di ? fx : 1 - fx) * (dj ? fy : 1 - fy) * (dk ? fz : 1 - fz);
                    acc += wgt * v[((size_t)(k0 + dk) * n[1] + (j0 + dj)) * n[0] + (i0 + di)];
                }
                w[idx] = (float)acc;
            }
    o->owner->upload(o->data, w.data(), w.size());
    return saveVolume(*o, out) ? 0 : 1;
}

bool writeWorld(const Affine& w, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    for (int i = 0; i < 16; ++i) std::fprintf(f, "%.9g%c", w.a[i / 4][i % 4], i % 4 == 3 ? '\n' : ' ');
    return std::fclose(f) == 0;
}

int registerPair(const char* moving, const char* fixed, const char* kind, const std::string& prefix) {
    PipelineOptions opts = PipelineOptions::registerDefaults();
    if (std::strcmp(kind, "standard") == 0) {
        opts.search = SearchKind::Standard;
    } else if (std::strcmp(kind, "wide") == 0) {
        opts.search = SearchKind::Wide;
    } else if (std::strcmp(kind, "header") == 0) {
        opts.search = SearchKind::Header;
    } else {
        return usage();
    }
    opts.precision = true;
    std::string error;
    VolumePtr s = loadImage(moving, error), r = s ? loadImage(fixed, error) : nullptr;
    if (!r) {
        std::fprintf(stderr, "searchbench: %s\n", error.c_str());
        return 1;
    }
    const long long t0 = clockMs();
    const std::clock_t c0 = std::clock();
    const PipelineResult res = runPipeline(*s, *r, opts);
    const double secs = (double)(clockMs() - t0) / 1000.0;
    // Processor seconds of all threads: comparable between runs on a machine that others
    // are loading too.
    const double cpu = (double)(std::clock() - c0) / CLOCKS_PER_SEC;
    if (!res.ran || !writeWorld(res.world, prefix + ".txt") || !writeWorld(res.searchWorld, prefix + ".search.txt"))
        return 1;
    std::printf("seconds %.3f evaluations %d cpu %.3f\n", secs, globalCount, cpu);
    return 0;
}

// The search parameters of the identity start on a level whose cost gives world matrix w.
TransformParams levelParamsOfWorld(const Affine& w, const Volume& s, const WorldGrid& sg, const Volume& r,
                                   const WorldGrid& rg) {
    // worldMatrix: W = S.v2w T(-0.5) g R.w2v with g(x) = M (x - trunc(c_r)) + c_s.
    const Affine g = Affine::translation(0.5, 0.5, 0.5) * sg.worldToVoxel() * w * rg.voxelToWorld;
    const Affine m = Affine::translation(-s.center[0], -s.center[1], -s.center[2]) * g *
                     Affine::translation(std::trunc(r.center[0]), std::trunc(r.center[1]), std::trunc(r.center[2]));
    double a[12];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) a[4 * i + j] = m.a[i][j] * (j == 3 ? (&s.dx)[i] : 1.0);
    TransformParams p;
    decomposeAffine(a, p);
    return p;
}

// All twelve parameters near a start, relative to its own orientation.
constexpr SweepStep kNearSteps[] = {
    {3, 0.5f, 8.0f},    {4, 0.5f, 8.0f},    {5, 0.5f, 8.0f},    {0, 0.5f, 8.0f},
    {1, 0.5f, 8.0f},    {2, 0.5f, 8.0f},    {6, 0.005f, 0.1f},  {7, 0.005f, 0.1f},
    {8, 0.005f, 0.1f},  {9, 0.005f, 0.1f},  {10, 0.005f, 0.1f}, {11, 0.005f, 0.1f}};
const Sweep kNearSweep{kNearSteps, 3};

int costs(const char* moving, const char* fixed, char** truthArgs, char** files, int nfiles) {
    VolumePtr mv = loadVolume(moving), fx = loadVolume(fixed);
    if (!mv || !fx) return 1;
    TransformParams t;
    for (int k = 0; k < 12; ++k) t[k] = (float)std::atof(truthArgs[k]);
    double ta[12];
    affineOfParams(t, ta);
    std::vector<std::pair<std::string, Affine>> worlds;
    Affine truth;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) truth.a[i][j] = ta[4 * i + j];
    worlds.emplace_back("truth", truth);
    for (int f = 0; f < nfiles; ++f) {
        std::FILE* in = std::fopen(files[f], "r");
        if (!in) return 1;
        Affine w;
        for (int e = 0; e < 16; ++e)
            if (std::fscanf(in, "%lf", &w.a[e / 4][e % 4]) != 1) return 1;
        std::fclose(in);
        worlds.emplace_back(files[f], w);
    }
    const std::unique_ptr<PreparedFixed> prepared = PreparedFixed::prepare(*fx, nullptr);
    VolumePtr s = isotropicResample(*mv, 1.0f, 1.0f, 1.0f);
    if (!prepared || !s) return 1;
    std::vector<VolumePtr> levels;
    levels.push_back(std::move(s));
    for (int h = 1; h < 3; ++h) levels.push_back(halfSample(*levels.back()));
    const WorldGrid mg = worldGridOf(*mv);
    for (int h = 2; h >= 0; --h) {
        const PreparedFixed::Level& ref = prepared->level(h);
        Volume& src = *levels[h];
        src.stage = ref.image->stage;
        initCorrelationRatio(src, *ref.image, ref.reference(), CostPairOptions{});
        const WorldGrid sg = levelGrid(mg, *mv, 1.0f, h);
        const LevelStart ls;
        StartedEvaluator ev(src, *ref.image, ls, nullptr);
        for (const auto& [name, w] : worlds) {
            const TransformParams p = levelParamsOfWorld(w, src, sg, *ref.image, ref.grid);
            const Affine back = worldMatrix(p, ls, src, sg, *ref.image, ref.grid);
            double off = 0.0;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 4; ++j) off = std::fmax(off, std::fabs(back.a[i][j] - w.a[i][j]));
            if (off > 1e-3) std::printf("(parameters of %s off by %g)\n", name.c_str(), off);
            float c0;
            ev.evaluate(&p, 1, &c0);
            const Rot3 frame = rotationOfAngles(p.rotation());
            TransformParams rel = framedParams(p, transposed(frame));
            FramedEvaluator fev(ev, frame);
            const float c1 = runSweep(fev, kNearSweep, rel);
            const TransformParams q = framedParams(rel, frame);
            std::printf("%dmm %-28s cost %.6f refined %.6f moved %.2f deg\n", 1 << h, name.c_str(), (double)c0,
                        (double)c1, rotationGap(frame, rotationOfAngles(q.rotation())));
        }
        freeCorrelationRatio();
    }
    // The precision stage's cost (exact trilinear weights) on the 1 mm pair.
    const PreparedFixed::Level& ref = prepared->level(0);
    CostPairOptions exact;
    exact.exactWeights = true;
    initCorrelationRatio(*levels[0], *ref.image, exact);
    const LevelStart ls;
    StartedEvaluator ev(*levels[0], *ref.image, ls, nullptr);
    for (const auto& [name, w] : worlds) {
        const TransformParams p = levelParamsOfWorld(w, *levels[0], levelGrid(mg, *mv, 1.0f, 0), *ref.image, ref.grid);
        float c;
        ev.evaluate(&p, 1, &c);
        std::printf("1mm exact %-22s cost %.6f\n", name.c_str(), (double)c);
    }
    freeCorrelationRatio();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "cases") == 0)
        return cases(std::atoi(argv[2]), (unsigned)std::atoi(argv[3]), argc > 4 ? std::atof(argv[4]) : 180.0);
    if (argc == 17 && std::strcmp(argv[1], "move") == 0)
        return move(argv[2], argv[3], std::atoi(argv[4]), argv + 5);
    if (argc == 4 && std::strcmp(argv[1], "centre") == 0) return centre(argv[2], argv[3]);
    if (argc == 6 && std::strcmp(argv[1], "register") == 0)
        return registerPair(argv[2], argv[3], argv[4], argv[5]);
    if (argc >= 16 && std::strcmp(argv[1], "costs") == 0) return costs(argv[2], argv[3], argv + 4, argv + 16, argc - 16);
    return usage();
}
