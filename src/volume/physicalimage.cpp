#include "volume/physicalimage.h"

#include <sys/stat.h>

#include <nifti1.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "device/device.h"
#include "volume/niftiadapter.h"
#include "volume/voxelconvert.h"

namespace {

using voxelconvert::Staging;

std::string quoted(const char* path) { return std::string("'") + (path ? path : "") + "'"; }

// Why a datatype is refused, or null when it is one we read.
const char* unsupportedKind(int datatype) {
    switch (datatype) {
        case DT_UINT8: case DT_INT8: case DT_INT16: case DT_UINT16: case DT_INT32:
        case DT_UINT32: case DT_INT64: case DT_UINT64: case DT_FLOAT32: case DT_FLOAT64:
            return nullptr;
        case DT_RGB24: case DT_RGBA32: return "holds colour (RGB) values";
        case DT_COMPLEX64: case DT_COMPLEX128: case DT_COMPLEX256: return "holds complex values";
        case DT_BINARY: return "holds 1-bit values";
        case DT_FLOAT128: return "holds 128-bit floats";
        default: return "has an unknown datatype";
    }
}

constexpr const char* kNumericTypes = "uint8, int8, int16, uint16, int32, uint32, int64, uint64, float32 or float64";

// The file's stored values as physical floats. Non-finite results (NaN, Inf, or a float64
// beyond single precision) are counted; the caller replaces them.
template <typename T>
size_t toPhysical(const void* raw, float* out, size_t n, float slope, float inter) {
    const T* in = static_cast<const T*>(raw);
    size_t bad = 0;
    if (slope == 0.0f) {
        for (size_t i = 0; i < n; ++i) out[i] = (float)in[i];
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = (float)((double)in[i] * slope + inter);
    }
    for (size_t i = 0; i < n; ++i) bad += !std::isfinite(out[i]);
    return bad;
}

size_t physicalFromFile(int datatype, const void* raw, float* out, size_t n, float slope, float inter) {
    switch (datatype) {
        case DT_UINT8: return toPhysical<uint8_t>(raw, out, n, slope, inter);
        case DT_INT8: return toPhysical<int8_t>(raw, out, n, slope, inter);
        case DT_INT16: return toPhysical<int16_t>(raw, out, n, slope, inter);
        case DT_UINT16: return toPhysical<uint16_t>(raw, out, n, slope, inter);
        case DT_INT32: return toPhysical<int32_t>(raw, out, n, slope, inter);
        case DT_UINT32: return toPhysical<uint32_t>(raw, out, n, slope, inter);
        case DT_INT64: return toPhysical<int64_t>(raw, out, n, slope, inter);
        case DT_UINT64: return toPhysical<uint64_t>(raw, out, n, slope, inter);
        case DT_FLOAT32: return toPhysical<float>(raw, out, n, slope, inter);
        case DT_FLOAT64: return toPhysical<double>(raw, out, n, slope, inter);
    }
    return n;
}

void warn(const LoadOptions& options, const std::string& text) {
    if (options.warnings)
        options.warnings->push_back(text);
    else
        printLoadWarnings({text});
}

}  // namespace

void printLoadWarnings(const std::vector<std::string>& warnings) {
    for (const std::string& w : warnings) std::fprintf(stderr, "Warning: %s\n", w.c_str());
}

