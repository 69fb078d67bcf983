// searchbench: the pieces of the wide-search benchmark (bench/widesearch.sh).
//   searchbench cases N SEED [MAXDEG]   N random transforms, one line each: the twelve
//       parameters (turn drawn evenly over all orientations, or up to MAXDEG degrees;
//       translations +-20 mm; scales +-10 %), then the turn's angle and axis
//   searchbench move IMAGE OUT GRID RX RY RZ TX TY TZ SX SY SZ KX KY KZ
//       IMAGE moved by A = composeAffine(params) about the grid centres onto a GRID^3 grid
//       of IMAGE's voxel size (float32): OUT holds IMAGE(A^-1 y) at y mm from its centre,
//       the convention of phantom --affine, so xfdist measures results against it
//   searchbench register MOVING FIXED standard|wide MATRIXFILE
//       registers and writes the inverse matrix the way "-r" writes test.txt; prints
//       "seconds S evaluations E cpu C" (C: processor seconds of all threads)
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "device/device.h"
#include "geometry/rotation.h"
#include "registration/cost.h"
#include "registration/register.h"
#include "volume/imagefile.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: searchbench cases N SEED [MAXDEG]\n"
                 "       searchbench move IMAGE OUT GRID RX RY RZ TX TY TZ SX SY SZ KX KY KZ\n"
                 "       searchbench register MOVING FIXED standard|wide MATRIXFILE\n");
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
    VolumePtr o = makeVolume(grid, grid, grid, src->owner);
    o->dx = src->dx;
    o->dy = src->dy;
    o->dz = src->dz;
    o->datatype = 16;
    o->maxValue = 255.0f;
    o->minValue = 0.0f;
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

int registerPair(const char* moving, const char* fixed, const char* kind, const char* matrixFile) {
    SearchKind search;
    if (std::strcmp(kind, "standard") == 0) {
        search = SearchKind::Standard;
    } else if (std::strcmp(kind, "wide") == 0) {
        search = SearchKind::Wide;
    } else {
        return usage();
    }
    VolumePtr s = loadVolume(moving), r = loadVolume(fixed);
    if (!s || !r) return 1;
    const long long t0 = clockMs();
    const std::clock_t c0 = std::clock();
    TransformParams p;
    if (search == SearchKind::Wide)
        registerVolumesWide(p, *s, *r);
    else
        registerVolumes(p, *s, *r);
    const double secs = (double)(clockMs() - t0) / 1000.0;
    // Processor seconds of all threads: comparable between runs on a machine that others
    // are loading too.
    const double cpu = (double)(std::clock() - c0) / CLOCKS_PER_SEC;
    Matrix m, inv;
    composeAffine(p, m, r->dx, r->dy, r->dz);
    inverse(m, inv);
    std::FILE* f = std::fopen(matrixFile, "w");
    if (!f) return 1;
    for (int i = 0; i < 16; ++i) std::fprintf(f, "%.9g%c", (double)inv.data[i], i % 4 == 3 ? '\n' : ' ');
    std::fclose(f);
    std::printf("seconds %.3f evaluations %d cpu %.3f\n", secs, globalCount, cpu);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "cases") == 0)
        return cases(std::atoi(argv[2]), (unsigned)std::atoi(argv[3]), argc > 4 ? std::atof(argv[4]) : 180.0);
    if (argc == 17 && std::strcmp(argv[1], "move") == 0)
        return move(argv[2], argv[3], std::atoi(argv[4]), argv + 5);
    if (argc == 6 && std::strcmp(argv[1], "register") == 0)
        return registerPair(argv[2], argv[3], argv[4], argv[5]);
    return usage();
}
