// resamplebench: the CPU backend's isotropic resample against the direct evaluation it
// replaced (one trilinear fetch per output voxel), on random volumes brought onto a 1 mm
// grid of about 182 x 218 x 182 voxels from several voxel sizes. Checks that the two agree
// bit for bit, and prints the least wall and processor seconds of REPEATS interleaved runs.
// Usage: resamplebench [THREADS [REPEATS]]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "device/cpu/cpu_device.h"
#include "device/kernels.h"
#include "volume/resample.h"

namespace {

double processSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + 1e-9 * (double)t.tv_nsec;
}

struct Best {
    double wall = 1e30, cpu = 1e30;
};

template <class F>
void timeOnce(Best& best, const F& f) {
    const double c0 = processSeconds();
    const auto w0 = std::chrono::steady_clock::now();
    f();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    best.wall = std::min(best.wall, wall);
    best.cpu = std::min(best.cpu, processSeconds() - c0);
}

// What isotropicResample did before it was made separable.
void direct(CpuDevice& dev, const Volume& in, Volume& out, float rx, float ry, float rz) {
    const kern::Dim3 n{in.x, in.y, in.z};
    const int X = out.x, Y = out.y;
    dev.pool().parallelFor((size_t)Y * out.z, [&](size_t r) {
        const int j = (int)(r % Y), k = (int)(r / Y);
        float* row = out.data + r * X;
        for (int i = 0; i < X; ++i) {
            const kern::V3 p = kern::isotropicPosition(i, j, k, rx, ry, rz);
            row[i] = kern::fetchLinear(in.data, n, p.x, p.y, p.z, dev.rules().ties);
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    const int threads = argc > 1 ? std::atoi(argv[1]) : 2;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    CpuDevice dev(threads);
    struct Case {
        const char* name;
        int x, y, z;
        float dx, dy, dz;
    };
    const Case cases[] = {
        {"0.88 mm", 207, 248, 207, 0.88f, 0.88f, 0.88f},
        {"1 mm", 182, 218, 182, 1, 1, 1},
        {"1x1x3 mm", 182, 218, 61, 1, 1, 3},
        {"3 mm", 61, 73, 61, 3, 3, 3},
        {"0.5 mm", 364, 436, 364, 0.5f, 0.5f, 0.5f},
    };
    std::printf("%d threads, least of %d runs\n", threads, repeats);
    std::printf("%-10s %-16s %-14s %10s %10s %10s %10s %8s\n", "source", "grid", "1 mm grid", "direct s",
                "cpu s", "separable", "cpu s", "speed-up");
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> value(-100.0f, 1000.0f);
    for (const Case& c : cases) {
        VolumePtr in = makeVolume(c.x, c.y, c.z, &dev);
        in->dx = c.dx, in->dy = c.dy, in->dz = c.dz;
        for (size_t v = 0; v < in->count(); ++v) in->data[v] = value(rng);
        VolumePtr got = isotropicResample(*in, 1, 1, 1);
        if (!got) return 1;
        VolumePtr want = makeVolume(got->x, got->y, got->z, &dev);
        const float rx = 1 / c.dx, ry = 1 / c.dy, rz = 1 / c.dz;
        Best old, now;
        for (int r = 0; r < repeats; ++r) {
            timeOnce(old, [&] { direct(dev, *in, *want, rx, ry, rz); });
            timeOnce(now, [&] { dev.isotropicResample(*in, *got, rx, ry, rz); });
        }
        if (std::memcmp(got->data, want->data, got->count() * sizeof(float)) != 0) {
            std::printf("%s: the separable resample differs from the direct evaluation\n", c.name);
            return 1;
        }
        char grid[32], outGrid[32];
        std::snprintf(grid, sizeof grid, "%dx%dx%d", c.x, c.y, c.z);
        std::snprintf(outGrid, sizeof outGrid, "%dx%dx%d", got->x, got->y, got->z);
        std::printf("%-10s %-16s %-14s %10.4f %10.4f %10.4f %10.4f %7.1fx\n", c.name, grid, outGrid, old.wall,
                    old.cpu, now.wall, now.cpu, old.wall / now.wall);
    }
    return 0;
}
