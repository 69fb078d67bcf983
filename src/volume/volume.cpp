#include "volume/volume.h"

Volume::~Volume() {
    if (data && owner) owner->releaseVoxels(data);
}
