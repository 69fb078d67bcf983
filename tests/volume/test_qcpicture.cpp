// The registration check picture: planes the way a neuroimager reads them, whatever the
// grid's storage order; the fixed image's edges on its boundaries; a PNG that libpng reads.
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "device/device.h"
#include "support/testvolumes.h"
#include "volume/qcpicture.h"

namespace {

// A 2 mm grid whose voxel axes run along `axes` (world axis of voxel axis a, sign) around
// the world origin, with `f` of world millimetres sampled at every voxel centre.
struct StoredGrid {
    Volume grid;
    std::vector<float> values;
};

void makeGrid(StoredGrid& s, const int n[3], const int worldAxis[3], const int sign[3],
              const std::function<float(float, float, float)>& f) {
    Volume& g = s.grid;
    g.x = n[0], g.y = n[1], g.z = n[2];
    g.dx = g.dy = g.dz = 2.0f;
    g.orient.code = 1;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) g.orient.m[r][c] = 0;
    for (int a = 0; a < 3; ++a) {
        g.orient.m[worldAxis[a]][a] = 2.0f * sign[a];
        g.orient.m[worldAxis[a]][3] = -2.0f * sign[a] * (n[a] - 1) / 2.0f;
        g.center[a] = (n[a] - 1) / 2.0f;
    }
    s.values.resize((size_t)n[0] * n[1] * n[2]);
    size_t idx = 0;
    for (int k = 0; k < n[2]; ++k)
        for (int j = 0; j < n[1]; ++j)
            for (int i = 0; i < n[0]; ++i, ++idx) {
                const float v[3] = {(float)i, (float)j, (float)k};
                float w[3];
                for (int r = 0; r < 3; ++r)
                    w[r] = g.orient.m[r][0] * v[0] + g.orient.m[r][1] * v[1] + g.orient.m[r][2] * v[2] + g.orient.m[r][3];
                s.values[idx] = f(w[0], w[1], w[2]);
            }
}

const uint8_t* pixel(const RgbPicture& p, int x, int y) { return &p.rgb[((size_t)y * p.width + x) * 3]; }
bool isEdge(const uint8_t* c) { return c[0] > 200 && c[1] < 100; }
bool isGrey(const uint8_t* c) { return c[0] == c[1] && c[1] == c[2]; }

// Mean grey of one quarter of a plane (0 upper left, 1 upper right, 2 lower left, 3 lower right).
double quarterMean(const RgbPicture& p, int plane, int quarter) {
    const auto& r = p.planes[plane];
    const int x0 = r.left + (quarter % 2) * r.width / 2, y0 = r.top + (quarter / 2) * r.height / 2;
    double sum = 0;
    int count = 0;
    for (int y = y0 + 4; y < y0 + r.height / 2 - 4; ++y)
        for (int x = x0 + 4; x < x0 + r.width / 2 - 4; ++x)
            if (isGrey(pixel(p, x, y))) sum += pixel(p, x, y)[0], ++count;
    return count ? sum / count : -1;
}

}  // namespace

TEST(QcPicture, PlanesShowRightAnteriorSuperiorTheSameWayForAnyStorageOrder) {
    // Bright only in the right-anterior-superior octant (with the central voxel planes,
    // where the pictured planes lie): each plane through the centre
    // must show it in its upper right quarter (sagittal: anterior right, superior up;
    // coronal: right on the right, superior up; axial: right on the right, anterior up).
    auto octant = [](float x, float y, float z) { return x > -0.5f && y > -0.5f && z > -0.5f ? 250.0f : 10.0f; };
    const int n1[3] = {41, 45, 37}, axes1[3] = {0, 1, 2}, sign1[3] = {1, 1, 1};
    // Stored otherwise: voxel i runs towards posterior, j towards inferior, k towards left.
    const int n2[3] = {45, 37, 41}, axes2[3] = {1, 2, 0}, sign2[3] = {-1, -1, -1};
    StoredGrid a, b;
    makeGrid(a, n1, axes1, sign1, octant);
    makeGrid(b, n2, axes2, sign2, octant);
    const RgbPicture pa = renderQcPicture(a.grid, a.values, a.values);
    const RgbPicture pb = renderQcPicture(b.grid, b.values, b.values);
    for (int plane = 0; plane < 3; ++plane) {
        SCOPED_TRACE(plane);
        EXPECT_GT(quarterMean(pa, plane, 1), 200.0);
        for (int q : {0, 2, 3}) EXPECT_LT(quarterMean(pa, plane, q), 60.0) << q;
    }
    ASSERT_EQ(pa.width, pb.width);
    ASSERT_EQ(pa.height, pb.height);
    size_t differ = 0;
    for (size_t i = 0; i < pa.rgb.size(); ++i) differ += std::abs(pa.rgb[i] - pb.rgb[i]) > 2;
    EXPECT_LT(differ, pa.rgb.size() / 200);
}

