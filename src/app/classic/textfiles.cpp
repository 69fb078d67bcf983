#include "app/classic/textfiles.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

// Sixteen numbers need a few hundred bytes; anything past this prefix is never looked at.
static constexpr size_t kMaxPrefix = 1 << 20;

int scanNumbers(const char* path, float* values, int count) {
    struct stat st;
    if (stat(path, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    std::FILE* f = std::fopen(path, "r");
    if (!f) return -1;
    std::string text(kMaxPrefix, '\0');
    size_t got = std::fread(text.data(), 1, kMaxPrefix, f);
    std::fclose(f);
    text.resize(got);
    // An embedded NUL would end sscanf's view of the text early; so would it end a
    // stream's number, so cut there.
    text = text.c_str();
    const char* p = text.c_str();
    int read = 0;
    for (int i = 0; i < count; ++i) {
        float v;
        int used = 0;
        if (std::sscanf(p, "%f%n", &v, &used) != 1) break;
        values[i] = v;
        p += used;
        ++read;
    }
    return read;
}

static void warnNonFinite(const char* path, const float* v, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) {
            std::fprintf(stderr, "Warning: %s holds a number that is not finite\n", path);
            return;
        }
}

void readMatrixFile(const char* path, float values[16]) {
    for (int i = 0; i < 16; ++i) values[i] = 0.0f;
    int n = scanNumbers(path, values, 16);
    if (n < 0) {
        std::printf("Matrix description file %s not exists!\n", path);
        std::exit(1);
    }
    if (n < 16)
        std::fprintf(stderr, "Warning: matrix file %s holds %d of 16 numbers; the missing ones are taken as 0\n",
                     path, n);
    warnNonFinite(path, values, n);
}

TransformParams readTransformFile(const char* path) {
    float v[12];
    int n = scanNumbers(path, v, 12);
    if (n < 0) {
        std::printf("Param description file %s, not exists!\n", path);
        std::exit(1);
    }
    TransformParams p;
    float last = 0.0f;
    for (int i = 0; i < 12; ++i) {
        if (i < n) last = v[i];
        p[i] = last;
    }
    if (n < 12)
        std::fprintf(stderr,
                     "Warning: transform file %s holds %d of 12 numbers; the remaining fields repeat the last one\n",
                     path, n);
    warnNonFinite(path, v, n);
    return p;
}
