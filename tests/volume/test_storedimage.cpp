// Image files: the test images are written by niftiio itself (or byte by byte where the
// header must be broken), never by the code under test, and outputs are read back the
// same way.
#include "support/imagefiles.h"

TEST_F(ImageFile, Uint8LoadsUnchangedAndSavesBitIdentical) {
    const Grid g{5, 4, 3, 1, 1.5f, 2.0f, 2.5f};
    std::vector<uint8_t> in(60);
    for (size_t i = 0; i < in.size(); ++i) in[i] = (uint8_t)(i * 37 % 256);
    writeImage(path("u8.nii"), DT_UINT8, g, in);

    VolumePtr v = loadVolume(path("u8.nii").c_str(), &cpu());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->x, 5);
    EXPECT_EQ(v->y, 4);
    EXPECT_EQ(v->z, 3);
    EXPECT_EQ(v->t, 1);
    EXPECT_EQ(v->dx, 1.5f);
    EXPECT_EQ(v->dy, 2.0f);
    EXPECT_EQ(v->dz, 2.5f);
    EXPECT_EQ(v->datatype, 2);
    EXPECT_EQ(v->maxValue, 0.0f);
    EXPECT_EQ(v->minValue, 0.0f);
    EXPECT_EQ(v->owner, &cpu());
    const std::vector<float> got = contents(*v);
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(got[i], (float)in[i]) << i;

    ASSERT_TRUE(saveVolume(*v, path("out.nii").c_str()));
    EXPECT_EQ(readBack<uint8_t>(path("out.nii")), in);
}

TEST_F(ImageFile, Int16NormalisesToByteRangeAndSaveFloors) {
    const Grid g{11, 10, 11};
    const std::vector<int16_t> in = int16Ramp(1210);  // every value from -100 to 1000
    writeImage(path("s16.nii.gz"), DT_INT16, g, in);

    VolumePtr v = loadVolume(path("s16.nii.gz").c_str(), &cpu());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->maxValue, 1000.0f);
    EXPECT_EQ(v->minValue, -100.0f);
    const std::vector<float> got = contents(*v);
    const float s = 255.0f / 1100.0f;
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(got[i], ((float)in[i] + 100.0f) * s) << i;
    EXPECT_EQ(got[0], 0.0f);      // -100
    EXPECT_EQ(got[1100], 255.0f);  // 1000

    // Back in the file's range: floor(v * 1100/255 - 100), the product and the sum in
    // single precision.
    ASSERT_TRUE(saveVolume(*v, path("back.nii").c_str()));
    const std::vector<int16_t> out = readBack<int16_t>(path("back.nii"));
    ASSERT_EQ(out.size(), in.size());
    const float back = 1100.0f / 255.0f;
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(out[i], (int16_t)std::floor((double)(got[i] * back + -100.0f))) << i;

    // Over -100..-37 that arithmetic lands just below an integer for some values, which
    // come back one less than they were.
    std::vector<int16_t> narrow(64);
    for (int i = 0; i < 64; ++i) narrow[i] = (int16_t)(-100 + i);
    writeImage(path("narrow.nii"), DT_INT16, Grid{4, 4, 4}, narrow);
    VolumePtr n = loadVolume(path("narrow.nii").c_str(), &cpu());
    ASSERT_NE(n, nullptr);
    ASSERT_TRUE(saveVolume(*n, path("narrow_back.nii").c_str()));
    const std::vector<int16_t> nb = readBack<int16_t>(path("narrow_back.nii"));
    ASSERT_EQ(nb.size(), narrow.size());
    int lower = 0;
    for (size_t i = 0; i < narrow.size(); ++i) {
        ASSERT_TRUE(nb[i] == narrow[i] || nb[i] == narrow[i] - 1) << narrow[i] << " -> " << nb[i];
        lower += nb[i] != narrow[i];
    }
    EXPECT_EQ(lower, 16);
}

