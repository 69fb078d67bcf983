// The transform-distance tool, through its command line, on phantom pairs whose true
// transform is known: the matrices it is given are built here from the parameters and
// the loader's centroids, independently of the tool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "device/device.h"
#include "geometry/matrix.h"
#include "geometry/transform.h"
#include "volume/storedimage.h"

namespace fs = std::filesystem;

namespace {

const char* kTruth = "8 -5 12 4 -3 6 1.04 0.97 1.0 0.02 0 0";

struct Result {
    int status = -1;
    double mean = -1, max = -1;
    size_t voxels = 0;
    std::string err;
};

class XfdistTest : public ::testing::Test {
protected:
    // Reference: unmoved T1 head, 2 mm voxels. Source: T2 head moved by kTruth on a
    // grid of another size and anisotropic voxels. Made once for the suite.
    static void SetUpTestSuite() {
        dir_ = new fs::path(fs::temp_directory_path() / ("tarvo_xfdist_" + std::to_string(getpid())));
        fs::remove_all(*dir_);
        fs::create_directories(*dir_);
        const std::string ph = PHANTOM_BIN;
        const std::string common = " --head-length 110 >/dev/null 2>&1";
        ok_ = std::system((ph + " --out " + path("ref.nii") +
                           " --contrast t1 --grid 64 72 60 --voxel 2 2 2" + common).c_str()) == 0 &&
              std::system((ph + " --out " + path("src.nii") +
                           " --contrast t2 --grid 80 90 70 --voxel 1.5 1.6 1.8 --datatype 4 --affine " +
                           kTruth + common).c_str()) == 0;
    }
    static void TearDownTestSuite() {
        fs::remove_all(*dir_);
        delete dir_;
    }
    void SetUp() override { ASSERT_TRUE(ok_) << "phantom could not write the pair"; }

    static std::string path(const std::string& name) { return (*dir_ / name).string(); }

    static Result xfdist(const std::string& args) {
        const std::string out = path("out.txt"), err = path("err.txt");
        const int rc = std::system((std::string(XFDIST_BIN) + " " + args + " >" + out + " 2>" + err).c_str());
        Result r;
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        std::ifstream e(err);
        r.err.assign(std::istreambuf_iterator<char>(e), {});
        std::ifstream f(out);
        std::string line;
        std::getline(f, line);
        if (std::sscanf(line.c_str(), "mean %lf mm, max %lf mm, voxels %zu", &r.mean, &r.max, &r.voxels) != 3)
            r.mean = r.max = -1;
        return r;
    }

    // The matrix M that sends reference voxel offsets p (from the reference centroid, in
    // reference voxels) to q, whose resampled reading s = q*refVox/srcVox + srcCenter
    // shows the source at index s - 0.5 (the texture places voxel i at i + 0.5): the
    // matrix a perfect registration would find. `shift` is added to its translation
    // column (reference voxels).
    static void writeTrueInverse(const std::string& file, const double shift[3] = nullptr) {
        std::unique_ptr<Device> dev = makeCpuDevice(1);
        VolumePtr ref = loadVolume(path("ref.nii").c_str(), dev.get());
        VolumePtr src = loadVolume(path("src.nii").c_str(), dev.get());
        ASSERT_TRUE(ref && src);
        TransformParams p;
        std::istringstream in(kTruth);
        for (int k = 0; k < 12; ++k) in >> p[k];
        Matrix a;
        composeAffine(p, a, 1, 1, 1);
        const double rv[3] = {ref->dx, ref->dy, ref->dz}, sv[3] = {src->dx, src->dy, src->dz};
        const double rg[3] = {(ref->x - 1) / 2.0, (ref->y - 1) / 2.0, (ref->z - 1) / 2.0};
        const double sg[3] = {(src->x - 1) / 2.0, (src->y - 1) / 2.0, (src->z - 1) / 2.0};
        // True: source index = (A ((v - rg) * rv)) / sv + sg with v = p + refCenter.
        double m[16] = {0};
        m[15] = 1;
        for (int r = 0; r < 3; ++r) {
            double t = a.data[4 * r + 3];
            for (int c = 0; c < 3; ++c) {
                m[4 * r + c] = a.data[4 * r + c] * rv[c] / rv[r];
                t += a.data[4 * r + c] * (ref->center[c] - rg[c]) * rv[c];
            }
            m[4 * r + 3] = t / rv[r] + (sg[r] + 0.5 - src->center[r]) * sv[r] / rv[r] +
                           (shift ? shift[r] : 0.0);
        }
        float mf[16];
        for (int i = 0; i < 16; ++i) mf[i] = (float)m[i];
        Matrix mm(mf), inv;
        inverse(mm, inv);
        FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_TRUE(f);
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) std::fprintf(f, "%f ", (double)inv.data[4 * r + c]);
            std::fprintf(f, "\n");
        }
        std::fclose(f);
    }

    static std::string args(const std::string& testTxt) {
        return path("src.nii") + " " + path("ref.nii") + " " + testTxt + " " + kTruth;
    }

    static fs::path* dir_;
    static bool ok_;
};

