#pragma once
// Small volumes built in memory for backend tests.
#include <functional>
#include <vector>

#include "device/device.h"
#include "volume/volume.h"

inline VolumePtr volumeFrom(Device& dev, int x, int y, int z, const std::vector<float>& v,
                            float dx = 1, float dy = 1, float dz = 1) {
    VolumePtr vol = makeVolume(x, y, z, &dev);
    vol->dx = dx;
    vol->dy = dy;
    vol->dz = dz;
    vol->datatype = 16;
    dev.upload(vol->data, v.data(), v.size());
    return vol;
}

inline VolumePtr volumeOf(Device& dev, int x, int y, int z,
                          const std::function<float(int, int, int)>& f, float d = 1) {
    std::vector<float> v((size_t)x * y * z);
    for (int k = 0; k < z; ++k)
        for (int j = 0; j < y; ++j)
            for (int i = 0; i < x; ++i) v[((size_t)k * y + j) * x + i] = f(i, j, k);
    return volumeFrom(dev, x, y, z, v, d, d, d);
}

inline std::vector<float> contents(const Volume& v) {
    std::vector<float> out(v.count());
    v.owner->download(out.data(), v.data, out.size());
    return out;
}