TEST_F(ImageFile, FloatNormalisesAndSavesBackWithoutFlooring) {
    const Grid g{4, 3, 2};
    std::vector<float> in(24);
    for (size_t i = 0; i < in.size(); ++i) in[i] = -3.75f + 1.3f * (float)i;
    writeImage(path("f.nii"), DT_FLOAT32, g, in);

    VolumePtr v = loadVolume(path("f.nii").c_str(), &cpu());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->datatype, 16);
    EXPECT_EQ(v->minValue, in.front());
    EXPECT_EQ(v->maxValue, in.back());
    const std::vector<float> got = contents(*v);
    EXPECT_EQ(got.front(), 0.0f);
    EXPECT_EQ(got.back(), 255.0f);

    ASSERT_TRUE(saveVolume(*v, path("back.nii").c_str()));
    const std::vector<float> out = readBack<float>(path("back.nii"));
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) EXPECT_NEAR(out[i], in[i], 1e-4f) << i;
    EXPECT_NE(out[0], std::floor(out[0]));

    // Values that are not finite numbers reach us as 0 (niftiio cleans them when reading).
    writeImage(path("nan.nii"), DT_FLOAT32, Grid{3, 1, 1}, std::vector<float>{2.0f, NAN, -INFINITY});
    VolumePtr clean = loadVolume(path("nan.nii").c_str(), &cpu());
    ASSERT_NE(clean, nullptr);
    EXPECT_EQ(contents(*clean), (std::vector<float>{255.0f, 0.0f, 0.0f}));
}

TEST_F(ImageFile, ConstantFilesLoadAsZerosAndSaveBackTheirValue) {
    const Grid g{3, 3, 3};
    writeImage(path("c16.nii"), DT_INT16, g, std::vector<int16_t>(27, 37));
    writeImage(path("cf.nii"), DT_FLOAT32, g, std::vector<float>(27, -2.5f));

    VolumePtr a = loadVolume(path("c16.nii").c_str(), &cpu());
    VolumePtr b = loadVolume(path("cf.nii").c_str(), &cpu());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(contents(*a), std::vector<float>(27, 0.0f));
    EXPECT_EQ(contents(*b), std::vector<float>(27, 0.0f));
    EXPECT_EQ(a->maxValue, 37.0f);
    EXPECT_EQ(a->minValue, 37.0f);

    ASSERT_TRUE(saveVolume(*a, path("a.nii").c_str()));
    ASSERT_TRUE(saveVolume(*b, path("b.nii").c_str()));
    EXPECT_EQ(readBack<int16_t>(path("a.nii")), std::vector<int16_t>(27, 37));
    EXPECT_EQ(readBack<float>(path("b.nii")), std::vector<float>(27, -2.5f));
}

TEST_F(ImageFile, CentroidIsTheSinglePrecisionSumOverVoxelsAboveOne) {
    const Grid g{7, 6, 5};
    std::vector<uint8_t> in(210);
    for (size_t i = 0; i < in.size(); ++i) in[i] = (uint8_t)(i % 3 == 0 ? i % 2 : i * 29 % 251);
    writeImage(path("c.nii"), DT_UINT8, g, in);
    VolumePtr v = loadVolume(path("c.nii").c_str(), &cpu());
    ASSERT_NE(v, nullptr);

    float w = 0, sx = 0, sy = 0, sz = 0;
    size_t n = 0;
    for (int k = 0; k < g.z; ++k)
        for (int j = 0; j < g.y; ++j)
            for (int i = 0; i < g.x; ++i) {
                const float val = in[n++];
                if (val > 1.0f) {
                    w += val;
                    sx += (float)i * val;
                    sy += (float)j * val;
                    sz += (float)k * val;
                }
            }
    EXPECT_EQ(v->center[0], sx / w);
    EXPECT_EQ(v->center[1], sy / w);
    EXPECT_EQ(v->center[2], sz / w);

    // Nothing above 1.0: the centre of the grid rather than 0/0.
    std::vector<uint8_t> dark(210);
    for (size_t i = 0; i < dark.size(); ++i) dark[i] = i % 2;
    writeImage(path("dark.nii"), DT_UINT8, g, dark);
    VolumePtr d = loadVolume(path("dark.nii").c_str(), &cpu());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->center[0], 3.0f);
    EXPECT_EQ(d->center[1], 2.5f);
    EXPECT_EQ(d->center[2], 2.0f);
}

