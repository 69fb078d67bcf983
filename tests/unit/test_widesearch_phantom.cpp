// Heads turned far from the reference: the wide search finds them, the standard one not.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "geometry/rotation.h"
#include "registration/register.h"
#include "volume/imagefile.h"

namespace {

struct Turned {
    const char* name;
    const char* affine;  // phantom --affine: the moved head point x lands at A x
};

// About 100, 150 and 180 degrees, about different axes, with a shift.
const Turned kTurns[] = {
    {"100 about x", "100 0 0 6 -4 3 1 1 1 0 0 0"},
    {"150 about a tilted axis", "150 40 -30 -5 3 2 1 1 1 0 0 0"},
    {"180 about z", "0 0 180 4 5 -3 1 1 1 0 0 0"},
};

double turnError(const TransformParams& found, const char* affine) {
    float truth[3];
    std::sscanf(affine, "%f %f %f", &truth[0], &truth[1], &truth[2]);
    return rotationGap(rotationOfAngles(found.rotation()), rotationOfAngles(truth));
}

TEST(WideSearchPhantomSlow, FindsFarTurnsThatTheStandardSearchMisses) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tarvo_wide_" + std::to_string(getpid()));
    fs::create_directories(dir);
    auto phantom = [&](const std::string& name, const std::string& args) {
        const std::string cmd = std::string(PHANTOM_BIN) + " --out " + (dir / name).string() +
                                " --contrast t1 --voxel 2 2 2 --head-length 100 " + args +
                                " >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0;
    };
    if (!phantom("ref.nii", "--grid 60 60 60")) {
        fs::remove_all(dir);
        GTEST_SKIP() << "the phantom tool cannot write volumes";
    }
    VolumePtr ref = loadVolume((dir / "ref.nii").c_str());
    ASSERT_TRUE(ref);
    for (const Turned& t : kTurns) {
        ASSERT_TRUE(phantom("src.nii", std::string("--grid 72 72 72 --affine ") + t.affine));
        VolumePtr src = loadVolume((dir / "src.nii").c_str());
        ASSERT_TRUE(src);
        TransformParams wide, standard;
        testing::internal::CaptureStdout();
        registerVolumesWide(wide, *src, *ref);
        registerVolumes(standard, *src, *ref);
        testing::internal::GetCapturedStdout();
        EXPECT_LT(turnError(wide, t.affine), 3.0) << t.name;
        EXPECT_GT(turnError(standard, t.affine), 10.0) << t.name;
        for (int k = 6; k < 9; ++k) EXPECT_NEAR(wide[k], 1.0f, 0.03f) << t.name;
    }
    fs::remove_all(dir);
}

}  // namespace
