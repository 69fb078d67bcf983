#include "volume/volume.h"

#include "device/device.h"

Volume::~Volume() {
    if (data) device().freeVoxels(data);
}

VolumePtr makeVolume(int32_t x, int32_t y, int32_t z) {
    VolumePtr v(new Volume);
    v->x = x;
    v->y = y;
    v->z = z;
    v->data = device().allocVoxels(v->count());
    return v;
}