TEST_F(ImageFile, ReadsFirstVolumeRawBigEndianAndAbsoluteVoxelSizes) {
    // Four volumes; slope and intercept in the header are not applied.
    const Grid g4{3, 2, 2, 4, 1.25f, 2.0f, 3.0f};
    std::vector<uint8_t> four(48);
    for (size_t i = 0; i < four.size(); ++i) four[i] = (uint8_t)(i + 2);
    writeImage(path("four.nii"), DT_UINT8, g4, four, false, [](nifti_image& n) {
        n.scl_slope = 3.0f;
        n.scl_inter = 10.0f;
        n.dt = n.pixdim[4] = 2.5f;
    });
    VolumePtr v = loadVolume(path("four.nii").c_str(), &cpu());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->t, 1);
    EXPECT_EQ(v->dx, 1.25f);
    EXPECT_EQ(v->dt, 2.5f);
    const std::vector<float> got = contents(*v);
    ASSERT_EQ(got.size(), 12u);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(got[i], (float)four[i]);
    ASSERT_TRUE(saveVolume(*v, path("one.nii").c_str()));
    nifti_image* back = nullptr;
    EXPECT_EQ(readBack<uint8_t>(path("one.nii"), &back), std::vector<uint8_t>(four.begin(), four.begin() + 12));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->dim[0], 3);
    nifti_image_free(back);
    int swap = 0;
    nifti_1_header* raw = nifti_read_header(path("one.nii").c_str(), &swap, 1);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->pixdim[4], 2.5f);  // the time step rides along
    free(raw);

    // A 2D image is a grid one slice thick, whatever the header holds beyond dim[0].
    const uint8_t slice[6] = {1, 2, 3, 4, 5, 6};
    writeRaw(path("flat.nii"), DT_UINT8, 3, 2, 1, 6, [](nifti_1_header& h) {
        h.dim[0] = 2;
        h.dim[3] = 0;
        h.pixdim[3] = 0;
    }, slice);
    VolumePtr flat = loadVolume(path("flat.nii").c_str(), &cpu());
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(flat->z, 1);
    EXPECT_EQ(flat->dz, 1.0f);
    EXPECT_EQ(contents(*flat), (std::vector<float>{1, 2, 3, 4, 5, 6}));

    // A big-endian file, header and data byte-swapped on disk, with a negative voxel size.
    const std::vector<int16_t> values = {-7, 300, 12, 1000, -100, 5, 6, 7};
    std::vector<int16_t> swapped = values;
    nifti_swap_2bytes(swapped.size(), swapped.data());
    writeRaw(path("be.nii"), DT_INT16, 2, 2, 2, 16, [](nifti_1_header& h) {
        h.pixdim[1] = -2.0f;
        h.pixdim[2] = h.pixdim[3] = 2.0f;
        swap_nifti_header(&h, 1);
    }, swapped.data());
    VolumePtr be = loadVolume(path("be.nii").c_str(), &cpu());
    ASSERT_NE(be, nullptr);
    EXPECT_EQ(be->maxValue, 1000.0f);
    EXPECT_EQ(be->minValue, -100.0f);
    EXPECT_EQ(be->dx, 2.0f);
    EXPECT_EQ(contents(*be)[3], 255.0f);
    EXPECT_EQ(contents(*be)[0], (-7.0f + 100.0f) * (255.0f / 1100.0f));
}

