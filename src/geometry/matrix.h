#pragma once
// 4x4 single-precision matrix, row-major, acting on column vectors.
// All arithmetic is float and in the exact order the registration results depend on.

struct Matrix {
    float data[16];
    float determinant = 0.0f;

    Matrix();                          // identity, determinant 0 (untouched by setIdentity)
    explicit Matrix(const float v[16]); // copies v and computes determinant

    Matrix& setIdentity();     // data = identity; determinant untouched
    void resetIdentity();      // data = identity; determinant = 1
    void print() const;        // "%f " per element, "\n" per row, to stdout
};

float determinantOf(const float a[16]);
// out must differ from a and b.
Matrix& multiply(Matrix& out, const Matrix& a, const Matrix& b);
Matrix& adjugate(const Matrix& m, Matrix& out);
// Cofactor inverse; identity for a singular matrix. Refreshes m.determinant.
// out may be m itself.
Matrix& inverse(Matrix& m, Matrix& out);
