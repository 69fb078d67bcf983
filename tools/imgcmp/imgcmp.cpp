// imgcmp: how far two images of the same grid differ, in the files' own stored values.
// Used to compare the outputs of the CPU and the CUDA backends.
#include <nifti1_io.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* kUsage =
    "usage: imgcmp A B [--tolerance F]\n"
    "Prints \"max M, range R, max/range Q, differing D of N voxels\" over the stored values\n"
    "(no scaling). Exit 0 when the grids and datatypes agree and M <= F * R, plus one\n"
    "stored unit for integer datatypes (a flooring that lands the other way); 1 otherwise;\n"
    "2 when a file cannot be read. F defaults to 1e-3.\n";

bool valueAt(const nifti_image* im, size_t i, double& v) {
    switch (im->datatype) {
        case DT_UINT8: v = ((const unsigned char*)im->data)[i]; return true;
        case DT_INT16: v = ((const short*)im->data)[i]; return true;
        case DT_FLOAT32: v = ((const float*)im->data)[i]; return true;
        default: return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    double tolerance = 1e-3;
    const char* paths[2] = {nullptr, nullptr};
    int np = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tolerance") == 0 && i + 1 < argc) {
            tolerance = std::atof(argv[++i]);
        } else if (np < 2) {
            paths[np++] = argv[i];
        } else {
            np = 3;
        }
    }
    if (np != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    nifti_set_debug_level(0);
    nifti_image* a = nifti_image_read(paths[0], 1);
    nifti_image* b = nifti_image_read(paths[1], 1);
    if (!a || !b || !a->data || !b->data) {
        std::printf("cannot read %s\n", !a || !a->data ? paths[0] : paths[1]);
        return 2;
    }
    if (a->nx != b->nx || a->ny != b->ny || a->nz != b->nz || a->datatype != b->datatype) {
        std::printf("grids differ: %dx%dx%d type %d vs %dx%dx%d type %d\n", a->nx, a->ny, a->nz,
                    a->datatype, b->nx, b->ny, b->nz, b->datatype);
        return 1;
    }
    const size_t n = (size_t)a->nx * a->ny * a->nz;
    double lo = INFINITY, hi = -INFINITY, worst = 0.0;
    size_t differing = 0;
    for (size_t i = 0; i < n; ++i) {
        double x, y;
        if (!valueAt(a, i, x) || !valueAt(b, i, y)) {
            std::printf("unsupported datatype %d\n", a->datatype);
            return 2;
        }
        lo = std::fmin(lo, x);
        hi = std::fmax(hi, x);
        const double d = std::fabs(x - y);
        if (d != 0.0 || std::isnan(x) != std::isnan(y)) ++differing;
        if (!(d <= worst)) worst = d;
    }
    const double range = hi > lo ? hi - lo : 1.0;
    const double allowed = tolerance * range + (a->datatype == DT_FLOAT32 ? 0.0 : 1.0);
    std::printf("max %g, range %g, max/range %.3g, differing %zu of %zu voxels\n", worst, range,
                worst / range, differing, n);
    nifti_image_free(a);
    nifti_image_free(b);
    return worst <= allowed ? 0 : 1;
}