TEST(QcPicture, FixedEdgesLieOnTheBoundariesOfAnAlignedImageOnly) {
    // A bright box: with the moving image aligned every edge pixel has bright and dark
    // image within 5 pixels (two thirds of a voxel); with the moving box shifted many do not.
    const int n[3] = {40, 40, 40}, axes[3] = {0, 1, 2}, sign[3] = {1, 1, 1};
    auto box = [](float dx) {
        return [dx](float x, float y, float z) {
            return std::fabs(x - dx) < 20 && std::fabs(y) < 24 && std::fabs(z) < 16 ? 200.0f : 20.0f;
        };
    };
    StoredGrid fixed, aligned, shifted;
    makeGrid(fixed, n, axes, sign, box(0));
    makeGrid(aligned, n, axes, sign, box(0));
    makeGrid(shifted, n, axes, sign, box(12));
    auto misplaced = [](const RgbPicture& p, size_t& edges) {
        size_t bad = 0;
        edges = 0;
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x) {
                if (!isEdge(pixel(p, x, y))) continue;
                ++edges;
                bool bright = false, dark = false;
                for (int dy = -5; dy <= 5; ++dy)
                    for (int dx = -5; dx <= 5; ++dx) {
                        const int u = x + dx, v = y + dy;
                        if (u < 0 || v < 0 || u >= p.width || v >= p.height || !isGrey(pixel(p, u, v))) continue;
                        bright |= pixel(p, u, v)[0] > 200;
                        dark |= pixel(p, u, v)[0] < 50;
                    }
                bad += !(bright && dark);
            }
        return bad;
    };
    size_t edges = 0;
    const RgbPicture good = renderQcPicture(fixed.grid, fixed.values, aligned.values);
    EXPECT_EQ(misplaced(good, edges), 0u);
    // The box's outline in all three planes (some 500 pixels of perimeter each).
    EXPECT_GT(edges, 1000u);
    const RgbPicture bad = renderQcPicture(fixed.grid, fixed.values, shifted.values);
    EXPECT_GT(misplaced(bad, edges), edges / 5);
}

TEST(QcPicture, WritesAPngThatReadsBackAndNothingOnFailure) {
    std::unique_ptr<Device> cpu = makeCpuDevice(1);
    char tmpl[] = "/tmp/tarvo-qc-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    VolumePtr f = volumeOf(*cpu, 30, 24, 20, [](int i, int j, int k) {
        return i > 8 && i < 22 && j > 5 && j < 18 && k > 4 && k < 15 ? 200.0f : 0.0f;
    }, 2.0f);
    f->center[0] = 15, f->center[1] = 12, f->center[2] = 10;
    const std::string out = dir + "/qc.png";
    std::string error;
    ASSERT_TRUE(writeQcPicture(*f, *f, out.c_str(), error)) << error;

    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&img, out.c_str()), 0) << img.message;
    img.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> back(PNG_IMAGE_SIZE(img));
    ASSERT_NE(png_image_finish_read(&img, nullptr, back.data(), 0, nullptr), 0) << img.message;
    const RgbPicture want = renderQcPicture(*f, contents(*f), contents(*f));
    EXPECT_EQ((int)img.width, want.width);
    EXPECT_EQ((int)img.height, want.height);
    EXPECT_EQ(back, want.rgb);
    // Readable at 100 %: the three 60 mm-wide planes are 300 pixels wide together at least.
    EXPECT_GE(want.width, 600);

    // Another grid, or a folder that is not there: an error naming the file, no file.
    VolumePtr other = volumeOf(*cpu, 30, 24, 21, [](int, int, int) { return 1.0f; });
    EXPECT_FALSE(writeQcPicture(*f, *other, (dir + "/a.png").c_str(), error));
    EXPECT_NE(error.find("grid"), std::string::npos) << error;
    EXPECT_FALSE(writeQcPicture(*f, *f, (dir + "/none/b.png").c_str(), error));
    EXPECT_NE(error.find("b.png"), std::string::npos) << error;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    std::filesystem::remove_all(dir);
}

