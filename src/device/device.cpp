#include "device/device.h"

#include <atomic>
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

bool parseTextureRules(const char* text, kern::TextureRules& out) {
    const std::string t = text ? text : "";
    const size_t comma = t.find(',');
    if (comma == std::string::npos) return false;
    const std::string point = t.substr(0, comma), ties = t.substr(comma + 1);
    kern::TextureRules r;
    if (point == "floor") r.point = kern::PointRule::Floor;
    else if (point == "fixed8") r.point = kern::PointRule::Fixed8;
    else return false;
    if (ties == "even") r.ties = kern::TieRule::ToEven;
    else if (ties == "up") r.ties = kern::TieRule::HalfUp;
    else return false;
    out = r;
    return true;
}

std::string textureRulesName(kern::TextureRules r) {
    return std::string(r.point == kern::PointRule::Floor ? "floor" : "fixed8") + "," +
           (r.ties == kern::TieRule::ToEven ? "even" : "up");
}

kern::TextureRules textureRulesFromEnv() {
    kern::TextureRules r;
    const char* env = std::getenv("TARVO_TEXTURE_RULES");
    if (env && *env && !parseTextureRules(env, r)) {
        std::fprintf(stderr, "Error: TARVO_TEXTURE_RULES must be floor|fixed8,even|up, not '%s'\n", env);
        std::exit(1);
    }
    return r;
}

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

std::atomic<bool> lost{false};

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

void markDeviceLost() { lost.store(true); }
bool deviceLost() { return lost.load(); }

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

void Device::releaseVoxels(float* p) {
    // A volume released on the way out after a fatal device error leaves its memory to
    // the process exit (see deviceLost).
    if (!deviceLost()) freeVoxels(p);
}

std::unique_ptr<Device> swapDeviceForTesting(std::unique_ptr<Device> d) {
    std::swap(holder().d, d);
    return d;
}

namespace {

// What the default reference keeps: the volumes to prepare it from, with each pair.
struct DeferredReference final : PreparedReference {
    const Volume* ref;
    int binCount;
    const Volume* mask;
    DeferredReference(const Volume* r, int b, const Volume* m) : ref(r), binCount(b), mask(m) {}
};

}  // namespace

ReferencePtr Device::prepareReference(const Volume& ref, int binCount, const Volume* refMask) {
    return std::make_shared<DeferredReference>(&ref, binCount, refMask);
}

void Device::initCorrelationRatio(const Volume& src, ReferencePtr ref, const CostPairOptions& opts) {
    auto d = std::dynamic_pointer_cast<const DeferredReference>(ref);
    if (!d) {
        freeCorrelationRatio();
        return;
    }
    CostPairOptions withMask = opts;
    withMask.refMask = d->mask;
    initCorrelationRatio(src, *d->ref, d->binCount, withMask);
}
