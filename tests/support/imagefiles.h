#pragma once
// Image-file test helpers: the test images are written by niftiio itself (or byte by byte
// where the header must be broken), never by the code under test, and outputs are read
// back the same way.
#include <gtest/gtest.h>
#include <nifti1_io.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <algorithm>
#include <string>
#include <vector>

#include "device/device.h"
#include "support/testvolumes.h"
#include "volume/storedimage.h"

namespace fs = std::filesystem;


inline Device& cpu() {
    static std::unique_ptr<Device> d = makeCpuDevice(1);
    return *d;
}

// Sets or clears FSLOUTPUTTYPE for one test and puts the old value back.
class OutputTypeEnv {
public:
    explicit OutputTypeEnv(const char* value) {
        if (const char* old = getenv("FSLOUTPUTTYPE")) old_ = old, had_ = true;
        value ? setenv("FSLOUTPUTTYPE", value, 1) : unsetenv("FSLOUTPUTTYPE");
    }
    ~OutputTypeEnv() { had_ ? setenv("FSLOUTPUTTYPE", old_.c_str(), 1) : unsetenv("FSLOUTPUTTYPE"); }

private:
    std::string old_;
    bool had_ = false;
};

struct Grid {
    int x, y, z, t = 1;
    float dx = 1, dy = 1, dz = 1;
};

// An image written by niftiio: `name` chooses the format as niftiio does; `analyze` turns
// a pair into ANALYZE 7.5; `edit` may change the record before it is written.
template <typename T>
void writeImage(const std::string& name, int datatype, const Grid& g, const std::vector<T>& values,
                bool analyze = false, const std::function<void(nifti_image&)>& edit = {}) {
    const int dims[8] = {g.t > 1 ? 4 : 3, g.x, g.y, g.z, g.t, 1, 1, 1};
    nifti_image* nim = nifti_make_new_nim(dims, datatype, 1);
    ASSERT_EQ(values.size() * sizeof(T), nim->nvox * (size_t)nim->nbyper);
    std::memcpy(nim->data, values.data(), values.size() * sizeof(T));
    nim->dx = nim->pixdim[1] = g.dx;
    nim->dy = nim->pixdim[2] = g.dy;
    nim->dz = nim->pixdim[3] = g.dz;
    ASSERT_EQ(nifti_set_filenames(nim, name.c_str(), 0, 1), 0);
    if (analyze) nim->nifti_type = NIFTI_FTYPE_ANALYZE;
    if (edit) edit(*nim);
    nifti_image_write(nim);
    nifti_image_free(nim);
}

// A single-file image written byte by byte (compressed when the name ends in .gz), for
// headers niftiio would refuse to write; the data block is `dataBytes` of 7s unless given.
inline void writeRaw(const std::string& name, int datatype, int x, int y, int z, size_t dataBytes,
              const std::function<void(nifti_1_header&)>& edit = {}, const void* data = nullptr) {
    const int dims[8] = {3, x, y, z, 1, 1, 1, 1};
    nifti_1_header* made = nifti_make_new_header(dims, datatype);
    nifti_1_header h = *made;
    free(made);
    h.vox_offset = 352;
    if (edit) edit(h);
    std::vector<char> fill(dataBytes, 7);
    znzFile f = znzopen(name.c_str(), "wb", nifti_is_gzfile(name.c_str()));
    ASSERT_FALSE(znz_isnull(f));
    znzwrite(&h, 1, sizeof h, f);
    znzwrite("\0\0\0\0", 1, 4, f);
    znzwrite(data ? data : fill.data(), 1, dataBytes, f);
    znzclose(f);
}

template <typename T>
std::vector<T> readBack(const std::string& name, nifti_image** keep = nullptr) {
    nifti_image* nim = nifti_image_read(name.c_str(), 1);
    if (!nim) return {};
    std::vector<T> v(nim->nvox);
    std::memcpy(v.data(), nim->data, nim->nvox * sizeof(T));
    keep ? (void)(*keep = nim) : nifti_image_free(nim);
    return v;
}

inline std::vector<int16_t> int16Ramp(size_t n) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (int16_t)(-100 + (int)(i % 1101));
    return v;
}

class ImageFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarvo-imagefile-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        env_ = std::make_unique<OutputTypeEnv>(nullptr);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    // Loads expecting failure; returns what was printed.
    std::string loadFails(const std::string& name) {
        testing::internal::CaptureStdout();
        VolumePtr v = loadVolume(name.c_str(), &cpu());
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(v, nullptr) << name;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        return out;
    }

    std::string dir_;
    std::unique_ptr<OutputTypeEnv> env_;
};

inline bool isGzip(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    unsigned char b[2] = {};
    f.read(reinterpret_cast<char*>(b), 2);
    return b[0] == 0x1f && b[1] == 0x8b;
}

