// World matrix files (the 4x4 text matrix and ITK text transforms), as register --init,
// apply and the Python package read them, then what apply does with one: the moving
// image resampled onto the fixed grid through it.
#include <cstdint>
#include <string>

#include "fuzzfiles.h"
#include "volume/resample.h"
#include "volume/transformfiles.h"

namespace {

VolumePtr tinyVolume(float voxel, bool oriented) {
    VolumePtr v = makeVolume(3, 4, 2, &fuzzfiles::cpu());
    v->dx = voxel, v->dy = voxel, v->dz = 2 * voxel;
    for (size_t i = 0; i < v->count(); ++i) v->data[i] = (float)i;
    v->maxValue = 255;
    v->center[0] = 1, v->center[1] = 2, v->center[2] = 1;
    if (oriented) {
        v->orient.code = 1;
        v->orient.m[0][0] = -voxel, v->orient.m[1][1] = voxel, v->orient.m[2][2] = 2 * voxel;
        v->orient.m[0][3] = 4, v->orient.m[1][3] = -3, v->orient.m[2][3] = 7;
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string f = fuzzfiles::path("world.mat");
    fuzzfiles::write(f, data, size);
    Affine m;
    std::string error;
    if (!readWorldMatrix(f, m, error)) {
        if (error.empty()) std::abort();  // a refusal always says why
        return 0;
    }
    if (!m.finite()) std::abort();  // promised: only finite matrices are accepted

    // A matrix the program writes is read back as asWrittenInText says (a batch resuming,
    // or apply after register, depends on it), unless rounding made it singular.
    const std::string back = fuzzfiles::path("back.mat");
    if (!writeWorldMatrix(back, m, error)) std::abort();
    Affine again;
    if (readWorldMatrix(back, again, error)) {
        const Affine expected = asWrittenInText(m);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                if (again.a[r][c] != expected.a[r][c]) std::abort();
    }

    VolumePtr fixed = tinyVolume(1.0f, true), moving = tinyVolume(1.5f, false);
    VolumePtr out = resampleWorld(*moving, *fixed, m, (size & 1) != 0);
    if (!out || out->count() != fixed->count()) std::abort();
    return 0;
}
