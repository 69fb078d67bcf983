#include "volume/inputs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <vector>

#include "device/device.h"
#include "volume/physicalimage.h"

VolumePtr loadInput(const std::string& path, std::string& error, Device* dev) {
    LoadOptions options;
    options.device = dev;
    return loadImage(path.c_str(), error, options);
}

bool saveOutput(const Volume& v, const std::string& path, std::string& error) {
    return saveImagePhysical(v, path.c_str(), error);
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
