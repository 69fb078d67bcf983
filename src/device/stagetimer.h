#pragma once
#include <chrono>
#include <cstdio>

#include "device/device.h"

// With TARVO_VERBOSE=1, reports how long a stage took on standard error.
class StageTimer {
public:
    explicit StageTimer(const char* name) : name_(name), t0_(std::chrono::steady_clock::now()) {}
    ~StageTimer() {
        if (!verbose()) return;
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
        std::fprintf(stderr, "tarvo: %s %.3f s\n", name_, s);
    }

private:
    const char* name_;
    std::chrono::steady_clock::time_point t0_;
};
