#include "device/device.h"

// Choosing the backend: the one place that names them. The process's device is made at
// its first use, from TARVO_DEVICE; volumes are made on it unless told otherwise.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "device/cpu/cpu_device.h"

std::unique_ptr<Device> makeCpuDevice(int threads) { return makeCpuDevice(threads, textureRulesFromEnv()); }

bool cpuThreadsSetting(int& threads, std::string& error) {
    threads = 0;
    const char* env = std::getenv("TARVO_THREADS");
    if (!env || !*env) return true;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(env, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > kMaxThreads) {
        error = "TARVO_THREADS must be a whole number from 1 to " + std::to_string(kMaxThreads) + ", not '" +
                std::string(env) + "'";
        return false;
    }
    threads = (int)v;
    return true;
}

int defaultCpuThreads() {
    int threads = 0;
    std::string unused;  // a bad setting has been refused where the backend was chosen
    if (!cpuThreadsSetting(threads, unused) || threads <= 0) threads = (int)std::thread::hardware_concurrency();
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

namespace {

// The process's backend, or why there is none. Destroyed at exit unless the device was
// lost: then its handles died in the reset and releasing them would only raise a second,
// misleading error.
struct DeviceHolder {
    std::unique_ptr<Device> d;
    std::string error;
    DeviceHolder() = default;
    DeviceHolder(DeviceHolder&&) = default;
    ~DeviceHolder() {
        if (deviceLost()) (void)d.release();
    }
};

DeviceHolder chooseDevice() {
    DeviceHolder h;
    int threads = 0;
    if (!cpuThreadsSetting(threads, h.error)) return h;
    const char* env = std::getenv("TARVO_DEVICE");
    const std::string want = env && *env ? env : "auto";
    std::string error;
    h.d = makeDevice(want, error);
    if (!h.d) {
        h.error = std::string("TARVO_DEVICE") + (want == "cuda" ? "=cuda but " : " ") + error;
        return h;
    }
    if (verbose()) std::fprintf(stderr, "tarvo: device %s\n", h.d->description().c_str());
    return h;
}

DeviceHolder& holder() {
    static DeviceHolder h = chooseDevice();
    return h;
}

}  // namespace

Device* chosenDevice(std::string& error) {
    DeviceHolder& h = holder();
    if (!h.d) error = h.error;
    return h.d.get();
}

// The original commands report on standard output and end there.
Device& device() {
    DeviceHolder& h = holder();
    if (!h.d) {
        std::printf("Error: %s\n", h.error.c_str());
        std::fflush(stdout);
        std::exit(1);
    }
    return *h.d;
}

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
