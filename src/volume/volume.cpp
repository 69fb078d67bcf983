#include "volume/volume.h"

#include "device/device.h"

Volume::~Volume() {
    if (data && owner) owner->freeVoxels(data);
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
