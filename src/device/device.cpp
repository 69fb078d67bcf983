#include "device/device.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

namespace {

std::atomic<bool> lost{false};

}  // namespace

void markDeviceLost() { lost.store(true); }
bool deviceLost() { return lost.load(); }

void Device::releaseVoxels(float* p) {
    // A volume released on the way out after a fatal device error leaves its memory to
    // the process exit (see deviceLost).
    if (!deviceLost()) freeVoxels(p);
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
