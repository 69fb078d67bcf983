// Images for register/apply: every numeric datatype, slope and intercept, physical values
// on the way out. Test files are written by niftiio (imagefiles.h), not by the code here.
#include "support/imagefiles.h"
#include "volume/physicalimage.h"

namespace {

class PhysicalImage : public ImageFile {
protected:
    VolumePtr load(const std::string& name, std::vector<std::string>* warnings = nullptr) {
        std::string error;
        LoadOptions o;
        o.device = &cpu();
        o.warnings = warnings ? warnings : &warnings_;
        VolumePtr v = loadImage(path(name).c_str(), error, o);
        EXPECT_NE(v, nullptr) << error;
        return v;
    }
    std::string loadError(const std::string& name) {
        std::string error;
        LoadOptions o;
        o.device = &cpu();
        testing::internal::CaptureStdout();
        VolumePtr v = loadImage(path(name).c_str(), error, o);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(v, nullptr);
        EXPECT_EQ(error.find('\n'), std::string::npos);
        return error;
    }
    std::vector<std::string> warnings_;
};

const Grid kGrid{6, 5, 4};

// Physical values -300..(-300 + 2*119): even, so that every copy below holds them exactly.
std::vector<double> physicalRamp() {
    std::vector<double> v(120);
    for (size_t i = 0; i < v.size(); ++i) v[i] = -300.0 + 2.0 * (double)((i * 53) % 120);
    return v;
}

template <typename T>
std::vector<T> storedFor(const std::vector<double>& phys, double slope, double inter) {
    std::vector<T> out;
    for (double p : phys) out.push_back((T)((p - inter) / slope));
    return out;
}

template <typename T>
void writeScaled(const std::string& name, int datatype, const std::vector<T>& stored, float slope, float inter) {
    writeImage(name, datatype, kGrid, stored, false, [&](nifti_image& nim) {
        nim.scl_slope = slope;
        nim.scl_inter = inter;
    });
}

}  // namespace

TEST_F(PhysicalImage, EveryNumericTypeAndScalingLoadsToTheSameVolume) {
    const std::vector<double> phys = physicalRamp();
    writeImage(path("ref.nii"), DT_INT16, kGrid, storedFor<int16_t>(phys, 1, 0));
    writeImage(path("f64.nii"), DT_FLOAT64, kGrid, phys);
    writeImage(path("f32.nii.gz"), DT_FLOAT32, kGrid, storedFor<float>(phys, 1, 0));
    writeImage(path("i32.nii"), DT_INT32, kGrid, storedFor<int32_t>(phys, 1, 0));
    writeImage(path("i64.nii"), DT_INT64, kGrid, storedFor<int64_t>(phys, 1, 0));
    writeScaled(path("u16.nii"), DT_UINT16, storedFor<uint16_t>(phys, 1, -1000), 1, -1000);
    writeScaled(path("u32.nii"), DT_UINT32, storedFor<uint32_t>(phys, 1, -500), 1, -500);
    writeScaled(path("u64.nii"), DT_UINT64, storedFor<uint64_t>(phys, 1, -500), 1, -500);
    writeScaled(path("u8.nii"), DT_UINT8, storedFor<uint8_t>(phys, 2, -300), 2, -300);
    writeScaled(path("i8.nii"), DT_INT8, storedFor<int8_t>(phys, 2, -60), 2, -60);
    writeScaled(path("s16.nii"), DT_INT16, storedFor<int16_t>(phys, 0.5, 0), 0.5f, 0);

    VolumePtr ref = load("ref.nii");
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->minValue, -300.0f);
    EXPECT_EQ(ref->maxValue, -300.0f + 2 * 119);
    const std::vector<float> want = contents(*ref);
    // The same arithmetic as the six commands' loader for an unscaled int16 file.
    VolumePtr old = loadVolume(path("ref.nii").c_str(), &cpu());
    EXPECT_EQ(contents(*old), want);
    EXPECT_EQ(ref->center[0], old->center[0]);

    for (const char* name : {"f64.nii", "f32.nii.gz", "i32.nii", "i64.nii", "u16.nii", "u32.nii", "u64.nii", "u8.nii",
                             "i8.nii", "s16.nii"}) {
        SCOPED_TRACE(name);
        VolumePtr v = load(name);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(contents(*v), want);
        EXPECT_EQ(v->minValue, ref->minValue);
        EXPECT_EQ(v->maxValue, ref->maxValue);
        for (int a = 0; a < 3; ++a) EXPECT_EQ(v->center[a], ref->center[a]);
        // Saved back, each file holds its own type and scaling again, and integers their
        // stored values exactly (floats to rounding: they went through 0..255).
        nifti_image* orig = nullptr;
        nifti_image* back = nullptr;
        readBack<char>(path(name), &orig);
        std::string error;
        ASSERT_TRUE(saveImagePhysical(*v, path(std::string("out-") + name).c_str(), error)) << error;
        readBack<char>(path(std::string("out-") + name), &back);
        ASSERT_TRUE(orig && back);
        EXPECT_EQ(back->datatype, orig->datatype);
        EXPECT_EQ(back->scl_slope, orig->scl_slope);
        EXPECT_EQ(back->scl_inter, orig->scl_inter);
        if (orig->datatype == DT_FLOAT32)
            for (size_t i = 0; i < phys.size(); ++i) ASSERT_NEAR(((float*)back->data)[i], phys[i], 1e-4) << i;
        else if (orig->datatype == DT_FLOAT64)
            for (size_t i = 0; i < phys.size(); ++i) ASSERT_NEAR(((double*)back->data)[i], phys[i], 1e-4) << i;
        else
            EXPECT_EQ(std::memcmp(back->data, orig->data, orig->nvox * orig->nbyper), 0);
        nifti_image_free(orig);
        nifti_image_free(back);
    }
}

