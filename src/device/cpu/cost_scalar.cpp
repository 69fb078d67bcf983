#include <cstdlib>
#include <cstring>

#include "device/cpu/simd.h"
#include "device/kernels.h"

namespace {
template <bool Linear>
void lanes(const cpucost::Pair& p, const float* A, uint32_t v, uint32_t end, float* s, float* q, float* n) {
    const kern::Dim3 sd{p.sx, p.sy, p.sz};
    const float X = (float)p.sx, Y = (float)p.sy, Z = (float)p.sz;
    const cpucost::Reference& r = *p.ref;
    const kern::V3 rc{r.refC[0], r.refC[1], r.refC[2]}, sc{p.srcC[0], p.srcC[1], p.srcC[2]};
    for (int lane = 0; v < end; ++v, lane = (lane + 1) & 7) {
        kern::V3 m = kern::costPosition(A, r.px[v], r.py[v], r.pz[v], rc, sc);
        if (!kern::insideInclusive(m, X, Y, Z) || !kern::sourceSampleKept(p.srcMask, sd, m)) continue;
        float f = Linear ? kern::fetchLinear(p.src.data(), sd, m.x, m.y, m.z, p.rules.ties)
                         : kern::fetchPoint(p.src.data(), sd, m.x, m.y, m.z, p.rules.point);
        s[lane] += f;
        q[lane] = fmaf(f, f, q[lane]);
        n[lane] += 1.0f;
    }
}
}  // namespace

void foldLanes8(float s[8], float q[8], float n[8], float out[3]) {
    for (int h = 4; h >= 1; h /= 2)
        for (int l = 0; l < h; ++l) {
            s[l] += s[l + h];
            q[l] += q[l + h];
            n[l] += n[l + h];
        }
    out[0] = s[0];
    out[1] = q[0];
    out[2] = n[0];
}

void scalarChunkSums(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                     float* out) {
    for (size_t c = 0; c < count; ++c, out += 3) {
        float s[8] = {0}, q[8] = {0}, n[8] = {0};
        if (p.linear)
            lanes<true>(p, A, chunks[c].begin, chunks[c].end, s, q, n);
        else
            lanes<false>(p, A, chunks[c].begin, chunks[c].end, s, q, n);
        foldLanes8(s, q, n, out);
    }
}

#if !defined(__x86_64__)
void simdChunkSums(const cpucost::Pair& p, const float* A, const cpucost::Chunk* chunks, size_t count,
                   float* out) {
    scalarChunkSums(p, A, chunks, count, out);
}
bool simdAvailable() { return false; }
#else
bool simdAvailable() {
    static const bool ok = [] {
        const char* env = std::getenv("TARVO_SIMD");
        if (env && std::strcmp(env, "0") == 0) return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return ok;
}
#endif
