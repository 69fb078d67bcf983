#include "geometry/world.h"

#include <cmath>

Affine Affine::diagonal(double x, double y, double z) {
    Affine m;
    m.a[0][0] = x;
    m.a[1][1] = y;
    m.a[2][2] = z;
    return m;
}

Affine Affine::translation(double x, double y, double z) {
    Affine m;
    m.a[0][3] = x;
    m.a[1][3] = y;
    m.a[2][3] = z;
    return m;
}

Affine Affine::operator*(const Affine& o) const {
    Affine r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double s = 0;
            for (int k = 0; k < 4; ++k) s += a[i][k] * o.a[k][j];
            r.a[i][j] = s;
        }
    return r;
}

double Affine::determinant3() const {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

Affine Affine::inverse() const {
    const double d = determinant3();
    Affine r;
    r.a[0][0] = (a[1][1] * a[2][2] - a[1][2] * a[2][1]) / d;
    r.a[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / d;
    r.a[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / d;
    r.a[1][0] = (a[1][2] * a[2][0] - a[1][0] * a[2][2]) / d;
    r.a[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / d;
    r.a[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / d;
    r.a[2][0] = (a[1][0] * a[2][1] - a[1][1] * a[2][0]) / d;
    r.a[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / d;
    r.a[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / d;
    for (int i = 0; i < 3; ++i)
        r.a[i][3] = -(r.a[i][0] * a[0][3] + r.a[i][1] * a[1][3] + r.a[i][2] * a[2][3]);
    return r;
}

bool Affine::finite() const {
    for (const auto& row : a)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    return true;
}

void Affine::apply(const double in[3], double out[3]) const {
    for (int i = 0; i < 3; ++i) out[i] = a[i][0] * in[0] + a[i][1] * in[1] + a[i][2] * in[2] + a[i][3];
}

Affine rasToLps(const Affine& m) {
    const Affine flip = Affine::diagonal(-1, -1, 1);
    return flip * m * flip;
}

WorldGrid WorldGrid::of(const Orientation& o, float dx, float dy, float dz) {
    WorldGrid g;
    if (o.code > 0) {
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) g.voxelToWorld.a[i][j] = o.m[i][j];
    } else {
        g.voxelToWorld = Affine::diagonal(dx, dy, dz);
    }
    return g;
}

WorldGrid WorldGrid::resampled(double rx, double ry, double rz) const {
    WorldGrid g;
    g.voxelToWorld = voxelToWorld * Affine::translation(-0.5, -0.5, -0.5) * Affine::diagonal(rx, ry, rz);
    return g;
}