TEST_F(PhysicalImage, UnscaledBytesKeepTheirValuesAsTheSixCommandsDo) {
    std::vector<uint8_t> in(120);
    for (size_t i = 0; i < in.size(); ++i) in[i] = (uint8_t)(10 + i);
    writeImage(path("u8.nii"), DT_UINT8, kGrid, in);
    VolumePtr v = load("u8.nii");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(contents(*v), contents(*loadVolume(path("u8.nii").c_str(), &cpu())));
    EXPECT_EQ(physicalValues(*v)[5], 15.0f);
}

TEST_F(PhysicalImage, SeveralVolumesGiveTheFirstAndOneWarning) {
    Grid g = kGrid;
    g.t = 3;
    std::vector<float> in(360);
    for (size_t i = 0; i < in.size(); ++i) in[i] = (float)(i % 7) + (i >= 120 ? 100.0f : 0.0f);
    writeImage(path("4d.nii"), DT_FLOAT32, g, in);

    std::vector<std::string> warnings;
    VolumePtr v = load("4d.nii", &warnings);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->maxValue, 6.0f);  // the first volume only
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("3 volumes; the first one is used"), std::string::npos) << warnings[0];

    // Without a collector: one line on standard error, nothing on standard output.
    std::string error;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    VolumePtr w = loadImage(path("4d.nii").c_str(), error, {&cpu(), nullptr});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(w, nullptr);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("Warning: ", 0), 0u) << err;
}

TEST_F(PhysicalImage, NonFiniteValuesAreBackgroundWithAWarningThatCountsThem) {
    std::vector<float> in(120, 50.0f);
    in[3] = NAN;
    in[4] = INFINITY;
    in[6] = -20.0f;
    writeImage(path("nan.nii"), DT_FLOAT32, kGrid, in);
    VolumePtr v = load("nan.nii");
    ASSERT_NE(v, nullptr);
    std::vector<float> got = physicalValues(*v);
    EXPECT_NEAR(got[3], 0.0f, 1e-4);
    EXPECT_NEAR(got[4], 0.0f, 1e-4);
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_NE(warnings_[0].find("2 voxels that are not finite numbers"), std::string::npos) << warnings_[0];
    EXPECT_NE(warnings_[0].find("taken as 0"), std::string::npos) << warnings_[0];

    // float64 values beyond single precision are no different.
    warnings_.clear();
    std::vector<double> big(120, 50.0);
    big[3] = 1e300;
    big[4] = -1e300;
    big[5] = NAN;
    big[6] = -20.0;
    writeImage(path("big.nii"), DT_FLOAT64, kGrid, big);
    v = load("big.nii");
    ASSERT_NE(v, nullptr);
    got = physicalValues(*v);
    EXPECT_NEAR(got[3], 0.0f, 1e-4);
    EXPECT_NEAR(got[4], 0.0f, 1e-4);
    EXPECT_NEAR(got[5], 0.0f, 1e-4);
    EXPECT_FLOAT_EQ(got[6], -20.0f);
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_NE(warnings_[0].find("3 voxels"), std::string::npos) << warnings_[0];

    // A file of nothing else is refused, stored NaN as much as values out of range.
    writeImage(path("allbig.nii"), DT_FLOAT64, kGrid, std::vector<double>(120, 1e300));
    EXPECT_NE(loadError("allbig.nii").find("no finite values"), std::string::npos);
    writeImage(path("allnan.nii"), DT_FLOAT32, kGrid, std::vector<float>(120, NAN));
    EXPECT_NE(loadError("allnan.nii").find("no finite values"), std::string::npos);
}

