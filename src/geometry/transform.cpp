#include "geometry/transform.h"

#include <cmath>
#include <cstdio>
#include <cstring>

void printParams(const TransformParams& p, float value) {
    std::printf(
        "Rotate:(%f,%f,%f),Translate:(%f,%f,%f),Scale:(%f,%f,%f),Skew:(%f,%f,%f),value is:%f\n",
        (double)p[0], (double)p[1], (double)p[2], (double)p[3], (double)p[4], (double)p[5],
        (double)p[6], (double)p[7], (double)p[8], (double)p[9], (double)p[10], (double)p[11],
        (double)value);
}

static void rotationMatrix(const float* angles, Matrix& r) {
    float s[3], c[3];
    for (int i = 0; i < 3; ++i) {
        // The constant is the program's own 3.1415926; radians and trig in double, narrowed.
        float rad = (float)((double)angles[i] * 3.1415926 / 180.0);
        s[i] = (float)std::sin((double)rad);
        c[i] = (float)std::cos((double)rad);
    }
    const float s1 = s[0], c1 = c[0], s2 = s[1], c2 = c[1], s3 = s[2], c3 = c[2];
    r.setIdentity();
    float* d = r.data;
    d[0] = c3 * c2;
    d[1] = s3 * c2;
    d[2] = -s2;
    d[4] = (s2 * s1) * c3 - s3 * c1;
    d[5] = (s2 * s1) * s3 + c3 * c1;
    d[6] = c2 * s1;
    d[8] = (s2 * c1) * c3 + s3 * s1;
    d[9] = (s2 * c1) * s3 - c3 * s1;
    d[10] = c2 * c1;
}

void composeAffine(const TransformParams& p, Matrix& out, float vx, float vy, float vz) {
    Matrix S, K, R, T, W, tmp;
    S.data[0] = p[6];
    S.data[5] = p[7];
    S.data[10] = p[8];
    K.data[1] = p[9];
    K.data[2] = p[10];
    K.data[6] = p[11];
    rotationMatrix(p.rotation(), R);
    T.data[3] = p[3] / vx;
    T.data[7] = p[4] / vy;
    T.data[11] = p[5] / vz;
    multiply(W, K, S);
    multiply(tmp, R, W);
    std::memcpy(W.data, tmp.data, sizeof W.data);
    multiply(tmp, T, W);
    std::memcpy(out.data, tmp.data, sizeof out.data);
}

void refineGrid(const float* coarse, float* fine, float fill) {
    int ip[20];
    float fr[20];
    for (int n = 0; n < 20; ++n) {
        float pos = (float)n * 0.3f;
        ip[n] = (int)std::floor((double)pos);
        fr[n] = pos - (float)ip[n];
    }
    auto cell = [coarse](int i, int j, int k) { return coarse + 4 * ((i * 7 + j) * 7 + k); };
    for (int i = 0; i < 20; ++i)
        for (int j = 0; j < 20; ++j)
            for (int k = 0; k < 20; ++k) {
                const int ii = ip[i], jj = ip[j], kk = ip[k];
                const float fi = fr[i], fj = fr[j], fk = fr[k];
                float* dst = fine + 4 * ((i * 21 + j) * 21 + k);
                for (int c = 0; c < 3; ++c) {
                    float e[2][2];
                    for (int a = 0; a < 2; ++a)
                        for (int b = 0; b < 2; ++b) {
                            float v0 = cell(ii + a, jj + b, kk)[c];
                            float v1 = cell(ii + a, jj + b, kk + 1)[c];
                            e[a][b] = (v1 - v0) * fk + v0;
                        }
                    float g0 = (e[0][1] - e[0][0]) * fj + e[0][0];
                    float g1 = (e[1][1] - e[1][0]) * fj + e[1][0];
                    dst[c] = (g1 - g0) * fi + g0;
                }
                dst[3] = fill;
            }
}
