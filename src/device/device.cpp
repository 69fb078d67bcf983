#include "device/device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "device/cpu/cpu_device.h"

bool verbose() {
    static const bool on = [] {
        const char* v = std::getenv("TARVO_VERBOSE");
        return v && std::strcmp(v, "1") == 0;
    }();
    return on;
}

std::unique_ptr<Device> makeCpuDevice(int threads) {
    if (threads <= 0) {
        const char* env = std::getenv("TARVO_THREADS");
        threads = env ? std::atoi(env) : 0;
        if (threads <= 0) threads = (int)std::thread::hardware_concurrency();
        if (threads <= 0) threads = 1;
    }
    return std::make_unique<CpuDevice>(threads);
}

static std::unique_ptr<Device> chooseDevice() {
    const char* env = std::getenv("TARVO_DEVICE");
    std::string want = env && *env ? env : "auto";
    std::unique_ptr<Device> d;
    if (want == "cpu") {
        d = makeCpuDevice(0);
    } else if (want == "cuda" || want == "auto") {
#ifdef TARVO_WITH_CUDA
        d = makeCudaDevice();
#endif
        if (!d && want == "cuda") {
            std::printf("Error: TARVO_DEVICE=cuda but no usable CUDA GPU was found%s\n",
#ifdef TARVO_WITH_CUDA
                        ""
#else
                        " (this build has no CUDA backend)"
#endif
            );
            std::exit(1);
        }
        if (!d) d = makeCpuDevice(0);
    } else {
        std::printf("Error: TARVO_DEVICE must be auto, cpu or cuda, not '%s'\n", want.c_str());
        std::exit(1);
    }
    if (verbose()) std::fprintf(stderr, "tarvo: device %s\n", d->description().c_str());
    return d;
}

Device& device() {
    static std::unique_ptr<Device> d = chooseDevice();
    return *d;
}