TEST_F(PhysicalImage, NonNumericTypesAndBadFilesAreRefusedWithOneLine) {
    writeImage(path("rgb.nii"), DT_RGB24, kGrid, std::vector<uint8_t>(360, 9));
    writeImage(path("cplx.nii"), DT_COMPLEX64, kGrid, std::vector<float>(240, 1.0f));
    writeRaw(path("short.nii"), DT_INT16, 6, 5, 4, 100);  // 240 bytes wanted
    const std::string rgb = loadError("rgb.nii"), cplx = loadError("cplx.nii");
    EXPECT_NE(rgb.find("colour (RGB)"), std::string::npos) << rgb;
    EXPECT_NE(rgb.find("rgb.nii"), std::string::npos) << rgb;
    EXPECT_NE(cplx.find("complex"), std::string::npos) << cplx;
    EXPECT_NE(cplx.find("float64"), std::string::npos) << cplx;  // says what would do
    EXPECT_NE(loadError("short.nii").find("truncated"), std::string::npos);
    EXPECT_NE(loadError("none.nii").find("does not exist"), std::string::npos);

    // The six commands' loader still takes only uint8, int16 and float32, in its words.
    writeImage(path("u16.nii"), DT_UINT16, kGrid, std::vector<uint16_t>(120, 7));
    writeImage(path("f64.nii"), DT_FLOAT64, kGrid, std::vector<double>(120, 7));
    for (const char* name : {"u16.nii", "f64.nii", "rgb.nii", "cplx.nii"})
        EXPECT_EQ(loadFails(path(name)), "Error: Unrecognized datatype!\n") << name;
}

TEST_F(PhysicalImage, SavedValuesAreWithinHalfAStepOrFloat) {
    // An int16 image with slope 0.5 and intercept 10, then intensities that no stored
    // value holds exactly, as interpolation makes them.
    std::vector<int16_t> raw(120);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = (int16_t)(i * 97 % 1000 - 200);
    writeScaled(path("s.nii"), DT_INT16, raw, 0.5f, 10.0f);
    VolumePtr v = load("s.nii");
    ASSERT_NE(v, nullptr);
    std::vector<float> norm(120);
    for (size_t i = 0; i < norm.size(); ++i) norm[i] = 255.0f * (float)((i * 31) % 120) / 119.0f + 0.37f * (i % 2);
    cpu().upload(v->data, norm.data(), norm.size());
    const std::vector<float> want = physicalValues(*v);

    std::string error;
    int written = 0;
    ASSERT_TRUE(saveImagePhysical(*v, path("o.nii").c_str(), error, &written)) << error;
    EXPECT_EQ(written, DT_INT16);
    nifti_image* back = nullptr;
    const std::vector<int16_t> stored = readBack<int16_t>(path("o.nii"), &back);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->scl_slope, 0.5f);
    EXPECT_EQ(back->scl_inter, 10.0f);
    EXPECT_EQ(back->qform_code, 0);  // the grid had none, and gets none
    EXPECT_EQ(back->sform_code, 0);
    nifti_image_free(back);
    for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(stored[i] * 0.5 + 10.0, want[i], 0.25 + 1e-3) << i;

    // ANALYZE 7.5 has no slope: float32 physical values there.
    {
        OutputTypeEnv analyze("ANALYZE");
        ASSERT_TRUE(saveImagePhysical(*v, path("a.hdr").c_str(), error, &written)) << error;
        EXPECT_EQ(written, DT_FLOAT32);
        EXPECT_EQ(readBack<float>(path("a.hdr")), want);
    }

    // Values beyond what the type holds through its scaling: float32, nothing lost.
    v->maxValue = 1e6f;
    v->orient.code = 1;
    v->orient.m[0][3] = 12.5f;
    const std::vector<float> wide = physicalValues(*v);
    ASSERT_TRUE(saveImagePhysical(*v, path("w.nii.gz").c_str(), error, &written)) << error;
    EXPECT_EQ(written, DT_FLOAT32);
    EXPECT_EQ(readBack<float>(path("w.nii.gz"), &back), wide);
    EXPECT_EQ(back->sform_code, 1);
    EXPECT_EQ(back->sto_xyz.m[0][3], 12.5f);
    nifti_image_free(back);

    // A failed write names the file and leaves nothing.
    EXPECT_FALSE(saveImagePhysical(*v, path("no/such/dir/x.nii").c_str(), error));
    EXPECT_NE(error.find("x.nii"), std::string::npos) << error;
}