VolumePtr loadImage(const char* path, std::string& error, const LoadOptions& options) {
    const std::string name = "file " + quoted(path);
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        error = name + " is a folder, not an image";
        return nullptr;
    }
    imageio::ImageReader reader;
    imageio::ReadStatus st = reader.open(path);
    if (st == imageio::ReadStatus::Missing) {
        error = name + " does not exist";
        return nullptr;
    }
    if (st == imageio::ReadStatus::Ok) {
        if (const char* kind = unsupportedKind(reader.datatype())) {
            error = name + " " + kind + " (datatype " + std::to_string(reader.datatype()) +
                    "); only single-channel images of " + kNumericTypes + " can be used";
            return nullptr;
        }
    }
    imageio::ImageHeader h;
    if (st == imageio::ReadStatus::Ok) st = reader.readHeader(h);
    if (st == imageio::ReadStatus::Ok) st = reader.readFirstVolume();
    if (st != imageio::ReadStatus::Ok) {
        error = name + " " + imageio::readProblem(st);
        return nullptr;
    }

    Device& d = options.device ? *options.device : device();
    const size_t n = (size_t)h.x * (size_t)h.y * (size_t)h.z;
    Staging staging(d, n);
    if (!staging.get()) {
        error = "not enough memory to load " + name;
        return nullptr;
    }
    float* values = staging.get();
    // NIfTI: a slope of zero means the stored values are the values.
    const bool scaled = std::isfinite(h.sclSlope) && h.sclSlope != 0.0f;
    const float slope = scaled ? h.sclSlope : 0.0f;
    const float inter = scaled && std::isfinite(h.sclInter) ? h.sclInter : 0.0f;

    // Stored NaN and infinities, which the reader has made 0, and values that become
    // infinite only on the way to single precision (float64, or scaled values beyond it).
    const size_t beyond = physicalFromFile(h.datatype, reader.voxels(), values, n, slope, inter);
    const size_t bad = beyond + reader.nonFiniteCount();
    if (bad >= n) {
        error = name + " holds no finite values";
        return nullptr;
    }
    if (beyond > 0)
        for (size_t i = 0; i < n; ++i)
            if (!std::isfinite(values[i])) values[i] = 0.0f;
    if (bad > 0)
        warn(options, name + " has " + std::to_string(bad) +
                          " voxels that are not finite numbers (NaN or infinite); they are taken as 0, background");

    float maxValue = 255.0f, minValue = 0.0f;
    // Unscaled bytes stay as they are, as loadVolume keeps them, so both loaders agree.
    if (h.datatype != DT_UINT8 || scaled) {
        if (!voxelconvert::normalise(values, values, n, maxValue, minValue)) {
            error = name + " holds values whose range is too wide to normalise";
            return nullptr;
        }
    }
    if (h.sformUnusable || (h.qformUnusable && h.orient.code == 0 && !h.sformUnusable)) {
        const char* which = h.sformUnusable ? "an sform" : "a qform";
        const char* instead = h.orient.code > 0 ? "its qform is used instead"
                                                : "world coordinates are its voxel grid scaled by the voxel sizes";
        warn(options, name + " has " + which + " that is not usable (not finite, or singular); " + instead);
    }
    if (h.volumeCount > 1)
        warn(options, name + " holds " + std::to_string(h.volumeCount) + " volumes; the first one is used");

    VolumePtr v = voxelconvert::uploadLoaded(d, h, values, maxValue, minValue);
    v->sclSlope = slope;
    v->sclInter = inter;
    return v;
}

std::vector<float> physicalValues(const Volume& v) {
    std::vector<float> out(v.count());
    if (!v.owner || !v.data || out.empty()) return out;
    v.owner->download(out.data(), v.data, out.size());
    // loadVolume keeps bytes unnormalised and says so with a zero range.
    if (v.datatype == DT_UINT8 && v.maxValue == 0.0f && v.minValue == 0.0f) return out;
    const float scale = (v.maxValue - v.minValue) / 255.0f;
    // Physical 0 lies between stored steps when the range does not start at 0; what is
    // within the mapping's rounding of it is 0, so that background stays exactly 0.
    const float low = std::fabs(v.minValue);
    const float rounding = 2.0f * (std::nextafter(low, INFINITY) - low);
    for (float& x : out) {
        x = x * scale + v.minValue;
        if (std::fabs(x) <= rounding) x = 0.0f;
    }
    return out;
}

