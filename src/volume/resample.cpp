#include "volume/resample.h"

#include <nifti1.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "device/device.h"
#include "device/stagetimer.h"

namespace {

// Output voxel i was sampled at texture coordinate i*r, which is input voxel index
// i*r - 0.5 under the sampling convention; the output's orientation says exactly that.
Orientation sampledOrientation(const Orientation& in, float rx, float ry, float rz) {
    Orientation o = in;
    if (in.code <= 0) return o;
    const float r[3] = {rx, ry, rz};
    for (int row = 0; row < 4; ++row) {
        float off = 0.0f;
        for (int c = 0; c < 3; ++c) {
            o.m[row][c] = in.m[row][c] * r[c];
            off += in.m[row][c] * -0.5f;
        }
        o.m[row][3] = in.m[row][3] + off;
    }
    return o;
}

// The stored value of physical 0 in a volume's mapping (physical = stored * (max - min) /
// 255 + min); physicalValues reads it back as exactly 0.
float storedZero(const Volume& v) {
    const float scale = (v.maxValue - v.minValue) / 255.0f;
    if (scale == 0.0f || (v.datatype == DT_UINT8 && v.maxValue == 0.0f && v.minValue == 0.0f)) return 0.0f;
    return -v.minValue / scale;
}

void copyIntensityBookkeeping(const Volume& from, Volume& to) {
    to.datatype = from.datatype;
    to.maxValue = from.maxValue;
    to.minValue = from.minValue;
    to.sclSlope = from.sclSlope;
    to.sclInter = from.sclInter;
}

}  // namespace

namespace {

// The counts of isotropicResample's grid, checked in float before any integer conversion:
// a zero, negative, NaN or absurd size must not turn into a garbage count.
bool resampledCounts(const Volume& in, float nx, float ny, float nz, float& cx, float& cy, float& cz) {
    const float rx = nx / in.dx, ry = ny / in.dy, rz = nz / in.dz;
    cx = (float)in.x / rx, cy = (float)in.y / ry, cz = (float)in.z / rz;
    return cx >= 1.0f && cy >= 1.0f && cz >= 1.0f && cx < 2147483648.0f && cy < 2147483648.0f && cz < 2147483648.0f;
}

}  // namespace

bool resamplesTo(const Volume& in, float size) {
    float cx, cy, cz;
    return resampledCounts(in, size, size, size, cx, cy, cz) &&
           (uint64_t)(int32_t)cx * (uint64_t)(int32_t)cy * (uint64_t)(int32_t)cz <= kMaxVoxels;
}

VolumePtr isotropicResample(const Volume& in, float nx, float ny, float nz) {
    const float rx = nx / in.dx, ry = ny / in.dy, rz = nz / in.dz;
    float cx, cy, cz;
    if (!resampledCounts(in, nx, ny, nz, cx, cy, cz)) {
        std::printf("Error: voxel size %g %g %g leaves an axis with no voxels (or too many)\n",
                    (double)nx, (double)ny, (double)nz);
        return nullptr;
    }
    const int32_t X = (int32_t)cx, Y = (int32_t)cy, Z = (int32_t)cz;
    if ((uint64_t)X * (uint64_t)Y * (uint64_t)Z > kMaxVoxels) {
        std::printf("Error: voxel size %g %g %g gives a grid of more than %llu voxels\n", (double)nx,
                    (double)ny, (double)nz, (unsigned long long)kMaxVoxels);
        return nullptr;
    }
    StageTimer timer("isotropic resample");
    VolumePtr out = makeVolume(X, Y, Z, &deviceOf(in));
    out->t = in.t;
    out->dt = in.dt;
    out->dx = nx;
    out->dy = ny;
    out->dz = nz;
    out->center[0] = in.center[0] / rx;
    out->center[1] = in.center[1] / ry;
    out->center[2] = in.center[2] / rz;
    copyIntensityBookkeeping(in, *out);
    out->orient = sampledOrientation(in.orient, rx, ry, rz);
    deviceOf(in).isotropicResample(in, *out, rx, ry, rz);
    return out;
}

