// The precision stage on its own: runs the specified search on MOVING -> FIXED (as -r
// does, in voxel space about the intensity centroids, headers ignored), then the stage on
// the 1 mm pair, and writes both answers as world matrices (FIXED RAS mm -> MOVING RAS mm,
// four lines of four numbers) so that they can be compared with the truth and with other
// tools. Prints the stage's evaluations, time and costs.
// usage: precisionbench MOVING FIXED OUT_PREFIX [--tol MM] [--step MM] [--fine-step MM]
//        [--bins 64|128|256] [--radius MM] [--dof N] [--from PARAMS]
// --from skips the search and starts from twelve parameters in a file (OUT_PREFIX_params.txt
// of an earlier run holds the search's).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/costfunction.h"
#include "device/device.h"
#include "geometry/transform.h"
#include "registration/cost.h"
#include "registration/refine.h"
#include "registration/register.h"
#include "volume/imagefile.h"
#include "volume/resample.h"

namespace {

using M4 = double[4][4];

void grid(const Volume& v, M4 g) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) g[r][c] = v.orient.code > 0 ? v.orient.m[r][c] : (r == c);
    if (v.orient.code <= 0) {
        g[0][0] = v.dx;
        g[1][1] = v.dy;
        g[2][2] = v.dz;
    }
}

void mul(const M4 a, const M4 b, M4 o) {
    double t[4][4];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            t[r][c] = 0;
            for (int k = 0; k < 4; ++k) t[r][c] += a[r][k] * b[k][c];
        }
    std::memcpy(o, t, sizeof t);
}

// Gauss-Jordan on a 4x4 (the grids here are never singular).
void inv(const M4 a, M4 o) {
    double m[4][8];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c) m[r][c] = c < 4 ? a[r][c] : (c - 4 == r);
    for (int c = 0; c < 4; ++c) {
        int p = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(m[r][c]) > std::fabs(m[p][c])) p = r;
        for (int k = 0; k < 8; ++k) std::swap(m[c][k], m[p][k]);
        const double d = m[c][c];
        for (int k = 0; k < 8; ++k) m[c][k] /= d;
        for (int r = 0; r < 4; ++r)
            if (r != c) {
                const double f = m[r][c];
                for (int k = 0; k < 8; ++k) m[r][k] -= f * m[c][k];
            }
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) o[r][c] = m[r][c + 4];
}

// Where the cost of the 1 mm pair sends a FIXED world point: reference voxel p -> texture
// coordinate A (p - truncated reference centre) + source centre, which shows source voxel
// index coordinate - 0.5.
void worldMatrix(const TransformParams& p, const Volume& src1, const Volume& ref1, M4 out) {
    Matrix a;
    composeAffine(p, a, src1.dx, src1.dy, src1.dz);
    M4 A = {{0}}, gs, gr, gri;
    for (int r = 0; r < 3; ++r) {
        double off = a.data[4 * r + 3] + src1.center[r] - 0.5;
        for (int c = 0; c < 3; ++c) {
            A[r][c] = a.data[4 * r + c];
            off -= a.data[4 * r + c] * std::trunc(ref1.center[c]);
        }
        A[r][3] = off;
    }
    A[3][3] = 1;
    grid(src1, gs);
    grid(ref1, gr);
    inv(gr, gri);
    mul(A, gri, out);
    mul(gs, out, out);
}

bool writeMatrix(const std::string& path, const M4 m) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    for (int r = 0; r < 4; ++r) std::fprintf(f, "%.9g %.9g %.9g %.9g\n", m[r][0], m[r][1], m[r][2], m[r][3]);
    return std::fclose(f) == 0;
}

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: precisionbench MOVING FIXED OUT_PREFIX [options]\n");
        return 1;
    }
    RefineOptions opt;
    std::string from;
    int bins = 256;
    for (int i = 4; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() { return i + 1 < argc ? argv[++i] : (std::exit(1), ""); };
        if (a == "--tol") opt.tolerance = std::atof(next());
        else if (a == "--step") opt.startStep = std::atof(next());
        else if (a == "--fine-step") opt.fineStartStep = std::atof(next());
        else if (a == "--fine-max") opt.fineMaxEvaluations = std::atoi(next());
        else if (a == "--radius") opt.radius = (float)std::atof(next());
        else if (a == "--dof") opt.dof = std::atoi(next());
        else if (a == "--bins") bins = std::atoi(next());
        else if (a == "--from") from = next();
        else return std::fprintf(stderr, "unknown option %s\n", a.c_str()), 1;
    }
    VolumePtr s = loadVolume(argv[1]), r = loadVolume(argv[2]);
    if (!s || !r) return 1;
    const std::string prefix = argv[3];

    TransformParams searched;
    double searchSecs = 0;
    if (!from.empty()) {
        FILE* f = std::fopen(from.c_str(), "r");
        for (int i = 0; f && i < 12; ++i)
            if (std::fscanf(f, "%f", &searched[i]) != 1) return 1;
        if (!f) return 1;
        std::fclose(f);
    } else {
        // The search, its output out of the way.
        std::fflush(stdout);
        FILE* saved = stdout;
        stdout = std::fopen("/dev/null", "w");
        const auto t0 = std::chrono::steady_clock::now();
        registerVolumes(searched, *s, *r);
        searchSecs = since(t0);
        std::fclose(stdout);
        stdout = saved;
        FILE* f = std::fopen((prefix + "_params.txt").c_str(), "w");
        for (int i = 0; f && i < 12; ++i) std::fprintf(f, "%.9g\n", (double)searched[i]);
        if (f) std::fclose(f);
    }

    VolumePtr s1 = isotropicResample(*s, 1, 1, 1), r1 = isotropicResample(*r, 1, 1, 1);
    M4 w;
    worldMatrix(searched, *s1, *r1, w);
    writeMatrix(prefix + "_search.txt", w);
    std::printf("search: %.3f s\n", searchSecs);

    s1->stage = r1->stage = (int16_t)(bins == 64 ? 1 : bins == 128 ? 2 : 4);
    const auto t1 = std::chrono::steady_clock::now();
    const RefineResult rr = precisionStage(*s1, *r1, searched, opt);
    const TransformParams p = rr.params;
    std::printf("refine: %d evaluations, cost %.7f -> %.7f\n", rr.evaluations, (double)rr.startCost,
                (double)rr.cost);
    const double refineSecs = since(t1);
    worldMatrix(p, *s1, *r1, w);
    writeMatrix(prefix + "_refined.txt", w);
    std::printf("refine total: %.3f s (%.0f %% of the search)\n", refineSecs, 100.0 * refineSecs / searchSecs);
    std::printf("search  ");
    printParams(searched, 0.0f);
    std::printf("refined ");
    printParams(p, 0.0f);
    return 0;
}
