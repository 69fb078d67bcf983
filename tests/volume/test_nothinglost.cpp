// Damaged files are refused wherever they are cut, a set of outputs is put in place whole
// or not at all, background outside MOVING is exactly 0, and images or masks with nothing
// to register are refused.
#include <cmath>
#include <fstream>
#include <iterator>

#include "registration/outputs.h"
#include "support/imagefiles.h"
#include "volume/inputs.h"
#include "volume/physicalimage.h"
#include "volume/resample.h"
#include "volume/stagedfiles.h"
#include "volume/storedimage.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void spit(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), (std::streamsize)bytes.size());
}

class NothingLost : public ImageFile {
protected:
    VolumePtr load(const std::string& name, std::string& error) {
        LoadOptions o;
        o.device = &cpu();
        o.warnings = &warnings_;
        return loadImage(path(name).c_str(), error, o);
    }
    std::vector<std::string> warnings_;
};

const Grid kGrid{12, 10, 8};

std::vector<float> ramp(float low, float step) {
    std::vector<float> v((size_t)kGrid.x * kGrid.y * kGrid.z);
    for (size_t i = 0; i < v.size(); ++i) v[i] = low + step * (float)((i * 37) % v.size());
    return v;
}

TEST_F(NothingLost, AGzipImageCutAnywhereIsRefusedByBothReaders) {
    writeImage(path("whole.nii.gz"), DT_FLOAT32, kGrid, ramp(-5.0f, 0.25f));
    const std::string whole = slurp(path("whole.nii.gz"));
    ASSERT_TRUE(isGzip(path("whole.nii.gz")));
    std::string error;
    ASSERT_NE(load("whole.nii.gz", error), nullptr) << error;
    // Every length short of the whole: the header, the voxels, the 8-byte trailer.
    int accepted = 0;
    for (size_t keep = 0; keep < whole.size(); ++keep) {
        spit(path("cut.nii.gz"), whole.substr(0, keep));
        error.clear();
        if (load("cut.nii.gz", error)) ++accepted;
    }
    EXPECT_EQ(accepted, 0);
    // The original commands' loader reads through the same reader.
    spit(path("cut.nii.gz"), whole.substr(0, whole.size() - 4));
    EXPECT_NE(loadFails(path("cut.nii.gz")).find("is truncated or its data cannot be read"), std::string::npos);
}

TEST_F(NothingLost, AGzipStreamIsCheckedToItsEnd) {
    writeImage(path("whole.nii.gz"), DT_INT16, kGrid, std::vector<int16_t>(960, 300));
    const std::string whole = slurp(path("whole.nii.gz"));
    std::string error;
    // A damaged CRC (the trailer's first four bytes).
    std::string crc = whole;
    crc[crc.size() - 8] ^= 0x55;
    spit(path("crc.nii.gz"), crc);
    EXPECT_EQ(load("crc.nii.gz", error), nullptr);
    EXPECT_NE(error.find("crc.nii.gz"), std::string::npos) << error;
    // Something else after the stream.
    spit(path("garbage.nii.gz"), whole + "trailing");
    EXPECT_EQ(load("garbage.nii.gz", error), nullptr);
    // Zero padding after it, and a second member, are how tools may write a stream.
    spit(path("padded.nii.gz"), whole + std::string(512, '\0'));
    error.clear();
    EXPECT_NE(load("padded.nii.gz", error), nullptr) << error;
}

TEST_F(NothingLost, AFailedSetOfOutputsLeavesTheEarlierOnesAsTheyWere) {
    writeImage(path("m.nii.gz"), DT_FLOAT32, kGrid, ramp(1.0f, 0.5f));
    std::string error;
    VolumePtr m = load("m.nii.gz", error);
    ASSERT_NE(m, nullptr) << error;
    PipelineResult res;
    res.ran = true;
    res.world = Affine::translation(1, 0, 0);
    RegistrationFiles files{path("o.nii.gz"), path("o_affine.txt"), path("o_itk.txt"), path("o.png"), {}};
    Affine world;
    ASSERT_TRUE(writeRegistration(res, *m, *m, files, world, error)) << error;
    std::vector<std::string> before;
    for (const std::string* f : {&files.image, &files.matrix, &files.itk, &files.qc}) before.push_back(slurp(*f));
    const size_t fileCount = this->files().size();

    // Another transform, and a picture that cannot be written: nothing changes.
    res.world = Affine::translation(2, 0, 0);
    RegistrationFiles failing = files;
    failing.qc = path("missing-folder/o.png");
    EXPECT_FALSE(writeRegistration(res, *m, *m, failing, world, error));
    size_t k = 0;
    for (const std::string* f : {&files.image, &files.matrix, &files.itk, &files.qc})
        EXPECT_EQ(slurp(*f), before[k++]) << *f;
    EXPECT_EQ(this->files().size(), fileCount);  // no temporary left behind

    // When all can be written, all are replaced.
    ASSERT_TRUE(writeRegistration(res, *m, *m, files, world, error)) << error;
    EXPECT_NE(slurp(files.matrix), before[1]);
    EXPECT_NE(slurp(files.image), before[0]);
}

