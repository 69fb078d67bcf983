#include "volume/volume.h"

#include "device/device.h"

Volume::~Volume() {
    // A volume released on the way out after a fatal device error leaves its memory to
    // the process exit (see deviceLost).
    if (data && owner && !deviceLost()) owner->freeVoxels(data);
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
