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
#include "volume/storedimage.h"

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

// Phantom heads in a scratch folder: the fixed one (T1, 100 mm on 2 mm voxels) and moved
// copies.
class PhantomDir {
public:
    PhantomDir() : dir_(std::filesystem::temp_directory_path() / ("tarvo_wide_" + std::to_string(getpid()))) {
        std::filesystem::create_directories(dir_);
    }
    ~PhantomDir() { std::filesystem::remove_all(dir_); }
    VolumePtr make(const std::string& name, const std::string& args) const {
        const std::string path = (dir_ / name).string();
        const std::string cmd = std::string(PHANTOM_BIN) + " --out " + path +
                                " --contrast t1 --head-length 100 " + args + " >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0 ? loadVolume(path.c_str()) : nullptr;
    }

private:
    std::filesystem::path dir_;
};

TEST(WideSearchPhantomSlow, FindsFarTurnsThatTheStandardSearchMisses) {
    const PhantomDir dir;
    VolumePtr ref = dir.make("ref.nii", "--voxel 2 2 2 --grid 60 60 60");
    if (!ref) GTEST_SKIP() << "the phantom tool cannot write volumes";
    for (const Turned& t : kTurns) {
        VolumePtr src = dir.make("src.nii", std::string("--voxel 2 2 2 --grid 72 72 72 --affine ") + t.affine);
        ASSERT_TRUE(src);
        const SearchLogTo quiet(nullptr);
        PipelineOptions opts = PipelineOptions::registerDefaults();
        opts.search = SearchKind::Wide;
        opts.precision = false;  // the searches' own answers
        const PipelineResult wide = runPipeline(*src, *ref, opts);
        opts.search = SearchKind::Standard;
        const PipelineResult standard = runPipeline(*src, *ref, opts);
        double wideScale = 0.0, standardScale = 0.0;
        EXPECT_LT(turnError(wide.world, t.affine, wideScale), 3.0) << t.name;
        EXPECT_LT(wideScale, 0.03) << t.name;
        EXPECT_GT(turnError(standard.world, t.affine, standardScale), 10.0) << t.name;
    }
}

// Voxels other than the fixed image's put the level starts off the plain one; the search
// must still mean one transform on every level, or a far turn about a centre that moves
// between levels costs millimetres (2.4 mm mean, 7 mm at worst, before it turned about
// one point).
TEST(WideSearchPhantomSlow, FarTurnOnOtherVoxelsIsFoundToATenthOfTheVoxel) {
    const PhantomDir dir;
    VolumePtr ref = dir.make("ref.nii", "--voxel 2 2 2 --grid 60 60 60");
    if (!ref) GTEST_SKIP() << "the phantom tool cannot write volumes";
    const char* affine = kTurns[1].affine;
    VolumePtr src = dir.make("src.nii", std::string("--voxel 3 2.5 2.5 --grid 60 72 72 --affine ") + affine);
    ASSERT_TRUE(src);
    const SearchLogTo quiet(nullptr);
    PipelineOptions opts = PipelineOptions::registerDefaults();
    opts.search = SearchKind::Wide;
    opts.precision = false;  // the search's own answer
    const PipelineResult wide = runPipeline(*src, *ref, opts);
    TransformParams truth;
    std::istringstream in(affine);
    for (int k = 0; k < 12; ++k) in >> truth[k];
    Matrix t;
    composeAffine(truth, t, 1.0f, 1.0f, 1.0f);
    // The largest shift over a box about the head (phantom heads sit at the world origin).
    double worst = 0.0;
    for (int corner = 0; corner < 8; ++corner) {
        const double x[3] = {corner & 1 ? 40.0 : -40.0, corner & 2 ? 50.0 : -50.0, corner & 4 ? 40.0 : -40.0};
        double d2 = 0.0;
        for (int r = 0; r < 3; ++r) {
            double e = wide.world.a[r][3] - (double)t.data[4 * r + 3];
            for (int c = 0; c < 3; ++c) e += (wide.world.a[r][c] - (double)t.data[4 * r + c]) * x[c];
            d2 += e * e;
        }
        worst = std::fmax(worst, std::sqrt(d2));
    }
    EXPECT_LT(worst, 1.0);
}

// A head much larger than the other (as a head with its skull is against a brain), turned,
// on other voxels, in another contrast, over noise: its size relative to the other's comes
// out in millimetres.
TEST(WideSearchPhantom, HeadSizeRatioIsInMillimetres) {
    const PhantomDir dir;
    VolumePtr ref = dir.make("ref.nii", "--voxel 2 2 2 --grid 60 60 60 --noise 3 --datatype 4");
    if (!ref) GTEST_SKIP() << "the phantom tool cannot write volumes";
    VolumePtr src = dir.make("src.nii", "--voxel 3 2.5 2.5 --grid 60 72 72 --contrast t2 --noise 3 --seed 2 "
                                        "--affine 150 40 -30 -5 3 2 1.25 1.25 1.25 0 0 0");
    ASSERT_TRUE(src);
    EXPECT_NEAR(headSizeRatio(*src, worldGridOf(*src), nullptr, *ref, worldGridOf(*ref), nullptr), 1.25, 0.02);
    EXPECT_NEAR(headSizeRatio(*ref, worldGridOf(*ref), nullptr, *src, worldGridOf(*src), nullptr), 0.8, 0.015);
}

}  // namespace
