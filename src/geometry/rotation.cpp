#include "geometry/rotation.h"

#include <algorithm>
#include <cmath>

// composeAffine's degree conversion uses 3.1415926; the way back must use the same.
static constexpr double kPi = 3.1415926;
static constexpr double kTruePi = 3.14159265358979323846;

Rot3 identityRotation() { return {1, 0, 0, 0, 1, 0, 0, 0, 1}; }

Rot3 multiply(const Rot3& a, const Rot3& b) {
    Rot3 c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            c[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
    return c;
}

Rot3 transposed(const Rot3& r) { return {r[0], r[3], r[6], r[1], r[4], r[7], r[2], r[5], r[8]}; }

Rot3 rotationOfAngles(const float angles[3]) {
    TransformParams p;
    for (int i = 0; i < 3; ++i) p[i] = angles[i];
    Matrix m;
    composeAffine(p, m, 1.0f, 1.0f, 1.0f);
    Rot3 r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[3 * i + j] = m.data[4 * i + j];
    return r;
}

static float toDegrees(double rad) {
    float d = (float)(rad * 180.0 / kPi);
    // 180 and -180 are the same turn; keep one of them.
    if (d <= -180.0f) d += 360.0f;
    return d;
}

void anglesOfRotation(const Rot3& r, float angles[3]) {
    // Rows of composeAffine's rotation (s1, c1: x angle; s2, c2: y; s3, c3: z):
    //   c3 c2,             s3 c2,             -s2
    //   s2 s1 c3 - s3 c1,  s2 s1 s3 + c3 c1,  c2 s1
    //   s2 c1 c3 + s3 s1,  s2 c1 s3 - c3 s1,  c2 c1
    const double s2 = std::clamp(-r[2], -1.0, 1.0);
    const double c2 = std::hypot(r[0], r[1]);
    double x, y = std::atan2(s2, c2), z;
    if (c2 > 1e-9) {
        x = std::atan2(r[5], r[8]);
        z = std::atan2(r[1], r[0]);
    } else {
        // Gimbal lock: only x - z (or x + z) matters; put it all in x.
        z = 0.0;
        x = std::atan2(-r[7], r[4]);
    }
    angles[0] = toDegrees(x);
    angles[1] = toDegrees(y);
    angles[2] = toDegrees(z);
}

double rotationGap(const Rot3& a, const Rot3& b) {
    // trace(a^T b) = 1 + 2 cos(angle)
    double tr = 0.0;
    for (int i = 0; i < 9; ++i) tr += a[i] * b[i];
    return std::acos(std::clamp((tr - 1.0) * 0.5, -1.0, 1.0)) * 180.0 / kTruePi;
}

Rot3 rotationOfQuaternion(double w, double x, double y, double z) {
    return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
            2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
            2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
}

std::vector<Rot3> rotationGrid(int n) {
    // Two incommensurate turns per step over the two circles of the unit quaternions,
    // with the radii chosen so that the points have equal area on the sphere S^3.
    const double phi = std::sqrt(2.0);
    const double psi = 1.533751168755204288118041;
    std::vector<Rot3> out;
    out.reserve(std::max(n, 0));
    for (int i = 0; i < n; ++i) {
        const double s = i + 0.5;
        const double r = std::sqrt(s / n), R = std::sqrt(1.0 - s / n);
        const double a = 2.0 * kTruePi * s / phi, b = 2.0 * kTruePi * s / psi;
        out.push_back(rotationOfQuaternion(r * std::sin(a), r * std::cos(a), R * std::sin(b),
                                           R * std::cos(b)));
    }
    return out;
}

bool decomposeAffine(const double a[12], TransformParams& p) {
    // Linear part L = R U with U = K S upper triangular, positive diagonal (Gram-Schmidt
    // on the columns): U = [[sx, kx sy, ky sz], [0, sy, kz sz], [0, 0, sz]].
    double col[3][3];
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) col[c][r] = a[4 * r + c];
    const double det = col[0][0] * (col[1][1] * col[2][2] - col[1][2] * col[2][1]) -
                       col[1][0] * (col[0][1] * col[2][2] - col[0][2] * col[2][1]) +
                       col[2][0] * (col[0][1] * col[1][2] - col[0][2] * col[1][1]);
    if (!(det > 0.0) || !std::isfinite(det)) return false;
    auto dot = [](const double* u, const double* v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; };
    double q[3][3], u[3][3] = {};
    for (int c = 0; c < 3; ++c) {
        double v[3] = {col[c][0], col[c][1], col[c][2]};
        for (int k = 0; k < c; ++k) {
            u[k][c] = dot(q[k], col[c]);
            for (int r = 0; r < 3; ++r) v[r] -= u[k][c] * q[k][r];
        }
        u[c][c] = std::sqrt(dot(v, v));
        for (int r = 0; r < 3; ++r) q[c][r] = v[r] / u[c][c];
    }
    Rot3 rot;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) rot[3 * r + c] = q[c][r];
    TransformParams out;
    anglesOfRotation(rot, out.rotation());
    for (int r = 0; r < 3; ++r) out[3 + r] = (float)a[4 * r + 3];
    out[6] = (float)u[0][0];
    out[7] = (float)u[1][1];
    out[8] = (float)u[2][2];
    out[9] = (float)(u[0][1] / u[1][1]);
    out[10] = (float)(u[0][2] / u[2][2]);
    out[11] = (float)(u[1][2] / u[2][2]);
    p = out;
    return true;
}

void affineOfParams(const TransformParams& p, double a[12]) {
    Matrix m;
    composeAffine(p, m, 1.0f, 1.0f, 1.0f);
    for (int i = 0; i < 12; ++i) a[i] = m.data[i];
}

TransformParams framedParams(const TransformParams& p, const Rot3& frame) {
    double a[12], b[12];
    affineOfParams(p, a);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            b[4 * r + c] = frame[3 * r] * a[c] + frame[3 * r + 1] * a[4 + c] + frame[3 * r + 2] * a[8 + c];
        b[4 * r + 3] = a[4 * r + 3];
    }
    TransformParams out = p;
    decomposeAffine(b, out);
    return out;
}
