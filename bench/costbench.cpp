// Cost evaluations per second on each pyramid level of a source/reference pair, single
// and batched, on the backend TARVO_DEVICE chooses. Prints one line per level and mode,
// then per level the set-up time, the time per call at the batch size the registration
// sends there (8 mm: 343 and 8000, 4 mm: 33, 2 and 1 mm: 1), and on a GPU the device
// memory in use. Then, per level from 4 mm down, rows at fixed rotations (0, 15, 25, 30, 45
// and 90 degrees about the axis (1, 1, 1)): a regression that makes the cost depend on how
// far the head is turned shows there. COSTBENCH_DUMP=file writes every cost computed, one
// per line, so that two builds can be compared value by value.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "device/costfunction.h"
#include "device/device.h"
#include "geometry/transform.h"
#include "volume/storedimage.h"
#include "volume/resample.h"
#ifdef TARVO_WITH_CUDA
#include <cuda_runtime.h>
#endif
#if __has_include(<valgrind/callgrind.h>)
// Under callgrind (a noisy machine), each rotation row dumps its own counts.
#include <valgrind/callgrind.h>
#define ROW_DUMP(name) CALLGRIND_DUMP_STATS_AT(name)
#else
#define ROW_DUMP(name)
#endif

namespace {

double seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Device memory in use (all processes) in MiB, or a negative number off the GPU.
double deviceMiB() {
#ifdef TARVO_WITH_CUDA
    size_t freeB = 0, totalB = 0;
    if (std::string(device().kind()) == "cuda" && cudaMemGetInfo(&freeB, &totalB) == cudaSuccess)
        return (double)(totalB - freeB) / (1 << 20);
#endif
    return -1.0;
}

// Rotation by `degrees` about the axis (1, 1, 1), plus a translation, in voxel units of
// isotropic levels (where the cost's voxel matrix is the rotation itself).
Matrix rotationAboutDiagonal(double degrees, float tx, float ty, float tz) {
    const double a = degrees * M_PI / 180.0, c = std::cos(a), s = std::sin(a), k = 1.0 / std::sqrt(3.0);
    const double u[3] = {k, k, k};
    Matrix m;
    for (int r = 0; r < 3; ++r)
        for (int col = 0; col < 3; ++col) {
            double v = (r == col ? c : 0.0) + (1 - c) * u[r] * u[col];
            const int e = (3 - r - col + 3) % 3;  // the axis component not in {r, col}
            if (r != col) v += ((col - r + 3) % 3 == 1 ? -1.0 : 1.0) * s * u[e];
            m.data[4 * r + col] = (float)v;
        }
    m.data[3] = tx;
    m.data[7] = ty;
    m.data[11] = tz;
    return m;
}

// CPU time of the whole process: unlike the wall clock, it does not grow when other work
// on the machine takes the cores away, so rows stay comparable on a busy machine.
double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

FILE* dumpFile() {
    static FILE* f = [] {
        const char* path = std::getenv("COSTBENCH_DUMP");
        return path ? std::fopen(path, "w") : (FILE*)nullptr;
    }();
    return f;
}

void dump(const std::vector<float>& costs) {
    if (FILE* f = dumpFile())
        for (float c : costs) std::fprintf(f, "%.9g\n", c);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: costbench source reference [evaluations]\n");
        return 1;
    }
    const int evals = argc > 3 ? std::atoi(argv[3]) : 0;
    VolumePtr s = loadVolume(argv[1]), r = loadVolume(argv[2]);
    if (!s || !r) return 1;
    std::printf("device: %s\n", device().description().c_str());
    VolumePtr sl[4], rl[4];
    sl[0] = isotropicResample(*s, 1, 1, 1);
    rl[0] = isotropicResample(*r, 1, 1, 1);
    for (int l = 1; l < 4; ++l) {
        sl[l] = halfSample(*sl[l - 1]);
        rl[l] = halfSample(*rl[l - 1]);
    }
    // As the registration does: the cost's memory sized once for the 1 mm pair.
    reserveCorrelationRatio(*sl[0], *rl[0]);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    const char* names[4] = {"1mm", "2mm", "4mm", "8mm"};
    std::vector<std::string> extra;
    double peakMiB = deviceMiB();
    // COSTBENCH_ROTATIONS_ONLY=1: only the rows at fixed rotations.
    const bool rotationsOnly = std::getenv("COSTBENCH_ROTATIONS_ONLY") != nullptr;
    for (int l = 3; l >= 0 && !rotationsOnly; --l) {
        const int stage = 4 - l;
        sl[l]->stage = rl[l]->stage = (int16_t)stage;
        auto tSetup = std::chrono::steady_clock::now();
        const uint64_t allocationsBefore = device().memoryStats().allocations;
        initCorrelationRatio(*sl[l], *rl[l]);
        const double setup = seconds(tSetup);
        const uint64_t setupAllocations = device().memoryStats().allocations - allocationsBefore;
        const int n = evals > 0 ? evals : (l == 0 ? 20 : l == 1 ? 100 : l == 2 ? 500 : 4000);
        std::vector<float> mats(16 * (size_t)n), out(n);
        for (int i = 0; i < n; ++i) {
            TransformParams p;
            for (int k = 0; k < 3; ++k) p[k] = 10 * u(rng);
            for (int k = 3; k < 6; ++k) p[k] = 5 * u(rng);
            Matrix m;
            composeAffine(p, m, sl[l]->dx, sl[l]->dy, sl[l]->dz);
            std::copy(m.data, m.data + 16, &mats[16 * (size_t)i]);
        }
        const double voxels = (double)rl[l]->count();
        calcCorrelationRatio(*sl[l], *rl[l], mats.data(), out.data());  // warm-up
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i) calcCorrelationRatio(*sl[l], *rl[l], &mats[16 * (size_t)i], &out[i]);
        double single = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        t0 = std::chrono::steady_clock::now();
        calcCorrelationRatioBatch(*sl[l], *rl[l], mats.data(), n, out.data());
        double batch = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        dump(out);
        std::printf("%s  %9.0f voxels  single: %9.1f evals/s %8.1f Mvox/s   batch of %d: %9.1f evals/s %8.1f Mvox/s\n",
                    names[l], voxels, n / single, n * voxels / single / 1e6, n, n / batch,
                    n * voxels / batch / 1e6);

