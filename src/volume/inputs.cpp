#include "volume/inputs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <future>
#include <system_error>
#include <vector>

#include "device/device.h"
#include "volume/niftiadapter.h"
#include "volume/physicalimage.h"
#include "volume/resample.h"

VolumePtr loadInput(const std::string& path, std::string& error, Device* dev) {
    LoadOptions options;
    options.device = dev;
    return loadImage(path.c_str(), error, options);
}

bool loadInputs(const std::string& first, const std::string& second, VolumePtr& a, VolumePtr& b,
                std::string& error) {
    // The backend is chosen here, not on both threads at once.
    Device& dev = device();
    std::vector<std::string> warnings;
    std::string secondError;
    std::future<VolumePtr> reading = std::async(std::launch::async, [&] {
        LoadOptions options;
        options.device = &dev;
        options.warnings = &warnings;
        return loadImage(second.c_str(), secondError, options);
    });
    a = loadInput(first, error, &dev);
    b = reading.get();
    if (a) {
        printLoadWarnings(warnings);
        if (!b) error = secondError;
    }
    if (a && b) return true;
    a.reset();
    b.reset();
    return false;
}

bool saveOutput(const Volume& v, const std::string& path, std::string& error, StagedFiles* staged) {
    return saveImagePhysical(v, path.c_str(), error, nullptr, staged);
}

std::string withoutImageExtension(const std::string& path) {
    static const char* const kExt[] = {".nii.gz", ".hdr.gz", ".img.gz", ".nii", ".hdr", ".img"};
    for (const char* e : kExt) {
        const std::string ext = e;
        if (path.size() > ext.size() && path.compare(path.size() - ext.size(), ext.size(), ext) == 0)
            return path.substr(0, path.size() - ext.size());
    }
    return path;
}

bool outputPossible(const std::string& path, std::string& error) {
    struct stat st;
    if (path.empty()) {
        error = "an output name is empty";
        return false;
    }
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "output '" + path + "' is a folder";
        return false;
    }
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "folder '" + dir + "' of output '" + path + "' does not exist";
        return false;
    }
    if (access(dir.c_str(), W_OK) != 0) {
        error = "cannot write in folder '" + dir + "' (output '" + path + "')";
        return false;
    }
    return true;
}

std::vector<std::string> inputImageFiles(const std::string& name) {
    std::vector<std::string> files = imageio::imageFilesFound(name.c_str());
    if (files.empty()) files.push_back(name);
    return files;
}

std::vector<std::string> outputImageFiles(const std::string& name) {
    imageio::ImageWriter w;
    if (!w.open(name.c_str())) return {name};
    if (w.imageName() == w.fileName()) return {w.fileName()};
    return {w.fileName(), w.imageName()};
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    std::error_code ea, eb;
    const std::filesystem::path pa = std::filesystem::weakly_canonical(a, ea);
    const std::filesystem::path pb = std::filesystem::weakly_canonical(b, eb);
    return ea || eb ? a == b : pa == pb;
}

bool outputsApart(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs,
                  std::string& error) {
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (const std::string& in : inputs)
            if (sameFile(outputs[i], in)) {
                error = "output '" + outputs[i] + "' would overwrite an input";
                return false;
            }
        for (size_t j = 0; j < i; ++j)
            if (sameFile(outputs[i], outputs[j])) {
                error = "two outputs are both '" + outputs[i] + "'";
                return false;
            }
    }
    return true;
}

namespace {

bool endsWithNoCase(const std::string& s, const std::string& tail) {
    if (s.size() < tail.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i)
        if (std::tolower((unsigned char)s[s.size() - tail.size() + i]) != tail[i]) return false;
    return true;
}

}  // namespace

bool imageOutputName(const std::string& path, std::string& error) {
    for (const char* ext : {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".gif", ".txt"})
        if (endsWithNoCase(path, ext)) {
            error = "output '" + path + "' names a " + (std::string(ext) == ".txt" ? "text file" : "picture") +
                    ", not an image: give a name ending in .nii.gz, .nii, .hdr or .img";
            return false;
        }
    return true;
}

bool pictureOutputName(const std::string& path, std::string& error) {
    if (endsWithNoCase(path, ".png")) return true;
    error = "picture '" + path + "' must have a name ending in .png (the picture is a PNG)";
    return false;
}