TEST_F(NothingLost, StagedFilesAppearOnlyAtCommit) {
    {
        StagedFiles staged;
        std::ofstream(staged.add(path("a.txt"))) << "a";
        EXPECT_FALSE(fs::exists(path("a.txt")));
    }
    EXPECT_TRUE(files().empty());  // an uncommitted set leaves nothing
    StagedFiles staged;
    std::ofstream(staged.add(path("a.txt"))) << "a";
    std::ofstream(staged.add(path("b.txt"))) << "b";
    ASSERT_TRUE(staged.commit());
    EXPECT_EQ(slurp(path("a.txt")), "a");
    EXPECT_EQ(slurp(path("b.txt")), "b");
    EXPECT_EQ(files().size(), 2u);
}

// Positions beyond MOVING read as physical 0, whatever the image's range.
TEST_F(NothingLost, BackgroundOutsideMovingIsExactlyZero) {
    struct Case {
        const char* name;
        std::vector<float> values;
    } cases[] = {{"positive.nii", ramp(100.0f, 0.37f)},
                 {"negative.nii", ramp(-26.35f, 0.11f)},
                 {"constant.nii", std::vector<float>(960, 7.5f)},
                 {"constantbelow.nii", std::vector<float>(960, -3.0f)}};
    for (const Case& c : cases) {
        writeImage(path(c.name), DT_FLOAT32, kGrid, c.values);
        std::string error;
        VolumePtr v = load(c.name, error);
        ASSERT_NE(v, nullptr) << error;
        // Half the grid beyond MOVING along x.
        VolumePtr out = resampleWorld(*v, *v, Affine::translation(6.0 * kGrid.dx, 0, 0), false);
        const std::vector<float> phys = physicalValues(*out);
        const std::vector<float> src = physicalValues(*v);
        for (int k = 0; k < kGrid.z; ++k)
            for (int j = 0; j < kGrid.y; ++j)
                for (int i = 0; i < kGrid.x; ++i) {
                    const size_t at = ((size_t)k * kGrid.y + j) * kGrid.x + i;
                    if (i >= 7) {
                        EXPECT_EQ(phys[at], 0.0f) << c.name << " at " << i;
                    } else if (i < 5) {
                        EXPECT_NEAR(phys[at], src[at + 6], 1e-3f * std::fabs(src[at + 6]) + 1e-4f) << c.name;
                    }
                }
    }
}

TEST_F(NothingLost, ImagesAndMasksWithNothingToRegisterAreRefused) {
    std::string error;
    writeImage(path("ramp.nii"), DT_FLOAT32, kGrid, ramp(0.0f, 1.0f));
    writeImage(path("flat.nii"), DT_FLOAT32, kGrid, std::vector<float>(960, 4.0f));
    writeImage(path("zero.nii"), DT_UINT8, kGrid, std::vector<uint8_t>(960, 0));
    VolumePtr r = load("ramp.nii", error), flat = load("flat.nii", error), zero = load("zero.nii", error);
    ASSERT_TRUE(r && flat && zero) << error;
    EXPECT_TRUE(registrable(*r, nullptr, "ramp", error)) << error;
    EXPECT_FALSE(registrable(*flat, nullptr, "flat", error));
    EXPECT_NE(error.find("every voxel is 4"), std::string::npos) << error;
    EXPECT_FALSE(registrable(*zero, nullptr, "zero", error));

    // Masks: too few voxels inside, and an image constant inside a fair one.
    Grid big{16, 16, 16};
    std::vector<uint8_t> m(4096, 0);
    for (size_t i = 0; i < 999; ++i) m[i] = 1;
    writeImage(path("few.nii"), DT_UINT8, big, m);
    m[999] = 1;
    writeImage(path("enough.nii"), DT_UINT8, big, m);
    std::vector<float> half(4096, 10.0f);
    for (size_t i = 2048; i < half.size(); ++i) half[i] = 20.0f;
    writeImage(path("half.nii"), DT_FLOAT32, big, half);
    VolumePtr h = load("half.nii", error);
    ASSERT_NE(h, nullptr) << error;
    EXPECT_EQ(loadMask(path("few.nii"), *h, "half", error), nullptr);
    EXPECT_NE(error.find("only 999 voxels inside"), std::string::npos) << error;
    VolumePtr mask = loadMask(path("enough.nii"), *h, "half", error);
    ASSERT_NE(mask, nullptr) << error;
    EXPECT_FALSE(registrable(*h, mask.get(), "half", error));  // all 10 inside
    EXPECT_NE(error.find("inside its mask"), std::string::npos) << error;
    EXPECT_TRUE(registrable(*h, nullptr, "half", error));
}

}  // namespace
