#include "volume/imagefile.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device/device.h"
#include "volume/niftiadapter.h"

namespace {

constexpr int kUint8 = 2, kInt16 = 4, kFloat32 = 16;

// Every file we write carries an orientation; a volume whose source had none gets this
// fixed one under code 4 (MNI_152), whatever its size and voxel size.
constexpr float kFixedOrientation[4][4] = {
    {-2, 0, 0, 90}, {0, 2, 0, -126}, {0, 0, 2, -72}, {0, 0, 0, 1}};
constexpr int kFixedOrientationCode = 4;

// A host buffer of the volume's backend for one whole-volume transfer.
class Staging {
public:
    Staging(Device& dev, size_t n) : dev_(dev), p_(dev.allocStaging(n)) {}
    ~Staging() {
        if (p_) dev_.freeStaging(p_);
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    float* get() const { return p_; }

private:
    Device& dev_;
    float* p_;
};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

const char* readProblem(imageio::ReadStatus s) {
    using imageio::ReadStatus;
    switch (s) {
        case ReadStatus::BadHeader: return "is not a readable NIfTI-1 or ANALYZE 7.5 image";
        case ReadStatus::BadDimensions: return "has unusable dimensions";
        case ReadStatus::TooLarge: return "has more voxels than can be handled";
        case ReadStatus::BadVoxelSize: return "has a voxel size that is zero, infinite or not a number";
        case ReadStatus::BadData: return "is truncated or its data cannot be read";
        default: return "cannot be read";
    }
}

// False for a status that has been reported.
bool readOk(imageio::ReadStatus s, const char* path) {
    if (s == imageio::ReadStatus::Ok) return true;
    if (s == imageio::ReadStatus::Missing)
        std::printf("Error: File '%s' not exist!\n", path);
    else
        std::printf("Error: File '%s' %s!\n", path, readProblem(s));
    return false;
}

// Brings the stored values into `out` as floats. For 16-bit and float files the extremes
// are found in storage order while copying (each replaced only by a strictly greater or
// smaller value), then one scale s = 255 / (max - min) maps them onto 0..255 in single
// precision. A file of one value gives zeros and keeps max = min = that value, so that
// saving gives it back. False when the values cannot be normalised (not finite numbers,
// or a range that overflows), since they would poison every later computation.
template <typename T>
bool normalise(const T* in, float* out, size_t n, float& maxValue, float& minValue) {
    float maxV = (float)in[0], minV = (float)in[0];
    bool finite = true;
    for (size_t i = 0; i < n; ++i) {
        const float v = (float)in[i];
        out[i] = v;
        if (v > maxV) maxV = v;
        if (v < minV) minV = v;
        if (!std::isfinite(v)) finite = false;
    }
    maxValue = maxV;
    minValue = minV;
    if (!finite) return false;
    if (maxV == minV) {
        std::memset(out, 0, n * sizeof(float));
        return true;
    }
    const float s = 255.0f / (maxV - minV);
    if (!std::isfinite(maxV - minV) || !std::isfinite(s)) return false;
    for (size_t i = 0; i < n; ++i) out[i] = (out[i] - minV) * s;
    return true;
}

// Intensity centroid over the voxels above 1.0 (background carries no weight), single
// precision running sums in storage order. Without such voxels: the centre of the grid.
void centroid(const float* v, int32_t x, int32_t y, int32_t z, float center[3]) {
    float w = 0, sx = 0, sy = 0, sz = 0;
    size_t idx = 0;
    for (int32_t k = 0; k < z; ++k)
        for (int32_t j = 0; j < y; ++j)
            for (int32_t i = 0; i < x; ++i, ++idx) {
                const float val = v[idx];
                if (val > 1.0f) {
                    w += val;
                    sx += i * val;
                    sy += j * val;
                    sz += k * val;
                }
            }
    if (w == 0.0f) {
        center[0] = (x - 1) / 2.0f;
        center[1] = (y - 1) / 2.0f;
        center[2] = (z - 1) / 2.0f;
        return;
    }
    center[0] = sx / w;
    center[1] = sy / w;
    center[2] = sz / w;
}

// Truncation towards zero as the x86 conversion does it: values outside the 32-bit range,
// and NaN, give INT32_MIN (whose low 8 and 16 bits are zero) instead of undefined
// behaviour.
int32_t truncate32(float f) {
    if (f >= -2147483648.0f && f < 2147483648.0f) return (int32_t)f;
    return INT32_MIN;
}

}  // namespace

VolumePtr loadVolume(const char* path, Device* dev) {
    imageio::ImageReader reader;
    if (!readOk(reader.open(path), path)) return nullptr;
    const int datatype = reader.datatype();
    if (datatype != kUint8 && datatype != kInt16 && datatype != kFloat32) {
        std::printf("Error: Unrecognized datatype!\n");
        return nullptr;
    }
    imageio::ImageHeader h;
    if (!readOk(reader.readHeader(h), path)) return nullptr;
    if (!readOk(reader.readFirstVolume(), path)) return nullptr;

    Device& d = dev ? *dev : device();
    const size_t n = (size_t)h.x * (size_t)h.y * (size_t)h.z;
    Staging staging(d, n);
    if (!staging.get()) {
        std::printf("Error: Not enough memory to load '%s'!\n", path);
        return nullptr;
    }
    float* values = staging.get();
    float maxValue = 0, minValue = 0;
    bool ok = true;
    switch (datatype) {
        case kUint8: {
            const uint8_t* in = static_cast<const uint8_t*>(reader.voxels());
            for (size_t i = 0; i < n; ++i) values[i] = (float)in[i];
            break;
        }
        case kInt16:
            ok = normalise(static_cast<const int16_t*>(reader.voxels()), values, n, maxValue, minValue);
            break;
        case kFloat32:
            ok = normalise(static_cast<const float*>(reader.voxels()), values, n, maxValue, minValue);
            break;
    }
    if (!ok) {
        std::printf("Error: File '%s' holds values that cannot be normalised to 0..255!\n", path);
        return nullptr;
    }

    VolumePtr v = makeVolume(h.x, h.y, h.z, &d);
    v->t = 1;
    v->dx = h.dx;
    v->dy = h.dy;
    v->dz = h.dz;
    v->dt = h.dt;
    v->maxValue = maxValue;
    v->minValue = minValue;
    v->datatype = (int16_t)datatype;
    v->stage = 0;
    v->orient = h.orient;
    centroid(values, h.x, h.y, h.z, v->center);
    d.upload(v->data, values, n);
    return v;
}

bool saveVolume(const Volume& v, const char* path) {
    imageio::ImageWriter writer;
    if (!writer.open(path)) {
        if (!checkOutputType()) return false;
        std::printf("Error: Cannot write file '%s': the name gives no file name!\n", path ? path : "");
        return false;
    }
    const char* name = writer.fileName().c_str();
    const size_t n = v.count();
    if (v.x < 1 || v.y < 1 || v.z < 1 || v.x > 32767 || v.y > 32767 || v.z > 32767) {
        std::printf("Error: Cannot write file '%s': dimensions %d x %d x %d do not fit its header!\n", name,
                    v.x, v.y, v.z);
        return false;
    }
    if ((uint64_t)n > kMaxVoxels || !v.data || !v.owner ||
        (v.datatype != kUint8 && v.datatype != kInt16 && v.datatype != kFloat32)) {
        std::printf("Error: Cannot write file '%s': the volume is not a loaded image!\n", name);
        return false;
    }

    Device& d = *v.owner;
    size_t bytes = 0;
    std::unique_ptr<void, FreeDeleter> out;
    {
        Staging staging(d, n);
        if (!staging.get()) {
            std::printf("Error: Not enough memory to write '%s'!\n", name);
            return false;
        }
        d.download(staging.get(), v.data, n);
        const float* in = staging.get();
        const float scale = (v.maxValue - v.minValue) / 255.0f;
        switch (v.datatype) {
            case kUint8: {
                bytes = n;
                uint8_t* o = static_cast<uint8_t*>(std::malloc(bytes));
                out.reset(o);
                if (o)
                    for (size_t i = 0; i < n; ++i) o[i] = (uint8_t)truncate32((float)std::floor((double)in[i]));
                break;
            }
            case kInt16: {
                bytes = n * sizeof(int16_t);
                int16_t* o = static_cast<int16_t*>(std::malloc(bytes));
                out.reset(o);
                if (o)
                    for (size_t i = 0; i < n; ++i) {
                        const float mapped = in[i] * scale + v.minValue;
                        o[i] = (int16_t)(uint16_t)truncate32((float)std::floor((double)mapped));
                    }
                break;
            }
            case kFloat32: {
                bytes = n * sizeof(float);
                float* o = static_cast<float*>(std::malloc(bytes));
                out.reset(o);
                if (o)
                    for (size_t i = 0; i < n; ++i) o[i] = in[i] * scale + v.minValue;
                break;
            }
        }
        if (!out) {
            std::printf("Error: Not enough memory to write '%s'!\n", name);
            return false;
        }
    }

    writer.setDatatype(v.datatype);
    writer.setDims(v.x, v.y, v.z, 1);
    writer.setVoxDims(v.dx, v.dy, v.dz, v.dt);
    // The grid's own orientation when its source had one, so the output overlays its
    // reference in a viewer; the fixed matrix otherwise.
    if (v.orient.code > 0) {
        writer.setStdXform(v.orient.code, v.orient.m);
        writer.setRigidXform(v.orient.code, v.orient.m);
    } else {
        writer.setStdXform(kFixedOrientationCode, kFixedOrientation);
        writer.setRigidXform(kFixedOrientationCode, kFixedOrientation);
    }
    if (!writer.write(out.get(), bytes)) {
        std::printf("Error: Cannot write file '%s'!\n", name);
        return false;
    }
    return true;
}

bool checkOutputType() {
    imageio::OutputType type;
    if (imageio::outputTypeFromEnvironment(type)) return true;
    std::printf(
        "Error: FSLOUTPUTTYPE '%s' is not one of NIFTI, NIFTI_GZ, NIFTI_PAIR, NIFTI_PAIR_GZ, ANALYZE, "
        "ANALYZE_GZ!\n",
        std::getenv("FSLOUTPUTTYPE"));
    return false;
}
