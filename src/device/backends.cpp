#include "device/device.h"

// Choosing the backend: the one place that names them. The process's device is made at
// its first use, from TARVO_DEVICE; volumes are made on it unless told otherwise.
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "device/cpu/cpu_device.h"

std::unique_ptr<Device> makeCpuDevice(int threads) { return makeCpuDevice(threads, textureRulesFromEnv()); }

int defaultCpuThreads() {
    const char* env = std::getenv("TARVO_THREADS");
    int threads = env ? std::atoi(env) : 0;
    if (threads <= 0) threads = (int)std::thread::hardware_concurrency();
    return threads > 0 ? threads : 1;
}

std::unique_ptr<Device> makeCpuDevice(int threads, kern::TextureRules rules) {
    return std::make_unique<CpuDevice>(threads > 0 ? threads : defaultCpuThreads(), rules);
}

std::unique_ptr<Device> makeDevice(const std::string& want, std::string& error) {
    std::unique_ptr<Device> d;
    if (want == "cpu") return makeCpuDevice(0);
    if (want == "cuda" || want == "auto") {
#ifdef TARVO_WITH_CUDA
        d = makeCudaDevice();
#endif
        if (!d && want == "cuda") {
            error = "no usable CUDA GPU was found";
#ifndef TARVO_WITH_CUDA
            error += " (this build has no CUDA backend)";
#endif
            return nullptr;
        }
        return d ? std::move(d) : makeCpuDevice(0);
    }
    error = "must be auto, cpu or cuda, not '" + want + "'";
    return nullptr;
}

static std::unique_ptr<Device> chooseDevice() {
    const char* env = std::getenv("TARVO_DEVICE");
    const std::string want = env && *env ? env : "auto";
    std::string error;
    std::unique_ptr<Device> d = makeDevice(want, error);
    if (!d) {
        std::printf("Error: TARVO_DEVICE%s %s\n", want == "cuda" ? "=cuda but" : "", error.c_str());
        std::exit(1);
    }
    if (verbose()) std::fprintf(stderr, "tarvo: device %s\n", d->description().c_str());
    return d;
}

namespace {

// The process's backend. Destroyed at exit unless the device was lost: then its handles
// died in the reset and releasing them would only raise a second, misleading error.
struct DeviceHolder {
    std::unique_ptr<Device> d;
    ~DeviceHolder() {
        if (deviceLost()) (void)d.release();
    }
};

DeviceHolder& holder() {
    static DeviceHolder h{chooseDevice()};
    return h;
}

}  // namespace

Device& device() { return *holder().d; }

VolumePtr makeVolume(int32_t x, int32_t y, int32_t z, Device* dev) {
    VolumePtr v(new Volume);
    v->x = x;
    v->y = y;
    v->z = z;
    v->owner = dev ? dev : &device();
    v->data = v->owner->allocVoxels(v->count());
    return v;
}

std::unique_ptr<Device> swapDeviceForTesting(std::unique_ptr<Device> d) {
    std::swap(holder().d, d);
    return d;
}
