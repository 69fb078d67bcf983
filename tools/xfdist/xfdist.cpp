// xfdist: how far a registration's recovered transform is from the true one, in mm,
// averaged and maximised over the head voxels of the reference.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/device.h"
#include "geometry/matrix.h"
#include "geometry/transform.h"
#include "geometry/world.h"
#include "volume/storedimage.h"

namespace {

constexpr float kDefaultThreshold = 20.0f;

const char* kUsage =
    "usage: xfdist SOURCE REFERENCE TESTTXT RX RY RZ TX TY TZ SX SY SZ KX KY KZ [--threshold T]\n"
    "  SOURCE, REFERENCE  the images registered (tarvo -r SOURCE REFERENCE ...)\n"
    "  TESTTXT            the test.txt that registration wrote: the inverse of the matrix M\n"
    "                     that sends reference voxels into the source (16 numbers)\n"
    "  RX .. KZ           the true transform: the twelve parameters given to phantom\n"
    "                     --affine to make SOURCE from the same head that REFERENCE shows\n"
    "                     unmoved. The head point x mm from the reference grid centre is then\n"
    "                     at y = A x mm from the source grid centre, A = composeAffine(params)\n"
    "                     (grid centre: voxel (n-1)/2 on each axis; grids may differ)\n"
    "  --threshold T      head voxels: reference intensity (0..255 after loading) more than\n"
    "                     T above the background, the median of the grid's outer faces;\n"
    "                     default 20\n"
    "  --raw              take M's source position s as a voxel index; by default the\n"
    "                     resampler's reading is used: its texture holds voxel i at\n"
    "                     coordinate i + 0.5, so position s shows the source at index s - 0.5\n"
    "  --world            TESTTXT is instead a world matrix (tarvo register --matrix: FIXED\n"
    "                     RAS mm -> MOVING RAS mm, the headers' world coordinates); the true\n"
    "                     transform then sends world point x to A x (phantom keeps the head\n"
    "                     centre at the world origin in every --layout)\n"
    "Prints \"mean M mm, max X mm, voxels N\": the distance, in mm, between where M (with the\n"
    "volumes' intensity centroids and voxel sizes, as tarvo applies it) and the true\n"
    "transform send each head voxel of the reference.\n";

[[noreturn]] void fail(const std::string& msg) {
    std::fprintf(stderr, "xfdist: %s\n", msg.c_str());
    std::exit(1);
}

[[noreturn]] void usageError(const std::string& msg) {
    std::fprintf(stderr, "xfdist: %s\n%s", msg.c_str(), kUsage);
    std::exit(1);
}

bool parseDouble(const char* s, double& out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    out = std::strtod(s, &end);
    return *end == '\0' && std::isfinite(out);
}

// Sixteen numbers, row by row; nothing but white space after them.
bool readMatrixFile(const char* path, double m[16]) {
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    bool ok = true;
    for (int i = 0; i < 16 && ok; ++i) ok = std::fscanf(f, "%lf", &m[i]) == 1 && std::isfinite(m[i]);
    if (ok) {
        int c;
        while ((c = std::fgetc(f)) != EOF)
            if (!std::isspace(c)) ok = false;
    }
    std::fclose(f);
    return ok;
}

// The background level: the median of the voxels on the six faces of the grid, where a
// head image holds only air. Loading int16 or float images with noise moves the air off 0.
float backgroundLevel(const std::vector<float>& v, int nx, int ny, int nz) {
    std::vector<float> face;
    for (int k = 0; k < nz; ++k)
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i)
                if (i == 0 || j == 0 || k == 0 || i == nx - 1 || j == ny - 1 || k == nz - 1)
                    face.push_back(v[((size_t)k * ny + j) * nx + i]);
    std::nth_element(face.begin(), face.begin() + face.size() / 2, face.end());
    return face[face.size() / 2];
}