TEST_F(ImageFile, OrientationIsCarriedThroughAndFixedMatrixStandsInForNone) {
    const Grid g{4, 4, 4, 1, 1.5f, 1.5f, 3.0f};
    const std::vector<uint8_t> in(64, 9);
    // An oblique grid: rotation about z with voxel sizes 1.5, 1.5, 3.
    const float c = std::cos(0.3f), s = std::sin(0.3f);
    const float m[4][4] = {{1.5f * c, -1.5f * s, 0, 10}, {1.5f * s, 1.5f * c, 0, -20}, {0, 0, 3, 30}, {0, 0, 0, 1}};
    writeImage(path("sform.nii"), DT_UINT8, g, in, false, [&](nifti_image& n) {
        n.sform_code = NIFTI_XFORM_SCANNER_ANAT;
        std::memcpy(n.sto_xyz.m, m, sizeof m);
    });
    writeImage(path("qform.nii"), DT_UINT8, g, in, false, [&](nifti_image& n) {
        mat44 q;
        std::memcpy(q.m, m, sizeof m);
        n.qform_code = NIFTI_XFORM_ALIGNED_ANAT;
        nifti_mat44_to_quatern(q, &n.quatern_b, &n.quatern_c, &n.quatern_d, &n.qoffset_x, &n.qoffset_y,
                               &n.qoffset_z, nullptr, nullptr, nullptr, &n.qfac);
    });

    VolumePtr a = loadVolume(path("sform.nii").c_str(), &cpu());
    VolumePtr b = loadVolume(path("qform.nii").c_str(), &cpu());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->orient.code, NIFTI_XFORM_SCANNER_ANAT);
    EXPECT_EQ(b->orient.code, NIFTI_XFORM_ALIGNED_ANAT);
    for (int r = 0; r < 4; ++r)
        for (int q = 0; q < 4; ++q) {
            EXPECT_EQ(a->orient.m[r][q], m[r][q]);
            EXPECT_NEAR(b->orient.m[r][q], m[r][q], 1e-5f);
        }

    ASSERT_TRUE(saveVolume(*a, path("a_out.nii").c_str()));
    nifti_image* out = nifti_image_read(path("a_out.nii").c_str(), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->sform_code, NIFTI_XFORM_SCANNER_ANAT);
    EXPECT_EQ(out->qform_code, NIFTI_XFORM_SCANNER_ANAT);
    for (int r = 0; r < 4; ++r)
        for (int q = 0; q < 4; ++q) {
            EXPECT_EQ(out->sto_xyz.m[r][q], m[r][q]);
            EXPECT_NEAR(out->qto_xyz.m[r][q], m[r][q], 1e-5f);
        }
    nifti_image_free(out);

    // ANALYZE has no orientation: the output gets code 4 and the fixed matrix, with the
    // real voxel sizes beside it.
    writeImage(path("an.hdr"), DT_UINT8, g, in, true);
    VolumePtr c0 = loadVolume(path("an").c_str(), &cpu());
    ASSERT_NE(c0, nullptr);
    EXPECT_EQ(c0->orient.code, 0);
    ASSERT_TRUE(saveVolume(*c0, path("c_out.nii").c_str()));
    out = nifti_image_read(path("c_out.nii").c_str(), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->sform_code, 4);
    EXPECT_EQ(out->qform_code, 4);
    EXPECT_EQ(out->dx, 1.5f);
    EXPECT_EQ(out->dz, 3.0f);
    const float fixed[4][4] = {{-2, 0, 0, 90}, {0, 2, 0, -126}, {0, 0, 2, -72}, {0, 0, 0, 1}};
    for (int r = 0; r < 4; ++r)
        for (int q = 0; q < 4; ++q) EXPECT_EQ(out->sto_xyz.m[r][q], fixed[r][q]);
    // The quaternion keeps the rotation; the qform scales it by the real voxel sizes.
    EXPECT_EQ(out->qfac, -1.0f);
    EXPECT_NEAR(out->qto_xyz.m[0][0], -1.5f, 1e-6f);
    EXPECT_NEAR(out->qto_xyz.m[1][3], -126.0f, 1e-5f);
    nifti_image_free(out);
}

TEST_F(ImageFile, OutputFormatFollowsExtensionThenFslOutputType) {
    const Grid g{3, 2, 2};
    const std::vector<uint8_t> in = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 250};
    writeImage(path("src.nii"), DT_UINT8, g, in);
    VolumePtr v = loadVolume(path("src.nii").c_str(), &cpu());
    ASSERT_NE(v, nullptr);

    struct Case {
        const char* env;
        const char* name;
        const char* header;
        const char* image;  // null for one file
        bool gz;
        int type;
    } cases[] = {
        {nullptr, "a.nii", "a.nii", nullptr, false, NIFTI_FTYPE_NIFTI1_1},
        {"ANALYZE", "b.nii.gz", "b.nii.gz", nullptr, true, NIFTI_FTYPE_NIFTI1_1},
        {nullptr, "c.hdr", "c.hdr", "c.img", false, NIFTI_FTYPE_NIFTI1_2},
        {"NIFTI", "d.img.gz", "d.hdr.gz", "d.img.gz", true, NIFTI_FTYPE_NIFTI1_2},
        {"ANALYZE", "e.img", "e.hdr", "e.img", false, NIFTI_FTYPE_ANALYZE},
        {"ANALYZE_GZ", "f.hdr.gz", "f.hdr.gz", "f.img.gz", true, NIFTI_FTYPE_ANALYZE},
        {nullptr, "g", "g.nii.gz", nullptr, true, NIFTI_FTYPE_NIFTI1_1},
        {"", "g2.v1", "g2.v1.nii.gz", nullptr, true, NIFTI_FTYPE_NIFTI1_1},
        {"NIFTI", "h", "h.nii", nullptr, false, NIFTI_FTYPE_NIFTI1_1},
        {"NIFTI_GZ", "i", "i.nii.gz", nullptr, true, NIFTI_FTYPE_NIFTI1_1},
        {"NIFTI_PAIR", "j", "j.hdr", "j.img", false, NIFTI_FTYPE_NIFTI1_2},
        {"NIFTI_PAIR_GZ", "k", "k.hdr.gz", "k.img.gz", true, NIFTI_FTYPE_NIFTI1_2},
        {"ANALYZE", "l", "l.hdr", "l.img", false, NIFTI_FTYPE_ANALYZE},
        {"ANALYZE_GZ", "m", "m.hdr.gz", "m.img.gz", true, NIFTI_FTYPE_ANALYZE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OutputTypeEnv env(c.env);
        ASSERT_TRUE(saveVolume(*v, path(c.name).c_str()));
        EXPECT_TRUE(fs::exists(path(c.header)));
        EXPECT_EQ(isGzip(path(c.header)), c.gz);
        if (c.image) {
            EXPECT_TRUE(fs::exists(path(c.image)));
            EXPECT_EQ(isGzip(path(c.image)), c.gz);
        }
        nifti_image* back = nullptr;
        EXPECT_EQ(readBack<uint8_t>(path(c.header), &back), in);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->nifti_type, c.type);
        nifti_image_free(back);

        // And it loads again under the name as given.
        VolumePtr again = loadVolume(path(c.name).c_str(), &cpu());
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(contents(*again), contents(*v));
    }
    // Nothing but the outputs: no temporary file is left behind.
    for (const std::string& f : files()) EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
}

