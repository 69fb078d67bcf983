#pragma once
#include <cstdio>

#include "device/device.h"
#include "registration/cost.h"
#include "volume/volume.h"

// Evaluations and seconds of one level, on standard error when TARVO_VERBOSE=1.
class LevelReport {
public:
    LevelReport(const char* name, const Volume& ref)
        : name_(name), voxels_((double)ref.count()), count_(globalCount), t0_(clockMs()) {}
    ~LevelReport() {
        if (!verbose()) return;
        const int n = globalCount - count_;
        const double s = (double)(clockMs() - t0_) / 1000.0;
        std::fprintf(stderr, "tarvo: level %s: %d evaluations, %.3fs, %.0f reference voxels, %.1f Mvoxels/s\n",
                     name_, n, s, voxels_, s > 0 ? n * voxels_ / s / 1e6 : 0.0);
    }

private:
    const char* name_;
    double voxels_;
    int count_;
    long long t0_;
};
