// Cost evaluations per second on each pyramid level of a source/reference pair, single
// and batched, on the backend TARVO_DEVICE chooses. Prints one line per level and mode.
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "device/costfunction.h"
#include "device/device.h"
#include "geometry/transform.h"
#include "volume/imagefile.h"
#include "volume/resample.h"

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
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    const char* names[4] = {"1mm", "2mm", "4mm", "8mm"};
    for (int l = 3; l >= 0; --l) {
        const int stage = 4 - l;
        sl[l]->stage = rl[l]->stage = (int16_t)stage;
        initCorrelationRatio(*sl[l], *rl[l]);
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
        std::printf("%s  %9.0f voxels  single: %9.1f evals/s %8.1f Mvox/s   batch of %d: %9.1f evals/s %8.1f Mvox/s\n",
                    names[l], voxels, n / single, n * voxels / single / 1e6, n, n / batch,
                    n * voxels / batch / 1e6);
        freeCorrelationRatio();
    }
    return 0;
}
