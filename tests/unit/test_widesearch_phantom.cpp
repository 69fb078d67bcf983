// Heads turned far from the reference: the wide search finds them, the standard one not.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "geometry/rotation.h"
#include "registration/pipeline.h"
#include "registration/searchlog.h"
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

// How far the found world matrix turns from the true one (phantom heads sit at the world
// origin, so the truth is composeAffine of the parameters), and its largest scale error.
double turnError(const Affine& w, const char* affine, double& scaleError) {
    TransformParams truth;
    std::istringstream in(affine);
    for (int k = 0; k < 12; ++k) in >> truth[k];
    double a[12];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) a[4 * r + c] = w.a[r][c];
    TransformParams found;
    if (!decomposeAffine(a, found)) return 180.0;
    scaleError = 0.0;
    for (int k = 6; k < 9; ++k) scaleError = std::fmax(scaleError, std::fabs(found[k] - truth[k]));
    return rotationGap(rotationOfAngles(found.rotation()), rotationOfAngles(truth.rotation()));
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
        const SearchLogTo quiet(nullptr);
        PipelineOptions opts;
        opts.search = SearchKind::Wide;
        const PipelineResult wide = runPipeline(*src, *ref, opts);
        opts.search = SearchKind::Standard;
        const PipelineResult standard = runPipeline(*src, *ref, opts);
        double wideScale = 0.0, standardScale = 0.0;
        EXPECT_LT(turnError(wide.world, t.affine, wideScale), 3.0) << t.name;
        EXPECT_LT(wideScale, 0.03) << t.name;
        EXPECT_GT(turnError(standard.world, t.affine, standardScale), 10.0) << t.name;
    }
    fs::remove_all(dir);
}

}  // namespace