namespace {

// The text chunks before the image data, as libpng reads them.
struct PngText {
    std::string key, text;
    int compression;  // PNG_TEXT_COMPRESSION_NONE: tEXt; PNG_ITXT_COMPRESSION_NONE: iTXt
};

std::vector<PngText> readPngText(const std::string& path) {
    std::vector<PngText> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_info(png, info);
        png_textp text = nullptr;
        const int n = png_get_text(png, info, &text, nullptr);
        for (int i = 0; i < n; ++i)
            out.push_back({text[i].key, std::string(text[i].text, text[i].compression == PNG_TEXT_COMPRESSION_NONE
                                                                      ? text[i].text_length
                                                                      : text[i].itxt_length),
                           text[i].compression});
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return out;
}

std::string slurpFile(const std::string& path) {
    std::string s;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

}  // namespace

TEST(QcPicture, CaptionLiesBelowThePlanesAndIsTheDescriptionText) {
    std::unique_ptr<Device> cpu = makeCpuDevice(1);
    char tmpl[] = "/tmp/tarvo-qc-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    VolumePtr f = volumeOf(*cpu, 30, 24, 20, [](int i, int j, int k) {
        return i > 8 && i < 22 && j > 5 && j < 18 && k > 4 && k < 15 ? 200.0f : 0.0f;
    }, 2.0f);
    f->center[0] = 15, f->center[1] = 12, f->center[2] = 10;
    const std::vector<float> v = contents(*f);

    // The strip adds rows under an unchanged picture, in the warning colour when asked.
    const RgbPicture plain = renderQcPicture(*f, v, v);
    QcCaption caption{"MOVING a.nii.gz -> FIXED b.nii.gz\ncost -0.9   verdict suspect: turned", true};
    const RgbPicture captioned = renderQcPicture(*f, v, v, caption);
    ASSERT_EQ(captioned.width, plain.width);
    ASSERT_GT(captioned.height, plain.height + 2 * 13);
    EXPECT_TRUE(std::equal(plain.rgb.begin(), plain.rgb.end(), captioned.rgb.begin()));
    size_t warm = 0;
    for (int y = plain.height; y < captioned.height; ++y)
        for (int x = 0; x < captioned.width; ++x) warm += pixel(captioned, x, y)[0] == 255 && pixel(captioned, x, y)[2] < 100;
    EXPECT_GT(warm, 200u);
    // A line wider than the picture is broken, not cut: every character still drawn.
    const RgbPicture longer = renderQcPicture(*f, v, v, {std::string(400, 'x'), false});
    EXPECT_GE(longer.height - plain.height, captioned.height - plain.height);

    // Latin-1 text as tEXt (in Latin-1), anything else as iTXt (UTF-8), the whole caption.
    std::string error;
    const std::string latin = dir + "/latin.png", other = dir + "/other.png", again = dir + "/again.png";
    caption.text = "MOVING caf\xc3\xa9.nii.gz -> FIXED t.nii.gz\ncost -0.9";
    ASSERT_TRUE(writeQcPicture(*f, *f, latin.c_str(), error, nullptr, caption)) << error;
    std::vector<PngText> t = readPngText(latin);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].key, "Description");
    EXPECT_EQ(t[0].compression, PNG_TEXT_COMPRESSION_NONE);
    EXPECT_EQ(t[0].text, "MOVING caf\xe9.nii.gz -> FIXED t.nii.gz\ncost -0.9");
    caption.text = "subject \xe8\xa2\xab\xe9\xa8\x93\xe8\x80\x85: s.nii.gz -> FIXED t.nii.gz";
    ASSERT_TRUE(writeQcPicture(*f, *f, other.c_str(), error, nullptr, caption)) << error;
    t = readPngText(other);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].compression, PNG_ITXT_COMPRESSION_NONE);
    EXPECT_EQ(t[0].text, caption.text);
    // No time in the file: the same picture twice is the same file.
    ASSERT_TRUE(writeQcPicture(*f, *f, again.c_str(), error, nullptr, caption)) << error;
    EXPECT_EQ(slurpFile(other), slurpFile(again));
    // Without a caption, no text at all.
    ASSERT_TRUE(writeQcPicture(*f, *f, latin.c_str(), error)) << error;
    EXPECT_TRUE(readPngText(latin).empty());
    std::filesystem::remove_all(dir);
}
