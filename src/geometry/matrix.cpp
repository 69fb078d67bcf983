#include "geometry/matrix.h"

#include <cstdio>

static void identityInto(float* d) {
    for (int i = 0; i < 16; ++i) d[i] = (i % 5 == 0) ? 1.0f : 0.0f;
}

Matrix::Matrix() { identityInto(data); }

Matrix::Matrix(const float v[16]) {
    for (int i = 0; i < 16; ++i) data[i] = v[i];
    determinant = determinantOf(data);
}

Matrix& Matrix::setIdentity() {
    identityInto(data);
    return *this;
}

void Matrix::resetIdentity() {
    identityInto(data);
    determinant = 1.0f;
}

void Matrix::print() const {
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) std::printf("%f ", (double)data[4 * r + c]);
        std::printf("\n");
    }
}

// Expansion along the first row with the 2x2 minors of the last two rows.
float determinantOf(const float a[16]) {
    float p = a[10] * a[15] - a[11] * a[14];
    float q = a[9] * a[15] - a[11] * a[13];
    float s = a[9] * a[14] - a[10] * a[13];
    float t = a[8] * a[15] - a[11] * a[12];
    float u = a[8] * a[14] - a[10] * a[12];
    float w = a[8] * a[13] - a[9] * a[12];
    return a[0] * (a[5] * p - a[6] * q + a[7] * s) - a[1] * (a[4] * p - a[6] * t + a[7] * u) +
           a[2] * (a[4] * q - a[5] * t + a[7] * w) - a[3] * (a[4] * s - a[5] * u + a[6] * w);
}

Matrix& multiply(Matrix& out, const Matrix& a, const Matrix& b) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k) sum += a.data[4 * i + k] * b.data[4 * k + j];
            out.data[4 * i + j] = sum;
        }
    return out;
}

// 3x3 determinant of the rows/columns of a that remain when row dr and column dc are
// deleted, expanded along its first row with the 2x2 minors of its last two rows.
static float minor3(const float* a, int dr, int dc) {
    int rows[3], cols[3];
    for (int i = 0, n = 0; i < 4; ++i)
        if (i != dr) rows[n++] = i;
    for (int j = 0, n = 0; j < 4; ++j)
        if (j != dc) cols[n++] = j;
    auto e = [&](int r, int c) { return a[4 * rows[r] + cols[c]]; };
    float m0 = e(1, 1) * e(2, 2) - e(1, 2) * e(2, 1);
    float m1 = e(1, 0) * e(2, 2) - e(1, 2) * e(2, 0);
    float m2 = e(1, 0) * e(2, 1) - e(1, 1) * e(2, 0);
    return e(0, 0) * m0 - e(0, 1) * m1 + e(0, 2) * m2;
}

Matrix& adjugate(const Matrix& m, Matrix& out) {
    float tmp[16];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float c = minor3(m.data, j, i);
            tmp[4 * i + j] = ((i + j) % 2 == 0) ? c : -c;
        }
    for (int i = 0; i < 16; ++i) out.data[i] = tmp[i];
    return out;
}

Matrix& inverse(Matrix& m, Matrix& out) {
    float det = determinantOf(m.data);
    m.determinant = det;
    if (det == 0.0f) {
        identityInto(out.data);
        return out;
    }
    Matrix adj;
    adjugate(m, adj);
    float r = 1.0f / det;
    for (int i = 0; i < 16; ++i) out.data[i] = adj.data[i] * r;
    return out;
}
