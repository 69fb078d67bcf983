#pragma once
#include <cstdio>

#include "device/device.h"
#include "registration/cost.h"
#include "volume/volume.h"

// Evaluations and seconds of one level, on standard error when TARVO_VERBOSE=1. The rate
// counts the evaluations the device made, not the costs that were already known.
class LevelReport {
public:
    LevelReport(const char* name, const Volume& ref)
        : name_(name), voxels_((double)ref.count()), count_(globalCount), known_(knownCostCount), t0_(clockMs()) {}
    ~LevelReport() {
        if (!verbose()) return;
        const int n = globalCount - count_, known = knownCostCount - known_;
        const double s = (double)(clockMs() - t0_) / 1000.0;
        std::fprintf(stderr,
                     "tarvo: level %s: %d evaluations (%d known), %.3fs, %.0f reference voxels, %.1f Mvoxels/s\n",
                     name_, n, known, s, voxels_, s > 0 ? (n - known) * voxels_ / s / 1e6 : 0.0);
    }

private:
    const char* name_;
    double voxels_;
    int count_, known_;
    long long t0_;
};