namespace {

struct TypeRange {
    double low, high;
    int bytes;
};

bool integerRange(int datatype, TypeRange& r) {
    switch (datatype) {
        case DT_UINT8: r = {0, 255, 1}; return true;
        case DT_INT8: r = {-128, 127, 1}; return true;
        case DT_INT16: r = {-32768, 32767, 2}; return true;
        case DT_UINT16: r = {0, 65535, 2}; return true;
        case DT_INT32: r = {-2147483648.0, 2147483647.0, 4}; return true;
        case DT_UINT32: r = {0, 4294967295.0, 4}; return true;
        // The largest doubles below 2^63 and 2^64, so that the conversion is defined.
        case DT_INT64: r = {-9223372036854775808.0, 9223372036854774784.0, 8}; return true;
        case DT_UINT64: r = {0, 18446744073709549568.0, 8}; return true;
    }
    return false;
}

template <typename T>
void storeAs(const std::vector<double>& stored, std::vector<unsigned char>& out) {
    out.resize(stored.size() * sizeof(T));
    T* o = reinterpret_cast<T*>(out.data());
    for (size_t i = 0; i < stored.size(); ++i) o[i] = (T)stored[i];
}

void storeInteger(int datatype, const std::vector<double>& stored, std::vector<unsigned char>& out) {
    switch (datatype) {
        case DT_UINT8: storeAs<uint8_t>(stored, out); break;
        case DT_INT8: storeAs<int8_t>(stored, out); break;
        case DT_INT16: storeAs<int16_t>(stored, out); break;
        case DT_UINT16: storeAs<uint16_t>(stored, out); break;
        case DT_INT32: storeAs<int32_t>(stored, out); break;
        case DT_UINT32: storeAs<uint32_t>(stored, out); break;
        case DT_INT64: storeAs<int64_t>(stored, out); break;
        case DT_UINT64: storeAs<uint64_t>(stored, out); break;
    }
}

// Stored integers for physical values through the source's slope and intercept, rounded to
// the nearest; false when a value lies more than half a step outside the type's range.
bool toStored(const std::vector<float>& physical, int datatype, float slope, float inter, std::vector<double>& stored) {
    TypeRange r;
    if (!integerRange(datatype, r)) return false;
    const double s = slope == 0.0f ? 1.0 : slope, b = slope == 0.0f ? 0.0 : inter;
    stored.resize(physical.size());
    for (size_t i = 0; i < physical.size(); ++i) {
        const double q = std::nearbyint(((double)physical[i] - b) / s);
        if (!std::isfinite(q) || q < r.low || q > r.high) return false;
        stored[i] = q;
    }
    return true;
}

bool analyzeHasType(int datatype) {
    return datatype == DT_UINT8 || datatype == DT_INT16 || datatype == DT_INT32 || datatype == DT_FLOAT32 ||
           datatype == DT_FLOAT64;
}

}  // namespace

bool saveImagePhysical(const Volume& v, const char* path, std::string& error, int* writtenDatatype,
                       StagedFiles* staged) {
    imageio::ImageWriter writer;
    if (!writer.open(path)) {
        imageio::OutputType type;
        if (!imageio::outputTypeFromEnvironment(type))
            error = std::string("FSLOUTPUTTYPE '") + std::getenv("FSLOUTPUTTYPE") +
                    "' is not one of NIFTI, NIFTI_GZ, NIFTI_PAIR, NIFTI_PAIR_GZ, ANALYZE, ANALYZE_GZ";
        else
            error = "cannot write file " + quoted(path) + ": the name gives no file name";
        return false;
    }
    const std::string name = "file " + quoted(writer.fileName().c_str());
    if (v.x < 1 || v.y < 1 || v.z < 1 || v.x > 32767 || v.y > 32767 || v.z > 32767) {
        error = "cannot write " + name + ": dimensions " + std::to_string(v.x) + " x " + std::to_string(v.y) + " x " +
                std::to_string(v.z) + " do not fit its header";
        return false;
    }
    if ((uint64_t)v.count() > kMaxVoxels || !v.data || !v.owner) {
        error = "cannot write " + name + ": the volume holds no voxels";
        return false;
    }

    const std::vector<float> physical = physicalValues(v);
    int datatype = v.datatype;
    float slope = std::isfinite(v.sclSlope) ? v.sclSlope : 0.0f;
    float inter = slope != 0.0f && std::isfinite(v.sclInter) ? v.sclInter : 0.0f;
    std::vector<unsigned char> bytes;
    std::vector<double> stored;
    TypeRange range;
    const bool integer = integerRange(datatype, range);
    if (integer && !(writer.isAnalyze() && (slope != 0.0f || !analyzeHasType(datatype))) &&
        toStored(physical, datatype, slope, inter, stored)) {
        storeInteger(datatype, stored, bytes);
    } else if (datatype == DT_FLOAT64) {
        storeAs<double>(std::vector<double>(physical.begin(), physical.end()), bytes);
        slope = inter = 0.0f;
    } else {
        // float32 holds whatever the other types cannot.
        datatype = DT_FLOAT32;
        bytes.resize(physical.size() * sizeof(float));
        std::memcpy(bytes.data(), physical.data(), bytes.size());
        slope = inter = 0.0f;
    }

    writer.setDatatype(datatype);
    writer.setDims(v.x, v.y, v.z, 1);
    writer.setVoxDims(v.dx, v.dy, v.dz, v.dt);
    writer.setScaling(slope, inter);
    if (v.orient.code > 0) {
        writer.setStdXform(v.orient.code, v.orient.m);
        writer.setRigidXform(v.orient.code, v.orient.m);
    }
    if (!writer.write(bytes.data(), bytes.size(), staged)) {
        error = "cannot write " + name;
        return false;
    }
    if (writtenDatatype) *writtenDatatype = datatype;
    return true;
}