// Gauss-Jordan with partial pivoting; false when singular.
bool invert4(const double in[16], double out[16]) {
    double a[4][8];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c) a[r][c] = c < 4 ? in[4 * r + c] : (c - 4 == r ? 1.0 : 0.0);
    for (int c = 0; c < 4; ++c) {
        int p = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        if (!(std::fabs(a[p][c]) > 1e-12)) return false;
        if (p != c)
            for (int k = 0; k < 8; ++k) std::swap(a[p][k], a[c][k]);
        const double inv = 1.0 / a[c][c];
        for (int k = 0; k < 8; ++k) a[c][k] *= inv;
        for (int r = 0; r < 4; ++r)
            if (r != c) {
                const double f = a[r][c];
                for (int k = 0; k < 8; ++k) a[r][k] -= f * a[c][k];
            }
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out[4 * r + c] = a[r][c + 4];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> pos;
    float threshold = kDefaultThreshold;
    bool raw = false, world = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--threshold") == 0) {
            double t;
            if (i + 1 >= argc || !parseDouble(argv[i + 1], t)) usageError("--threshold needs a number");
            threshold = (float)t;
            ++i;
        } else if (std::strcmp(argv[i], "--world") == 0) {
            world = true;
        } else if (std::strcmp(argv[i], "--raw") == 0) {
            raw = true;
        } else {
            pos.push_back(argv[i]);
        }
    }
    if (pos.size() != 15) usageError("expected 15 arguments, got " + std::to_string(pos.size()));
    TransformParams truth;
    for (int k = 0; k < 12; ++k) {
        double v;
        if (!parseDouble(pos[3 + k], v)) usageError(std::string("not a number: '") + pos[3 + k] + "'");
        truth[k] = (float)v;
    }
    double n[16], m[16];
    if (!readMatrixFile(pos[2], n)) fail(std::string("cannot read 16 numbers from '") + pos[2] + "'");
    if (!invert4(n, m)) fail(std::string("the matrix in '") + pos[2] + "' is singular");

    // The CPU backend whatever TARVO_DEVICE says: only the loader's normalisation and
    // centroid are needed, and they must be the ones the registration saw.
    std::unique_ptr<Device> dev = makeCpuDevice(1);
    VolumePtr src = loadVolume(pos[0], dev.get());
    if (!src) fail(std::string("cannot load '") + pos[0] + "'");
    VolumePtr ref = loadVolume(pos[1], dev.get());
    if (!ref) fail(std::string("cannot load '") + pos[1] + "'");
    std::vector<float> refValues(ref->count());
    dev->download(refValues.data(), ref->data, ref->count());
    const float cut = backgroundLevel(refValues, ref->x, ref->y, ref->z) + threshold;

    Matrix a;
    composeAffine(truth, a, 1.0f, 1.0f, 1.0f);
    const double refVox[3] = {ref->dx, ref->dy, ref->dz};
    const double srcVox[3] = {src->dx, src->dy, src->dz};
    const double refGrid[3] = {(ref->x - 1) * 0.5, (ref->y - 1) * 0.5, (ref->z - 1) * 0.5};
    const double srcGrid[3] = {(src->x - 1) * 0.5, (src->y - 1) * 0.5, (src->z - 1) * 0.5};
    const double refCenter[3] = {ref->center[0], ref->center[1], ref->center[2]};
    const double srcCenter[3] = {src->center[0], src->center[1], src->center[2]};
    // The registered output shows, at reference voxel p, the source texture fetched at M's
    // position s, that is the source interpolated at index s - 0.5: the alignment a user
    // sees, and the one the cost optimised through the same texture convention.
    const double texel = raw ? 0.0 : 0.5;
    const Affine refWorld = worldGridOf(*ref).voxelToWorld;

    double sum = 0.0, worst = 0.0;
    size_t count = 0, idx = 0;
    for (int k = 0; k < ref->z; ++k)
        for (int j = 0; j < ref->y; ++j)
            for (int i = 0; i < ref->x; ++i, ++idx) {
                if (!(refValues[idx] > cut)) continue;
                const double v[3] = {(double)i, (double)j, (double)k};
                double p[3], x[3];
                for (int r = 0; r < 3; ++r) {
                    p[r] = v[r] - refCenter[r];
                    x[r] = (v[r] - refGrid[r]) * refVox[r];
                }
                double d2 = 0.0;
                if (world) {
                    double w[3];
                    refWorld.apply(v, w);
                    for (int r = 0; r < 3; ++r) {
                        const double rec = n[4 * r] * w[0] + n[4 * r + 1] * w[1] + n[4 * r + 2] * w[2] + n[4 * r + 3];
                        const double tru = a.data[4 * r] * w[0] + a.data[4 * r + 1] * w[1] +
                                           a.data[4 * r + 2] * w[2] + a.data[4 * r + 3];
                        d2 += (rec - tru) * (rec - tru);
                    }
                }
                for (int r = 0; r < 3 && !world; ++r) {
                    // Recovered: reference-voxel displacement, rescaled to source voxels.
                    const double q = m[4 * r] * p[0] + m[4 * r + 1] * p[1] + m[4 * r + 2] * p[2] + m[4 * r + 3];
                    const double sRec = q * refVox[r] / srcVox[r] + srcCenter[r] - texel;
                    // True: y = A x in mm about the grid centres.
                    const double y = a.data[4 * r] * x[0] + a.data[4 * r + 1] * x[1] +
                                     a.data[4 * r + 2] * x[2] + a.data[4 * r + 3];
                    const double sTrue = y / srcVox[r] + srcGrid[r];
                    const double e = (sRec - sTrue) * srcVox[r];
                    d2 += e * e;
                }
                const double d = std::sqrt(d2);
                sum += d;
                if (d > worst) worst = d;
                ++count;
            }
    if (count == 0) fail("no reference voxel is above the threshold");
    std::printf("mean %.3f mm, max %.3f mm, voxels %zu\n", sum / (double)count, worst, count);
    return 0;
}
