#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "geometry/matrix.h"
#include "geometry/transform.h"

namespace {

std::string captureStdout(void (*fn)(const void*), const void* arg) {
    testing::internal::CaptureStdout();
    fn(arg);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(Matrix, DeterminantOfIdentityAndZero) {
    const float id[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(Matrix(id).determinant, 1.0f);
    const float zero[16] = {};
    EXPECT_EQ(Matrix(zero).determinant, 0.0f);
}

TEST(Matrix, SingularInversesGiveIdentity) {
    const float zero[16] = {};
    Matrix z(zero);
    z.determinant = 7.0f;
    Matrix out(zero);
    inverse(z, out);
    EXPECT_EQ(z.determinant, 0.0f);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out.data[i], (i % 5 == 0) ? 1.0f : 0.0f);

    const float twice[16] = {1, 2, 3, 4, 2, 4, 6, 8, 0, 1, 0, 1, 1, 0, 0, 1};
    Matrix t(twice);
    inverse(t, out);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out.data[i], (i % 5 == 0) ? 1.0f : 0.0f);
}

TEST(Matrix, InverseOfTranslationNegatesIt) {
    const float tr[16] = {1, 0, 0, 3, 0, 1, 0, -4, 0, 0, 1, 5.5f, 0, 0, 0, 1};
    Matrix m(tr), n;
    inverse(m, n);
    EXPECT_EQ(n.data[3], -3.0f);
    EXPECT_EQ(n.data[7], 4.0f);
    EXPECT_EQ(n.data[11], -5.5f);
    // In place is allowed.
    inverse(m, m);
    EXPECT_EQ(m.data[3], -3.0f);
}

TEST(Matrix, InverseTimesMatrixIsIdentity) {
    const float a[16] = {2, 0.5f, 0, 1, -0.3f, 1.5f, 0.2f, -2, 0.1f, 0, 0.9f, 4, 0, 0, 0, 1};
    Matrix m(a), n, p;
    inverse(m, n);
    multiply(p, m, n);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(p.data[i], (i % 5 == 0) ? 1.0f : 0.0f, 1e-6);
    Matrix adj;
    adjugate(m, adj);
    multiply(p, m, adj);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(p.data[i], (i % 5 == 0) ? m.determinant : 0.0f, 1e-5);
}

TEST(Matrix, MultiplyTakesRowsFromTheLeftOperand) {
    const float a[16] = {1, 2, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const float b[16] = {1, 0, 0, 0, 3, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    Matrix A(a), B(b), ab, ba;
    multiply(ab, A, B);
    multiply(ba, B, A);
    EXPECT_EQ(ab.data[0], 7.0f);  // 1*1 + 2*3
    EXPECT_EQ(ba.data[0], 1.0f);
    EXPECT_EQ(ba.data[4], 3.0f);
    EXPECT_EQ(ba.data[5], 7.0f);
}

TEST(Matrix, PrintWritesFourLinesOfSixDecimals) {
    std::string out = captureStdout([](const void*) { Matrix().print(); }, nullptr);
    EXPECT_EQ(out,
              "1.000000 0.000000 0.000000 0.000000 \n0.000000 1.000000 0.000000 0.000000 \n"
              "0.000000 0.000000 1.000000 0.000000 \n0.000000 0.000000 0.000000 1.000000 \n");
}

TEST(Compose, DefaultIsIdentity) {
    Matrix m;
    m.data[3] = 9;
    composeAffine(TransformParams(), m, 2.0f, 3.0f, 0.5f);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m.data[i], (i % 5 == 0) ? 1.0f : 0.0f);
}

TEST(Compose, RotationAboutXKeepsTheTruncatedPi) {
    TransformParams p;
    p[0] = 90.0f;
    Matrix m;
    composeAffine(p, m, 1, 1, 1);
    const float q = (float)std::cos((double)(float)(90.0 * 3.1415926 / 180.0));
    EXPECT_NEAR(q, 7.5498e-8f, 1e-11);
    EXPECT_EQ(m.data[0], 1.0f);
    EXPECT_EQ(m.data[5], q);
    EXPECT_EQ(m.data[6], 1.0f);
    EXPECT_EQ(m.data[9], -1.0f);
    EXPECT_EQ(m.data[10], q);
}

TEST(Compose, TranslationIsDividedByVoxelSize) {
    TransformParams p;
    p[3] = 10.0f;
    Matrix m;
    composeAffine(p, m, 2, 1, 1);
    EXPECT_EQ(m.data[3], 5.0f);
}

TEST(Compose, ShearActsAfterScale) {
    TransformParams p;
    p[7] = 2.0f;
    p[9] = 0.1f;
    Matrix m;
    composeAffine(p, m, 1, 1, 1);
    EXPECT_FLOAT_EQ(m.data[1], 0.2f);
    EXPECT_EQ(m.data[5], 2.0f);
}

TEST(Compose, RotationIsTransposeOfZYX) {
    TransformParams p;
    p[0] = 10;
    p[1] = 20;
    p[2] = 30;
    Matrix m;
    composeAffine(p, m, 1, 1, 1);
    const double d = 3.1415926 / 180.0;
    const double a = 10 * d, b = 20 * d, c = 30 * d;
    // Rz*Ry*Rx, right-handed; the composed block is its transpose.
    double rx[3][3] = {{1, 0, 0}, {0, cos(a), -sin(a)}, {0, sin(a), cos(a)}};
    double ry[3][3] = {{cos(b), 0, sin(b)}, {0, 1, 0}, {-sin(b), 0, cos(b)}};
    double rz[3][3] = {{cos(c), -sin(c), 0}, {sin(c), cos(c), 0}, {0, 0, 1}};
    double t[3][3] = {}, r[3][3] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) t[i][j] += ry[i][k] * rx[k][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[i][j] += rz[i][k] * t[k][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(m.data[4 * i + j], r[j][i], 1e-6);
}

TEST(Params, PrintDefault) {
    testing::internal::CaptureStdout();
    printParams(TransformParams(), -0.5f);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Rotate:(0.000000,0.000000,0.000000),Translate:(0.000000,0.000000,0.000000),"
              "Scale:(1.000000,1.000000,1.000000),Skew:(0.000000,0.000000,0.000000),value is:-0.500000\n");
}

TEST(RefineGrid, ConstantCoarseGridStaysConstant) {
    float coarse[343 * 4], fine[9261 * 4];
    for (int c = 0; c < 343; ++c) {
        coarse[4 * c] = 1;
        coarse[4 * c + 1] = 2;
        coarse[4 * c + 2] = 3;
        coarse[4 * c + 3] = 99;
    }
    refineGrid(coarse, fine, 0.75f);
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j)
            for (int k = 0; k < 20; ++k) {
                const float* f = fine + 4 * ((i * 21 + j) * 21 + k);
                ASSERT_EQ(f[0], 1.0f);
                ASSERT_EQ(f[1], 2.0f);
                ASSERT_EQ(f[2], 3.0f);
                ASSERT_EQ(f[3], 0.75f);
            }
}

TEST(RefineGrid, InterpolatesAlongTheFastAxis) {
    float coarse[343 * 4] = {}, fine[9261 * 4];
    for (int i = 0; i < 7; ++i)
        for (int j = 0; j < 7; ++j)
            for (int k = 0; k < 7; ++k) coarse[4 * ((i * 7 + j) * 7 + k)] = (float)k;
    refineGrid(coarse, fine, 1.0f);
    // Fine k = 5 sits at coarse 1.5.
    EXPECT_NEAR(fine[4 * ((0 * 21 + 0) * 21 + 5)], 1.5f, 1e-6);
    EXPECT_NEAR(fine[4 * ((3 * 21 + 7) * 21 + 19)], 5.7f, 1e-5);
}