fs::path* XfdistTest::dir_ = nullptr;
bool XfdistTest::ok_ = false;

TEST_F(XfdistTest, TheTrueTransformIsAtZeroDistance) {
    writeTrueInverse(path("true.txt"));
    const Result r = xfdist(args(path("true.txt")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.mean, 0.01);
    EXPECT_LT(r.max, 0.03);
    EXPECT_GT(r.voxels, 10000u);

    // --raw reads M's position as an index, so the texture's half voxel shows as the
    // length of half a source voxel on each axis, everywhere.
    const Result raw = xfdist(args(path("true.txt")) + " --raw");
    ASSERT_EQ(raw.status, 0) << raw.err;
    const double half = 0.5 * std::sqrt(1.5 * 1.5 + 1.6 * 1.6 + 1.8 * 1.8);
    EXPECT_NEAR(raw.mean, half, 0.01);
    EXPECT_NEAR(raw.max, half, 0.03);
    EXPECT_EQ(raw.voxels, r.voxels);
}

TEST_F(XfdistTest, ATranslationErrorShowsAsItsLengthInMillimetres) {
    // Reference voxels are 2 mm: (1, -0.5, 0.25) voxels is (2, -1, 0.5) mm.
    const double shift[3] = {1.0, -0.5, 0.25};
    writeTrueInverse(path("shifted.txt"), shift);
    const Result r = xfdist(args(path("shifted.txt")));
    ASSERT_EQ(r.status, 0) << r.err;
    const double want = std::sqrt(4.0 + 1.0 + 0.25);
    EXPECT_NEAR(r.mean, want, 0.01);
    EXPECT_NEAR(r.max, want, 0.03);

    // A higher threshold counts fewer voxels, at the same uniform distance.
    const Result fewer = xfdist(args(path("shifted.txt")) + " --threshold 150");
    ASSERT_EQ(fewer.status, 0) << fewer.err;
    EXPECT_LT(fewer.voxels, r.voxels);
    EXPECT_GT(fewer.voxels, 0u);
    EXPECT_NEAR(fewer.mean, want, 0.01);
}

// Loading normalises an int16 or float image by its extremes, so noise lifts the air off
// zero; the head is still the head.
TEST_F(XfdistTest, TheHeadMaskStandsClearOfANoisyBackground) {
    ASSERT_EQ(std::system((std::string(PHANTOM_BIN) + " --out " + path("noisy.nii") +
                           " --contrast t1 --grid 64 72 60 --voxel 2 2 2 --head-length 110 --datatype 4"
                           " --noise 3 --seed 4 >/dev/null 2>&1").c_str()),
              0);
    writeTrueInverse(path("true.txt"));
    const Result clean = xfdist(args(path("true.txt")));
    const Result noisy = xfdist(path("src.nii") + " " + path("noisy.nii") + " " + path("true.txt") + " " + kTruth);
    ASSERT_EQ(clean.status, 0) << clean.err;
    ASSERT_EQ(noisy.status, 0) << noisy.err;
    EXPECT_NEAR((double)noisy.voxels, (double)clean.voxels, 0.05 * clean.voxels);
}

TEST_F(XfdistTest, BadInputEndsWithStatusOne) {
    writeTrueInverse(path("true.txt"));
    {
        std::ofstream f(path("short.txt"));
        f << "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0\n";
    }
    {
        std::ofstream f(path("singular.txt"));
        f << "1 0 0 0\n0 0 0 0\n0 0 1 0\n0 0 0 1\n";
    }
    const std::string src = path("src.nii"), ref = path("ref.nii");
    for (const std::string& a : {
             src + " " + ref + " " + path("missing.txt") + " " + kTruth,
             src + " " + ref + " " + path("short.txt") + " " + kTruth,
             src + " " + ref + " " + path("singular.txt") + " " + kTruth,
             path("nothere.nii") + " " + ref + " " + path("true.txt") + " " + kTruth,
             src + " " + ref + " " + path("true.txt") + " 8 -5 12 4 -3 6 1.04 0.97 1.0 0.02 0",
             src + " " + ref + " " + path("true.txt") + " 8 -5 12 4 -3 6 1.04 0.97 1.0 0.02 0 x",
             src + " " + ref + " " + path("true.txt") + " " + kTruth + " --threshold 300",
         }) {
        SCOPED_TRACE(a);
        const Result r = xfdist(a);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("xfdist:"), std::string::npos);
    }
}

}  // namespace