TEST_F(ImageFile, InputNamesAreFoundWithOrWithoutExtension) {
    const Grid g{2, 2, 2};
    const std::vector<uint8_t> in = {1, 2, 3, 4, 5, 6, 7, 8};
    writeImage(path("one.nii.gz"), DT_UINT8, g, in);
    writeImage(path("pair.hdr"), DT_UINT8, g, in);
    for (const char* name : {"one", "one.nii.gz", "one.nii", "pair", "pair.hdr", "pair.img"}) {
        VolumePtr v = loadVolume(path(name).c_str(), &cpu());
        ASSERT_NE(v, nullptr) << name;
        EXPECT_EQ(contents(*v)[7], 8.0f) << name;
    }
    // A header without its image file is no image.
    fs::remove(path("pair.img"));
    const std::string msg = loadFails(path("pair"));
    EXPECT_EQ(msg, "Error: File '" + path("pair") + "' not exist!\n");
}

TEST_F(ImageFile, BadInputsGiveNullAndOneLine) {
    EXPECT_EQ(loadFails(path("nothing.nii")), "Error: File '" + path("nothing.nii") + "' not exist!\n");
    EXPECT_EQ(loadFails(""), "Error: File '' not exist!\n");

    for (int dt : {DT_INT32, DT_FLOAT64, DT_RGB24, 3 /* no such code */}) {
        writeRaw(path("dt.nii"), DT_UINT8, 2, 2, 2, 64, [dt](nifti_1_header& h) { h.datatype = (short)dt; });
        EXPECT_EQ(loadFails(path("dt.nii")), "Error: Unrecognized datatype!\n") << dt;
    }

    struct Broken {
        const char* what;
        std::function<void(nifti_1_header&)> edit;
        size_t dataBytes = 16;
    } broken[] = {
        {"zero dimension", [](nifti_1_header& h) { h.dim[2] = 0; }},
        {"negative dimension", [](nifti_1_header& h) { h.dim[3] = -4; }},
        {"dim[0] out of range", [](nifti_1_header& h) { h.dim[0] = 9; }},
        {"too many voxels", [](nifti_1_header& h) { h.dim[1] = h.dim[2] = h.dim[3] = 32767; }},
        {"zero voxel size", [](nifti_1_header& h) { h.pixdim[2] = 0; }},
        {"infinite voxel size", [](nifti_1_header& h) { h.pixdim[1] = INFINITY; }},
        {"NaN voxel size", [](nifti_1_header& h) { h.pixdim[3] = NAN; }},
        {"truncated data", [](nifti_1_header&) {}, 9},
        {"data beyond the file", [](nifti_1_header& h) { h.vox_offset = 1e6f; }},
        {"data size in the gigabytes", [](nifti_1_header& h) { h.dim[1] = h.dim[2] = 1024; h.dim[3] = 1000; }},
        {"bad header size", [](nifti_1_header& h) { h.sizeof_hdr = 1234; }},
    };
    for (const Broken& b : broken) {
        writeRaw(path("bad.nii"), DT_UINT8, 2, 2, 4, b.dataBytes, b.edit);
        const std::string msg = loadFails(path("bad.nii"));
        EXPECT_NE(msg.find("'" + path("bad.nii") + "'"), std::string::npos) << b.what << ": " << msg;
        EXPECT_EQ(msg.rfind("Error: ", 0), 0u) << b.what;
    }

    // A compressed file claiming far more data than it could hold.
    writeRaw(path("bomb.nii.gz"), DT_FLOAT32, 1024, 1024, 1024, 8);
    EXPECT_NE(loadFails(path("bomb.nii.gz")).find("bomb"), std::string::npos);

    // A gzip stream cut short.
    writeImage(path("cut.nii.gz"), DT_FLOAT32, Grid{20, 20, 20}, std::vector<float>(8000, 2.0f));
    fs::resize_file(path("cut.nii.gz"), fs::file_size(path("cut.nii.gz")) / 2);
    EXPECT_NE(loadFails(path("cut.nii.gz")).find("cut.nii.gz"), std::string::npos);

    // Not an image at all, a header shorter than a header, a folder under an image's name.
    std::ofstream(path("text.nii")) << "hello, this is not an image\n";
    EXPECT_NE(loadFails(path("text.nii")).find("text.nii"), std::string::npos);
    std::ofstream(path("short.hdr")).write("\x5c\x01\0\0", 4);
    std::ofstream(path("short.img")) << "x";
    EXPECT_NE(loadFails(path("short")).find("short"), std::string::npos);
    fs::create_directory(path("folder.nii"));
    EXPECT_NE(loadFails(path("folder.nii")).find("folder.nii"), std::string::npos);

    // A range too wide for single precision cannot be mapped onto 0..255.
    writeImage(path("wide.nii"), DT_FLOAT32, Grid{2, 1, 1}, std::vector<float>{-3e38f, 3e38f});
    EXPECT_NE(loadFails(path("wide.nii")).find("wide.nii"), std::string::npos);
}