VolumePtr copyVolume(const Volume& in) {
    Device& dev = deviceOf(in);
    VolumePtr out = makeVolume(in.x, in.y, in.z, &dev);
    out->t = in.t;
    out->dt = in.dt;
    out->dx = in.dx;
    out->dy = in.dy;
    out->dz = in.dz;
    for (int a = 0; a < 3; ++a) out->center[a] = in.center[a];
    copyIntensityBookkeeping(in, *out);
    out->stage = in.stage;
    out->orient = in.orient;
    const size_t n = in.count();
    float* staging = dev.allocStaging(n);
    dev.download(staging, in.data, n);
    dev.upload(out->data, staging, n);
    dev.freeStaging(staging);
    return out;
}

VolumePtr halfSample(const Volume& in) {
    StageTimer timer("half sample");
    VolumePtr out = makeVolume((in.x + 1) / 2, (in.y + 1) / 2, (in.z + 1) / 2, &deviceOf(in));
    out->t = in.t;
    out->dt = in.dt;
    out->dx = in.dx * 2.0f;
    out->dy = in.dy * 2.0f;
    out->dz = in.dz * 2.0f;
    for (int a = 0; a < 3; ++a) out->center[a] = in.center[a] * 0.5f;
    copyIntensityBookkeeping(in, *out);
    out->orient = sampledOrientation(in.orient, 2.0f, 2.0f, 2.0f);
    deviceOf(in).halfSample(in, *out);
    return out;
}

VolumePtr transformVolume(const Volume& src, const Volume& ref, const Matrix& m) {
    StageTimer timer("affine resample");
    VolumePtr out = makeVolume(ref.x, ref.y, ref.z, &deviceOf(src));
    out->dx = ref.dx;
    out->dy = ref.dy;
    out->dz = ref.dz;
    out->t = ref.t;
    out->dt = ref.dt;
    for (int a = 0; a < 3; ++a) out->center[a] = ref.center[a];
    copyIntensityBookkeeping(src, *out);
    out->orient = ref.orient;
    deviceOf(src).transformVolume(src, *out, m.data, false, 0.0f);
    return out;
}

VolumePtr resampleWorld(const Volume& moving, const Volume& fixed, const Affine& world, bool nearest) {
    StageTimer timer("world resample");
    // Fixed voxel -> moving texture coordinate (voxel i sits at i + 0.5).
    const Affine g = Affine::translation(0.5, 0.5, 0.5) * worldGridOf(moving).worldToVoxel() * world *
                     worldGridOf(fixed).voxelToWorld;
    VolumePtr out = makeVolume(fixed.x, fixed.y, fixed.z, &deviceOf(moving));
    out->dx = fixed.dx;
    out->dy = fixed.dy;
    out->dz = fixed.dz;
    out->t = 1;
    out->dt = fixed.dt;
    copyIntensityBookkeeping(moving, *out);
    out->orient = fixed.orient;
    // The resampling kernel maps (A (i - outCenter) + a) * outVoxel / srcVoxel + srcCenter;
    // with a zero output centre, A and a carry g scaled by srcVoxel / outVoxel.
    const double ratio[3] = {(double)moving.dx / fixed.dx, (double)moving.dy / fixed.dy,
                             (double)moving.dz / fixed.dz};
    float a[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) a[4 * r + c] = (float)(g.a[r][c] * ratio[r]);
        a[4 * r + 3] = (float)((g.a[r][3] - (double)moving.center[r]) * ratio[r]);
    }
    // Outside MOVING is background, physical 0. A constant image has no scale to store 0
    // with: its output maps 0..value (or value..0) onto the ends of the range instead.
    const bool constant = moving.maxValue == moving.minValue && moving.minValue != 0.0f;
    const float outside = constant ? -1.0f : storedZero(moving);
    deviceOf(moving).transformVolume(moving, *out, a, nearest, outside);
    if (constant) {
        const float value = moving.minValue;
        out->minValue = std::fmin(value, 0.0f);
        out->maxValue = std::fmax(value, 0.0f);
        std::vector<float> v(out->count());
        deviceOf(moving).download(v.data(), out->data, v.size());
        for (float& x : v) x = (x == outside) == (value > 0.0f) ? 0.0f : 255.0f;
        deviceOf(moving).upload(out->data, v.data(), v.size());
    }
    for (int i = 0; i < 3; ++i) out->center[i] = fixed.center[i];
    return out;
}
