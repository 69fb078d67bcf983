// The synthetic head tool, through its command line: what it writes is read back with
// niftiio and with the program's own loader (the centroid the registration starts from).
#include <gtest/gtest.h>
#include <nifti1_io.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/device.h"
#include "geometry/matrix.h"
#include "geometry/transform.h"
#include "volume/storedimage.h"

namespace fs = std::filesystem;

namespace {

Device& cpu() {
    static std::unique_ptr<Device> d = makeCpuDevice(1);
    return *d;
}

// A scratch folder of its own for each test, removed afterwards.
class PhantomTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("tarvo_phantom_" + std::to_string(getpid()) + "_" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs the tool; returns its exit status.
    int phantom(const std::string& args) const {
        const std::string cmd = std::string(PHANTOM_BIN) + " " + args + " >" +
                                path("stdout.txt") + " 2>" + path("stderr.txt");
        const int rc = std::system(cmd.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    fs::path dir_;
};

using NiftiPtr = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;
NiftiPtr readNifti(const std::string& p, bool data = true) {
    return NiftiPtr(nifti_image_read(p.c_str(), data ? 1 : 0), nifti_image_free);
}

std::vector<float> valuesOf(const nifti_image& n) {
    std::vector<float> v(n.nvox);
    for (size_t i = 0; i < n.nvox; ++i) {
        switch (n.datatype) {
            case DT_UINT8: v[i] = static_cast<const uint8_t*>(n.data)[i]; break;
            case DT_INT16: v[i] = static_cast<const int16_t*>(n.data)[i]; break;
            default: v[i] = static_cast<const float*>(n.data)[i];
        }
    }
    return v;
}

std::string fileBytes(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST_F(PhantomTest, WritesTheGridVoxelSizeDatatypeAndOrientationAsked) {
    struct Case {
        const char* name;
        int datatype;
        int fileType;
        const char* extra;
    };
    const Case cases[] = {
        {"a.nii.gz", DT_UINT8, NIFTI_FTYPE_NIFTI1_1, ""},
        {"b.hdr", DT_INT16, NIFTI_FTYPE_NIFTI1_2, ""},
        {"c.nii", DT_FLOAT32, NIFTI_FTYPE_NIFTI1_1, " --no-orient"},
        {"d.img.gz", DT_INT16, NIFTI_FTYPE_ANALYZE, " --analyze"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(phantom("--out " + path(c.name) + " --grid 40 48 36 --voxel 2 1.5 2.5 --head-length 90 --datatype " +
                          std::to_string(c.datatype) + c.extra),
                  0);
        NiftiPtr n = readNifti(path(c.name));
        ASSERT_TRUE(n);
        EXPECT_EQ(n->nifti_type, c.fileType);
        EXPECT_EQ(n->datatype, c.datatype);
        EXPECT_EQ(n->ndim, 3);
        EXPECT_EQ(n->nx, 40);
        EXPECT_EQ(n->ny, 48);
        EXPECT_EQ(n->nz, 36);
        EXPECT_FLOAT_EQ(n->dx, 2.0f);
        EXPECT_FLOAT_EQ(n->dy, 1.5f);
        EXPECT_FLOAT_EQ(n->dz, 2.5f);

        const std::vector<float> v = valuesOf(*n);
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        if (c.datatype == DT_INT16) EXPECT_LT(*lo, 0.0f) << "int16 output keeps an offset below zero";
        else EXPECT_EQ(*lo, 0.0f);
        EXPECT_GT(*hi, *lo + 100.0f);

        if (c.fileType == NIFTI_FTYPE_ANALYZE) continue;
        const bool oriented = std::string(c.extra).empty();
        EXPECT_EQ(n->sform_code, oriented ? NIFTI_XFORM_SCANNER_ANAT : 0);
        EXPECT_EQ(n->qform_code, oriented ? NIFTI_XFORM_SCANNER_ANAT : 0);
        if (oriented) {
            // Real voxel sizes, axes unflipped, the grid centre at the world origin.
            for (const mat44* m : {&n->sto_xyz, &n->qto_xyz}) {
                const float c3[3] = {19.5f, 23.5f, 17.5f};
                for (int r = 0; r < 3; ++r) {
                    float w = m->m[r][3];
                    for (int k = 0; k < 3; ++k) w += m->m[r][k] * c3[k];
                    EXPECT_NEAR(w, 0.0f, 1e-4f);
                }
                EXPECT_NEAR(m->m[0][0], 2.0f, 1e-6f);
                EXPECT_NEAR(m->m[1][1], 1.5f, 1e-6f);
                EXPECT_NEAR(m->m[2][2], 2.5f, 1e-6f);
                EXPECT_NEAR(m->m[0][1], 0.0f, 1e-6f);
            }
        }
    }
    // The program reads all of them.
    for (const char* name : {"a.nii.gz", "b.hdr", "c.nii", "d.img.gz"}) {
        VolumePtr v = loadVolume(path(name).c_str(), &cpu());
        EXPECT_TRUE(v) << name;
    }
}

TEST_F(PhantomTest, RefusesBadArgumentsWithoutWriting) {
    const std::string out = path("x.nii");
    for (const std::string& args : {
             std::string("--grid 10 10 10"),                 // no output
             "--out " + out + " --datatype 8",               // unsupported type
             "--out " + out + " --contrast pd",              // unknown contrast
             "--out " + out + " --grid 10 10",               // too few numbers
             "--out " + out + " --voxel 1 0 1",              // zero voxel size
             "--out " + out + " --affine 0 0 0 0 0 0 1 0 1 0 0 0",  // singular
             "--out " + out + " --analyze",                  // ANALYZE needs a pair name
             "--out " + path("x.png"),                       // no image extension
             "--out " + out + " --bogus",
         }) {
        SCOPED_TRACE(args);
        EXPECT_EQ(phantom(args), 1);
        EXPECT_FALSE(fs::exists(out));
        EXPECT_NE(fileBytes(path("stderr.txt")).find("usage:"), std::string::npos);
    }
}

TEST_F(PhantomTest, ContrastsAreFunctionallyButNotLinearlyRelated) {
    const std::string grid = " --grid 72 80 72 --voxel 2 2 2 --datatype 16";
    ASSERT_EQ(phantom("--out " + path("t1.nii") + " --contrast t1" + grid), 0);
    ASSERT_EQ(phantom("--out " + path("t2.nii") + " --contrast t2" + grid), 0);
    NiftiPtr n1 = readNifti(path("t1.nii")), n2 = readNifti(path("t2.nii"));
    ASSERT_TRUE(n1 && n2);
    const std::vector<float> a = valuesOf(*n1), b = valuesOf(*n2);
    ASSERT_EQ(a.size(), b.size());

    // Over the head (either image non-zero).
    std::vector<size_t> head;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] > 1.0f || b[i] > 1.0f) head.push_back(i);
    ASSERT_GT(head.size(), a.size() / 10);

    // Pearson correlation: far from +-1, so no linear map takes one to the other.
    double ma = 0, mb = 0;
    for (size_t i : head) ma += a[i], mb += b[i];
    ma /= head.size();
    mb /= head.size();
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i : head) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    const double r = sab / std::sqrt(saa * sbb);
    EXPECT_LT(std::fabs(r), 0.5) << "r = " << r;

    // Correlation ratio of T2 given T1 in 64 bins: well above r^2, so much more of T2 is
    // a function of T1 than a linear one explains (partial-volume voxels, where two
    // tissues mix in different proportions, keep it from 1).
    const int bins = 64;
    std::vector<double> s(bins), q(bins), cnt(bins);
    for (size_t i : head) {
        const int k = std::clamp((int)(a[i] / 256.0f * bins), 0, bins - 1);
        s[k] += b[i];
        q[k] += (double)b[i] * b[i];
        cnt[k] += 1;
    }
    double within = 0;
    for (int k = 0; k < bins; ++k)
        if (cnt[k] > 0) within += q[k] - s[k] * s[k] / cnt[k];
    const double eta2 = 1.0 - within / sbb;
    EXPECT_GT(eta2, 0.45) << "correlation ratio " << eta2;
    EXPECT_GT(eta2, r * r + 0.25) << "correlation ratio " << eta2 << ", r " << r;

    // The contrasts are the named ones: deep white matter (the head centre) is the
    // brightest tissue in T1, and far darker than the brightest (CSF) in T2.
    const size_t centre = ((size_t)36 * 80 + 40) * 72 + 36;
    EXPECT_GE(a[centre], 0.99f * *std::max_element(a.begin(), a.end()));
    EXPECT_LT(b[centre], 0.5f * *std::max_element(b.begin(), b.end()));
}

TEST_F(PhantomTest, NoiseIsDeterminedByTheSeed) {
    const std::string args = " --grid 48 56 48 --voxel 3 3 3 --noise 4";
    ASSERT_EQ(phantom("--out " + path("a.nii") + args + " --seed 7"), 0);
    ASSERT_EQ(phantom("--out " + path("b.nii") + args + " --seed 7"), 0);
    ASSERT_EQ(phantom("--out " + path("c.nii") + args + " --seed 8"), 0);
    ASSERT_EQ(phantom("--out " + path("d.nii") + " --grid 48 56 48 --voxel 3 3 3"), 0);
    const std::string a = fileBytes(path("a.nii"));
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, fileBytes(path("b.nii")));
    EXPECT_NE(a, fileBytes(path("c.nii")));
    EXPECT_NE(a, fileBytes(path("d.nii")));
}

// The moved head holds head(A^-1 y): a head point x (mm from the grid centre) lands at
// y = A x, so the intensity centroid moves the same way.
TEST_F(PhantomTest, AffineMovesTheHeadAboutTheGridCentre) {
    const int n[3] = {60, 84, 72};
    const float d[3] = {2.0f, 1.5f, 1.75f};
    const std::string grid = " --grid 60 84 72 --voxel 2 1.5 1.75 --head-length 100";
    ASSERT_EQ(phantom("--out " + path("base.nii") + grid), 0);
    VolumePtr base = loadVolume(path("base.nii").c_str(), &cpu());
    ASSERT_TRUE(base);

    struct Case {
        const char* params;
        float tolMm;
    };
    const Case cases[] = {
        {"0 0 0 6 -4 3 1 1 1 0 0 0", 0.05f},       // pure translation: moves by t exactly
        {"10 -6 20 3 2 -5 1 1 1 0 0 0", 0.15f},    // rotations act about the grid centre
        {"0 0 0 0 0 0 1.08 0.95 1 0.05 0 0", 0.15f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params);
        ASSERT_EQ(phantom("--out " + path("moved.nii") + grid + " --affine " + c.params), 0);
        VolumePtr moved = loadVolume(path("moved.nii").c_str(), &cpu());
        ASSERT_TRUE(moved);

        TransformParams p;
        std::istringstream in(c.params);
        for (int k = 0; k < 12; ++k) in >> p[k];
        Matrix a;
        composeAffine(p, a, 1, 1, 1);
        double x[3], want[3];
        for (int r = 0; r < 3; ++r) x[r] = (base->center[r] - (n[r] - 1) * 0.5) * d[r];
        for (int r = 0; r < 3; ++r) {
            want[r] = a.data[4 * r + 3];
            for (int k = 0; k < 3; ++k) want[r] += a.data[4 * r + k] * x[k];
        }
        // An affine map carries the centroid along (its Jacobian is the same everywhere).
        for (int r = 0; r < 3; ++r) {
            const double got = (moved->center[r] - (n[r] - 1) * 0.5) * d[r];
            EXPECT_NEAR(got, want[r], c.tolMm) << "axis " << r;
        }
    }
}

}  // namespace