bool sameGrid(const Volume& a, const Volume& b) {
    if (a.x != b.x || a.y != b.y || a.z != b.z) return false;
    auto close = [](float p, float q) { return std::fabs(p - q) <= 1e-4f * std::fmax(std::fabs(p), std::fabs(q)); };
    if (!close(a.dx, b.dx) || !close(a.dy, b.dy) || !close(a.dz, b.dz)) return false;
    if ((a.orient.code > 0) != (b.orient.code > 0)) return false;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j)
            if (std::fabs(a.orient.m[i][j] - b.orient.m[i][j]) > 1e-3f) return false;
    return true;
}

VolumePtr loadMask(const std::string& path, const Volume& like, const std::string& imageName,
                   std::string& error) {
    VolumePtr m = loadInput(path, error);
    if (!m) return nullptr;
    return maskOnGrid(std::move(m), like, path, imageName, error);
}

VolumePtr maskOnGrid(VolumePtr m, const Volume& like, const std::string& path, const std::string& imageName,
                     std::string& error) {
    if (!sameGrid(*m, like)) {
        error = "mask '" + path + "' is not on the grid of '" + imageName + "'";
        return nullptr;
    }
    const size_t n = m->count();
    std::vector<float> v = physicalValues(*m);
    // Zero stays zero within the rounding of the mapping onto 0..255 and back.
    const float tol = 1e-5f * std::fmax(std::fabs(m->maxValue), std::fabs(m->minValue));
    size_t inside = 0;
    for (float& x : v) {
        x = std::fabs(x) > tol ? 1.0f : 0.0f;
        inside += x != 0.0f;
    }
    if (inside == 0) {
        error = "mask '" + path + "' has no voxel inside";
        return nullptr;
    }
    if (inside < kMinMaskVoxels) {
        error = "mask '" + path + "' has only " + std::to_string(inside) + " voxels inside; registering needs at least " +
                std::to_string(kMinMaskVoxels);
        return nullptr;
    }
    m->owner->upload(m->data, v.data(), n);
    m->maxValue = 1.0f;
    m->minValue = 0.0f;
    // Exactly the image's geometry, so that both pyramids get the same level grids.
    m->dx = like.dx;
    m->dy = like.dy;
    m->dz = like.dz;
    m->orient = like.orient;
    return m;
}

bool registrable(const Volume& image, const Volume* mask, const std::string& imageName, std::string& error) {
    if (!resamplesTo(image, 1.0f)) {
        error = "image '" + imageName + "' is too small to register: it must hold one voxel of 1 mm along each axis";
        return false;
    }
    const std::vector<float> v = physicalValues(image);
    std::vector<float> m;
    if (mask) {
        m.resize(mask->count());
        mask->owner->download(m.data(), mask->data, m.size());
    }
    float low = 0, high = 0;
    bool any = false;
    for (size_t i = 0; i < v.size(); ++i) {
        if (mask && (i >= m.size() || m[i] == 0.0f)) continue;
        if (!any) low = high = v[i], any = true;
        low = std::fmin(low, v[i]);
        high = std::fmax(high, v[i]);
    }
    if (any && low < high) return true;
    char value[32];
    std::snprintf(value, sizeof value, "%g", (double)low);
    error = "image '" + imageName + "' is constant" + (mask ? " inside its mask" : "") + " (every voxel is " + value +
            "): there is nothing to register";
    return false;
}

void centroidInsideMask(Volume& image, const Volume& mask) {
    const size_t n = image.count();
    std::vector<float> v(n), m(n);
    image.owner->download(v.data(), image.data, n);
    mask.owner->download(m.data(), mask.data, n);
    double w = 0, sx = 0, sy = 0, sz = 0;
    size_t idx = 0;
    for (int32_t k = 0; k < image.z; ++k)
        for (int32_t j = 0; j < image.y; ++j)
            for (int32_t i = 0; i < image.x; ++i, ++idx)
                if (m[idx] != 0.0f && v[idx] > 1.0f) {
                    w += v[idx];
                    sx += i * (double)v[idx];
                    sy += j * (double)v[idx];
                    sz += k * (double)v[idx];
                }
    if (w == 0.0) return;
    image.center[0] = (float)(sx / w);
    image.center[1] = (float)(sy / w);
    image.center[2] = (float)(sz / w);
}
