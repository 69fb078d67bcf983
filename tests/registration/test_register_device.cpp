// The cost over parameters on the chosen backend, and a whole registration of a
// phantom pair of different contrasts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "device/costfunction.h"
#include "device/device.h"
#include "registration/cost.h"
#include "registration/originalsearch.h"
#include "support/testvolumes.h"
#include "volume/storedimage.h"
#include "volume/resample.h"

namespace {

// A few nested blobs of distinct intensities: enough structure for the cost.
VolumePtr blobs(Device& dev) {
    VolumePtr v = volumeOf(dev, 32, 32, 32, [](int i, int j, int k) {
        float dx = (float)i - 15.5f, dy = (float)j - 14.0f, dz = (float)k - 16.5f;
        float r = std::sqrt(dx * dx + 1.4f * dy * dy + 0.8f * dz * dz);
        if (r < 5) return 220.0f;
        if (r < 9) return 140.0f + 3.0f * (float)i;
        if (r < 13) return 60.0f;
        return 0.0f;
    });
    v->center[0] = 15.5f;
    v->center[1] = 14.0f;
    v->center[2] = 16.5f;
    v->stage = 1;
    return v;
}

// The counters are thread-locals read through their TLS wrappers, which GCC 12's UBSan
// takes for null pointers in this file.
__attribute__((no_sanitize_undefined)) int evaluations() { return globalCount; }
__attribute__((no_sanitize_undefined)) float crTime() { return crTotalTime; }

TEST(ParamsCost, CountsEveryEvaluationAndBatchesAgree) {
    Device& dev = device();
    VolumePtr src = blobs(dev), ref = blobs(dev);
    initCorrelationRatio(*src, *ref);

    const int before = evaluations();
    TransformParams id;
    const float same = paramsCost(*src, *ref, id);
    EXPECT_LT(same, -0.95f);
    EXPECT_GE(same, -1.0f);
    TransformParams away;
    away[3] = 79.0f;
    away[4] = -79.0f;
    EXPECT_EQ(paramsCost(*src, *ref, away), 0.0f);
    EXPECT_EQ(evaluations(), before + 2);

    std::vector<TransformParams> sets(7);
    for (int i = 0; i < 7; ++i) {
        sets[i][0] = 6.0f * (float)i;
        sets[i][4] = -1.5f * (float)i;
        sets[i][6] = 0.95f + 0.02f * (float)i;
    }
    sets[6] = away;
    std::vector<float> batch(7);
    const float timeBefore = crTime();
    paramsCostBatch(*src, *ref, sets.data(), 7, batch.data());
    EXPECT_EQ(evaluations(), before + 9);
    EXPECT_GE(crTime(), timeBefore);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(batch[i], paramsCost(*src, *ref, sets[i])) << i;
    EXPECT_EQ(evaluations(), before + 16);
    freeCorrelationRatio();
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

// The phantom tool writes a head moved by composeAffine(params) about its grid centre
// g: the source holds head(A^-1 y). The registration maps a reference voxel x to
// c_src + M (x - c_ref), so the same rotation, scale and skew, and the translation
// g + R (c_ref - g) + t - c_src, all in 1 mm voxels.
TransformParams expectedParams(const TransformParams& moved, const Volume& src, const Volume& ref) {
    TransformParams p = moved;
    TransformParams linear = moved;
    linear[3] = linear[4] = linear[5] = 0.0f;
    Matrix m;
    composeAffine(linear, m, 1.0f, 1.0f, 1.0f);
    const float g[3] = {(float)(src.x - 1) / 2, (float)(src.y - 1) / 2, (float)(src.z - 1) / 2};
    for (int a = 0; a < 3; ++a) {
        float v = g[a] + moved[3 + a] - src.center[a];
        for (int b = 0; b < 3; ++b) v += m.data[4 * a + b] * (ref.center[b] - g[b]);
        p[3 + a] = v;
    }
    return p;
}

TEST(RegisterPhantomSlow, RecoversAMovedHeadAcrossContrasts) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tarvo_register_" + std::to_string(getpid()));
    fs::create_directories(dir);
    auto phantom = [&](const char* name, const char* contrast, const char* affine) {
        std::string cmd = std::string(PHANTOM_BIN) + " --out " + (dir / name).string() +
                          " --contrast " + contrast + " --grid 128 128 128 --head-length 128" +
                          (affine ? std::string(" --affine ") + affine : "") + " >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0;
    };
    const char* affine = "10 -5 8 4 -3 2 1 1 1 0 0 0";
    if (!phantom("ref.nii", "t1", nullptr) || !phantom("src.nii", "t2", affine) ||
        !phantom("still.nii", "t2", nullptr)) {
        fs::remove_all(dir);
        GTEST_SKIP() << "the phantom tool cannot write volumes";
    }
    VolumePtr ref = loadVolume((dir / "ref.nii").c_str());
    VolumePtr src = loadVolume((dir / "src.nii").c_str());
    VolumePtr still = loadVolume((dir / "still.nii").c_str());
    fs::remove_all(dir);
    ASSERT_TRUE(ref && src && still);

    const int before = evaluations();
    TransformParams result;
    testing::internal::CaptureStdout();
    registerVolumes(result, *src, *ref);
    const std::string out = testing::internal::GetCapturedStdout();

    // The printed lines, in order.
    std::vector<std::string> l = lines(out);
    auto at = [&](const std::string& text) {
        return std::find(l.begin(), l.end(), text) - l.begin();
    };
    const long l8 = at("========= 8mm ==========="), l4 = at("========= 4mm ==========="),
               l2 = at("========= 2mm ==========="), l1 = at("========= 1mm ===========");
    ASSERT_LT(l1, (long)l.size());
    EXPECT_EQ(l[0], "");
    EXPECT_EQ(l8, 1);
    EXPECT_EQ(l4, l8 + 6);  // three candidates, MedianScale, blank line
    EXPECT_EQ(l[l4 + 1].rfind("0:rotation(", 0), 0u);
    EXPECT_EQ(l2, l4 + 3);
    EXPECT_EQ(l[l2 + 3].rfind("12 DOF 2mm:", 0), 0u);
    EXPECT_EQ(l1, l2 + 5);
    EXPECT_EQ(l[l1 + 1].rfind("12 DOF 1mm:Rotate:(", 0), 0u);
    int printed = -1;
    ASSERT_NE(out.find("registration time (without data read and write) used: "),
              std::string::npos);
    ASSERT_EQ(std::sscanf(out.c_str() + out.find(",global count is: "), ",global count is: %d",
                          &printed),
              1);
    EXPECT_EQ(printed, evaluations());
    EXPECT_GT(evaluations() - before, 8000 + 2 * (343 * 8 + 544));
    EXPECT_NE(out.find("\n\n total time for CR Calculation: "), std::string::npos);

    // The search reaches at least the cost of the true transform at 1 mm...
    float value = 0.0f;
    ASSERT_EQ(std::sscanf(out.c_str() + out.rfind(",value is:"), ",value is:%f", &value), 1);
    VolumePtr src1 = isotropicResample(*src, 1, 1, 1), ref1 = isotropicResample(*ref, 1, 1, 1);
    TransformParams moved;
    std::istringstream(affine) >> moved[0] >> moved[1] >> moved[2] >> moved[3] >> moved[4] >>
        moved[5];
    const TransformParams truth = expectedParams(moved, *src1, *ref1);
    src1->stage = ref1->stage = 4;
    initCorrelationRatio(*src1, *ref1);
    const float truthCost = paramsCost(*src1, *ref1, truth);
    EXPECT_NEAR(paramsCost(*src1, *ref1, result), value, 2e-6f);
    freeCorrelationRatio();
    EXPECT_LT(value, truthCost + 0.005f);

    // ... close to it in every parameter.
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(result[k], truth[k], 3.0f) << k;
    for (int k = 3; k < 6; ++k) EXPECT_NEAR(result[k], truth[k], 1.5f) << k;
    for (int k = 6; k < 9; ++k) EXPECT_NEAR(result[k], 1.0f, 0.03f) << k;
    for (int k = 9; k < 12; ++k) EXPECT_NEAR(result[k], 0.0f, 0.03f) << k;

    // And the source resampled through the result lies where the unmoved head lies.
    Matrix m;
    composeAffine(result, m, ref->dx, ref->dy, ref->dz);
    VolumePtr back = transformVolume(*src, *ref, m);
    std::vector<float> a = contents(*back), b = contents(*still), c = contents(*src);
    double after = 0, beforeReg = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        after += std::fabs(a[i] - b[i]);
        beforeReg += std::fabs(c[i] - b[i]);
    }
    EXPECT_LT(after, 0.35 * beforeReg);
}

}  // namespace
