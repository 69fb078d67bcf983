// The text files of the original commands: the matrix of -tm and the twelve parameters of
// -tt, read and then used as those commands use them, on a tiny volume.
//
// The first byte chooses the reader (even: matrix, odd: parameters); the rest is the file.
#include <cstdint>
#include <string>

#include "app/classic/textfiles.h"
#include "fuzzfiles.h"
#include "geometry/matrix.h"
#include "geometry/transform.h"
#include "volume/resample.h"

namespace {

VolumePtr tinyVolume() {
    VolumePtr v = makeVolume(4, 3, 3, &fuzzfiles::cpu());
    v->dx = 1.5f, v->dy = 1.0f, v->dz = 2.0f;
    for (size_t i = 0; i < v->count(); ++i) v->data[i] = (float)(i % 7);
    v->maxValue = 6;
    v->center[0] = 2, v->center[1] = 1, v->center[2] = 1;
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool matrix = (data[0] & 1) == 0;
    const std::string f = fuzzfiles::path(matrix ? "classic.mat" : "classic.par");
    fuzzfiles::write(f, data + 1, size - 1);
    VolumePtr s = tinyVolume();
    Matrix m;
    if (matrix) {
        float v[16];
        readMatrixFile(f.c_str(), v);
        m = Matrix(v);
    } else {
        const TransformParams p = readTransformFile(f.c_str());
        m.setIdentity();
        composeAffine(p, m, s->dx, s->dy, s->dz);
    }
    m.print();
    Matrix n;
    inverse(m, n);
    VolumePtr o = transformVolume(*s, *s, n);
    if (!o || o->count() != s->count()) std::abort();
    return 0;
}