TEST_F(ImageFile, FailedWritesLeaveNoFile) {
    writeImage(path("src.nii"), DT_UINT8, Grid{2, 2, 2}, std::vector<uint8_t>(8, 3));
    VolumePtr v = loadVolume(path("src.nii").c_str(), &cpu());
    ASSERT_NE(v, nullptr);
    const std::vector<std::string> before = files();

    auto fails = [&](const std::string& name, const Volume* which = nullptr) {
        testing::internal::CaptureStdout();
        const bool ok = saveVolume(which ? *which : *v, name.c_str());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(ok) << name;
        EXPECT_EQ(out.rfind("Error: ", 0), 0u) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        return out;
    };
    EXPECT_NE(fails(path("no/such/folder/out.nii")).find("out.nii"), std::string::npos);
    // The destination is a folder: the rename fails after the data was written.
    fs::create_directory(path("taken.nii.gz"));
    fails(path("taken"));
    // Half a pair: the header could go, the image cannot.
    fs::create_directory(path("half.img"));
    fails(path("half.hdr"));
    fails(path(".nii"));

    // Dimensions that a 16-bit header field cannot hold.
    VolumePtr wide = makeVolume(40000, 1, 1, &cpu());
    wide->datatype = 2;
    wide->dx = wide->dy = wide->dz = 1;
    fails(path("wide.nii"), wide.get());

    std::vector<std::string> after = files();
    std::vector<std::string> expected = before;
    expected.push_back("half.img");
    expected.push_back("taken.nii.gz");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(after, expected);
}

TEST_F(ImageFile, OutputTypeMustBeOneOfTheKnownNames) {
    {
        OutputTypeEnv env(nullptr);
        EXPECT_TRUE(checkOutputType());
    }
    for (const char* good : {"NIFTI", "NIFTI_GZ", "NIFTI_PAIR", "NIFTI_PAIR_GZ", "ANALYZE", "ANALYZE_GZ"}) {
        OutputTypeEnv env(good);
        EXPECT_TRUE(checkOutputType()) << good;
    }
    writeImage(path("src.nii"), DT_UINT8, Grid{2, 2, 2}, std::vector<uint8_t>(8, 3));
    VolumePtr v = loadVolume(path("src.nii").c_str(), &cpu());
    ASSERT_NE(v, nullptr);
    for (const char* bad : {"nifti_gz", "NIFTI2", "MINC"}) {
        OutputTypeEnv env(bad);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(checkOutputType());
        EXPECT_FALSE(saveVolume(*v, path("out.nii").c_str()));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(std::string("'") + bad + "'"), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    }
    EXPECT_FALSE(fs::exists(path("out.nii")));
}
