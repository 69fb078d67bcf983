#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "app/classic/textfiles.h"

namespace {

// ctest runs tests as parallel processes: each gets a folder of its own, removed at exit.
const std::filesystem::path& scratch() {
    static const struct Dir {
        std::filesystem::path p = std::filesystem::temp_directory_path() /
                                  ("tarvo_textfiles_" + std::to_string(::getpid()));
        Dir() { std::filesystem::create_directories(p); }
        ~Dir() { std::filesystem::remove_all(p); }
    } dir;
    return dir.p;
}

std::string writeTemp(const std::string& name, const std::string& text) {
    // A death test's child may have removed the folder on its way out.
    std::filesystem::create_directories(scratch());
    auto p = (scratch() / name).string();
    std::ofstream(p, std::ios::binary) << text;
    return p;
}

std::vector<float> matrixOf(const std::string& text) {
    std::vector<float> v(16);
    testing::internal::CaptureStderr();
    readMatrixFile(writeTemp("m.txt", text).c_str(), v.data());
    testing::internal::GetCapturedStderr();
    return v;
}

TransformParams paramsOf(const std::string& text, std::string* err = nullptr) {
    testing::internal::CaptureStderr();
    TransformParams p = readTransformFile(writeTemp("t.txt", text).c_str());
    std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return p;
}

}  // namespace

TEST(MatrixFile, LayoutDoesNotMatter) {
    auto a = matrixOf("1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1");
    auto b = matrixOf("1 0 0 0\n0 1 0 0\n\t0 0 1 0\n0 0 0 1\ntrailing words are ignored\n");
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[0], 1.0f);
    EXPECT_EQ(a[15], 1.0f);
}

TEST(MatrixFile, ShortAndMalformedFilesLeaveZeros) {
    auto a = matrixOf("1 0 0 5");
    EXPECT_EQ(a[3], 5.0f);
    for (int i = 4; i < 16; ++i) EXPECT_EQ(a[i], 0.0f);
    auto b = matrixOf("2 3 word 4 5 6 7 8 9 10 11 12 13 14 15 16");
    EXPECT_EQ(b[0], 2.0f);
    EXPECT_EQ(b[1], 3.0f);
    for (int i = 2; i < 16; ++i) EXPECT_EQ(b[i], 0.0f);
    auto c = matrixOf("");
    for (float x : c) EXPECT_EQ(x, 0.0f);
}

TEST(MatrixFile, WarnsOnStandardErrorOnly) {
    float v[16];
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    readMatrixFile(writeTemp("short.txt", "1 2 3").c_str(), v);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(err.find("short.txt"), std::string::npos);
    EXPECT_NE(err.find("3 of 16"), std::string::npos);
}

TEST(MatrixFile, NonFiniteAndHugeFilesAreHandled) {
    auto a = matrixOf("nan inf -inf 1 0 0 0 0 0 0 0 0 0 0 0 1");
    EXPECT_TRUE(std::isnan(a[0]));
    EXPECT_TRUE(std::isinf(a[1]));
    std::string huge(3 << 20, '7');  // one number of three million digits
    auto b = matrixOf(huge);
    EXPECT_TRUE(std::isinf(b[0]) || b[0] > 1e30f);
}

TEST(MatrixFile, ReadsWhatPrintWrites) {
    // The layout "test.txt" is written in.
    std::string text;
    const float m[16] = {0.999f, -0.0123f, 0.5f, -12.25f, 0, 1, 0, 3, 0, 0, 1, 0, 0, 0, 0, 1};
    char buf[64];
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            std::snprintf(buf, sizeof buf, "%f ", (double)m[4 * r + c]);
            text += buf;
        }
        text += "\n";
    }
    auto v = matrixOf(text);
    for (int i = 0; i < 16; ++i) EXPECT_FLOAT_EQ(v[i], m[i]);
}

TEST(TransformFile, DefaultLayout) {
    TransformParams p = paramsOf("0 0 0\n0 0 0\n1 1 1\n0 0 0\n");
    TransformParams d;
    for (int i = 0; i < 12; ++i) EXPECT_EQ(p[i], d[i]);
}

TEST(TransformFile, ShortFileRepeatsTheLastNumber) {
    std::string err;
    TransformParams p = paramsOf("10 20 30", &err);
    EXPECT_EQ(p[0], 10.0f);
    EXPECT_EQ(p[1], 20.0f);
    for (int i = 2; i < 12; ++i) EXPECT_EQ(p[i], 30.0f);
    EXPECT_NE(err.find("3 of 12"), std::string::npos);
    TransformParams e = paramsOf("");
    for (int i = 0; i < 12; ++i) EXPECT_EQ(e[i], 0.0f);  // zero scales too
}

TEST(TransformFile, HelpHeaderWordsGiveZeros) {
    TransformParams p = paramsOf("RotationX       RotationY       RotationZ\n1 2 3\n");
    for (int i = 0; i < 12; ++i) EXPECT_EQ(p[i], 0.0f);
}

TEST(TransformFile, MissingFileEndsTheProcess) {
    // Run in one process with the other tests, the worker threads of earlier tests exist:
    // a plain fork could copy a lock one of them holds, and the child would wait forever.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(readTransformFile("/nonexistent/t.txt"), testing::ExitedWithCode(1),
                "");
    float v[16];
    EXPECT_EXIT(readMatrixFile(std::filesystem::temp_directory_path().c_str(), v),
                testing::ExitedWithCode(1), "");
}
