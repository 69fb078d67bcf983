#include "app/classic/drivers.h"

#include <cstdio>

#include "app/classic/textfiles.h"
#include "device/costfunction.h"
#include "device/stagetimer.h"
#include "geometry/matrix.h"
#include "geometry/transform.h"
#include "registration/cost.h"
#include "registration/originalsearch.h"
#include "volume/storedimage.h"
#include "volume/resample.h"

namespace {

VolumePtr load(const char* path) {
    StageTimer t("load");
    return loadVolume(path);
}

bool save(const Volume& v, const char* path) {
    StageTimer t("save");
    return saveVolume(v, path);
}

// The -r command's last step: composes the affine with the reference voxel sizes, prints
// its inverse and writes it to "test.txt", then resamples with the forward matrix. Null
// when "test.txt" cannot be written (after "cannot open file!").
VolumePtr finishRegistration(const Volume& src, const Volume& ref, const TransformParams& p) {
    Matrix m;
    composeAffine(p, m, ref.dx, ref.dy, ref.dz);
    Matrix inv;
    inverse(m, inv);
    inv.print();
    std::FILE* f = std::fopen("test.txt", "w");
    if (!f) {
        std::printf("cannot open file!");
        std::fflush(stdout);
        return nullptr;
    }
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) std::fprintf(f, "%f ", (double)inv.data[4 * r + c]);
        std::fprintf(f, "\n");
    }
    if (std::fclose(f) != 0) {
        std::printf("cannot open file!");
        std::fflush(stdout);
        return nullptr;
    }
    return transformVolume(src, ref, m);
}

}  // namespace

int runIsotropicResample(const char* source, float dx, float dy, float dz, const char* output) {
    if (!checkOutputType()) return 1;
    VolumePtr s = load(source);
    if (!s) return 1;
    VolumePtr o = isotropicResample(*s, dx, dy, dz);
    if (!o) return 1;
    return save(*o, output) ? 0 : 1;
}

int runHalfSample(const char* source, const char* output) {
    if (!checkOutputType()) return 1;
    VolumePtr s = load(source);
    if (!s) return 1;
    VolumePtr o = halfSample(*s);
    return save(*o, output) ? 0 : 1;
}

int runMatrixTransform(const char* source, const char* matrixFile, const char* output) {
    float v[16];
    readMatrixFile(matrixFile, v);
    Matrix m(v);
    if (!checkOutputType()) return 1;
    VolumePtr s = load(source);
    if (!s) return 1;
    std::printf("Transform Matrix:\n");
    m.print();
    Matrix n;
    inverse(m, n);
    if (m.determinant == 0.0f)
        std::fprintf(stderr, "Warning: the matrix in %s is singular; the identity is used\n", matrixFile);
    VolumePtr o = transformVolume(*s, *s, n);
    return save(*o, output) ? 0 : 1;
}

int runParamTransform(const char* source, const char* transformFile, const char* output) {
    TransformParams p = readTransformFile(transformFile);
    if (!checkOutputType()) return 1;
    VolumePtr s = load(source);
    if (!s) return 1;
    Matrix m;
    m.setIdentity();
    composeAffine(p, m, s->dx, s->dy, s->dz);
    std::printf("Transform Matrix:\n");
    m.print();
    Matrix n;
    inverse(m, n);
    if (m.determinant == 0.0f)
        std::fprintf(stderr, "Warning: the transform in %s gives a singular matrix; the identity is used\n",
                     transformFile);
    VolumePtr o = transformVolume(*s, *s, n);
    return save(*o, output) ? 0 : 1;
}

int runCorrelationRatio(const char* source, const char* reference) {
    if (!checkOutputType()) return 1;
    VolumePtr s = load(source);
    if (!s) return 1;
    VolumePtr r = load(reference);
    if (!r) return 1;
    // NaN sizes compare unequal, so they resample too.
    if (s->dx != r->dx || s->dy != r->dy || s->dz != r->dz) {
        VolumePtr s2 = isotropicResample(*s, r->dx, r->dy, r->dz);
        if (!s2) return 1;
        s = std::move(s2);
    }
    s->stage = 4;
    r->stage = 4;
    initCorrelationRatio(*s, *r);
    Matrix m;
    m.setIdentity();
    m.resetIdentity();
    float cost = matrixCost(*s, *r, m);
    std::printf("CorrelationRatio is: %f\n\n", (double)cost);
    freeCorrelationRatio();
    return 0;
}

int runRegistration(const char* source, const char* reference, const char* output) {
    const long long t0 = clockMs();
    if (!checkOutputType()) return 1;
    VolumePtr s = load(source);
    if (!s) return 1;
    VolumePtr r = load(reference);
    if (!r) return 1;
    TransformParams p;
    registerVolumes(p, *s, *r);
    VolumePtr o = finishRegistration(*s, *r, p);
    if (!o) return 1;  // "test.txt" could not be written: a failure, not a success
    if (!save(*o, output)) return 1;
    o.reset();
    s.reset();
    r.reset();
    const long long t1 = clockMs();
    float secs = (float)((double)(float)(t1 - t0) / 1000.0);
    std::printf("\n total registration time used: %.3fs \n", (double)secs);
    return 0;
}