        // The registration's own batch sizes, repeated, after one warm-up call each.
        char line[512];
        int at = std::snprintf(line, sizeof line, "%s  setup %7.2f ms (%llu allocations)", names[l], setup * 1e3,
                               (unsigned long long)setupAllocations);
        const std::vector<int> sizes = l == 3 ? std::vector<int>{343, 8000} : std::vector<int>{l == 2 ? 33 : 1};
        for (int b : sizes) {
            std::vector<float> bm(16 * (size_t)b), bo(b);
            for (int i = 0; i < b; ++i) std::copy_n(&mats[16 * (size_t)(i % n)], 16, &bm[16 * (size_t)i]);
            const int calls = std::max(3, std::min(200, 200000 / b / (l == 0 ? 8 : 1)));
            calcCorrelationRatioBatch(*sl[l], *rl[l], bm.data(), b, bo.data());
            t0 = std::chrono::steady_clock::now();
            for (int c = 0; c < calls; ++c) calcCorrelationRatioBatch(*sl[l], *rl[l], bm.data(), b, bo.data());
            const double per = seconds(t0) / calls;
            at += std::snprintf(line + at, sizeof line - at, "   calls of %d: %9.1f us each, %10.0f evals/s", b,
                                per * 1e6, b / per);
        }
        const double mib = deviceMiB();
        peakMiB = std::max(peakMiB, mib);
        if (mib >= 0) std::snprintf(line + at, sizeof line - at, "   device memory in use %.0f MiB", mib);
        extra.push_back(line);
        freeCorrelationRatio();
    }
    for (const std::string& e : extra) std::printf("%s\n", e.c_str());

    // Fixed rotations, single evaluations (as the registration sends them at 2 and 1 mm).
    for (int l = 2; l >= 0; --l) {
        sl[l]->stage = rl[l]->stage = (int16_t)(4 - l);
        initCorrelationRatio(*sl[l], *rl[l]);
        const char* forced = std::getenv("COSTBENCH_ROTATION_EVALS");  // e.g. 1 under a simulator
        const int n = forced ? std::max(1, std::atoi(forced)) : l == 0 ? 10 : l == 1 ? 60 : 400;
        const double voxels = (double)rl[l]->count();
        for (double deg : {0.0, 15.0, 25.0, 30.0, 45.0, 90.0}) {
            std::vector<float> mats(16 * (size_t)n), out(n);
            for (int i = 0; i < n; ++i) {
                Matrix m = rotationAboutDiagonal(deg, u(rng), u(rng), u(rng));
                std::copy(m.data, m.data + 16, &mats[16 * (size_t)i]);
            }
            calcCorrelationRatio(*sl[l], *rl[l], mats.data(), out.data());  // warm-up
            ROW_DUMP("warm-up");
            auto t0 = std::chrono::steady_clock::now();
            const double c0 = cpuSeconds();
            double best = 1e30;
            for (int i = 0; i < n; ++i) {
                auto ti = std::chrono::steady_clock::now();
                calcCorrelationRatio(*sl[l], *rl[l], &mats[16 * (size_t)i], &out[i]);
                best = std::min(best, seconds(ti));
            }
            const double t = seconds(t0), cpu = cpuSeconds() - c0;
            dump(out);
            ROW_DUMP((std::string(names[l]) + " rotation " + std::to_string((int)deg)).c_str());
            // The fastest single call is the least disturbed by other work on the machine.
            std::printf("%s  rotation %2.0f deg: %8.1f evals/s %7.1f Mvox/s  best call %7.1f Mvox/s  %6.2f CPU ns/voxel"
                        "   first cost %.7f\n",
                        names[l], deg, n / t, n * voxels / t / 1e6, voxels / best / 1e6, cpu * 1e9 / (n * voxels),
                        out[0]);
        }
        freeCorrelationRatio();
    }
    if (peakMiB >= 0) std::printf("device memory in use, most seen: %.0f MiB\n", peakMiB);
    const DeviceMemoryStats mem = device().memoryStats();
    if (mem.allocations > 0) {
        const double peak = (double)mem.peakBytes / (1 << 20);
        std::printf("backend memory peak: %.0f MiB in %llu allocations (volumes, cost scratch, staging; "
                    "context not included): %s the 1 GB goal\n",
                    peak, (unsigned long long)mem.allocations, peak <= 1024.0 ? "within" : "OVER");
    }
    return 0;
}
