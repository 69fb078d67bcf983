#include <cstdlib>
#include <cstring>

#include "device/cpu/simd.h"
#include "device/kernels.h"

namespace {
template <bool Linear>
void chunkSums(const CpuDevice::Pair& p, const float* A, uint32_t begin, uint32_t end, float out[3]) {
    const kern::Dim3 sd{p.sx, p.sy, p.sz};
    const float X = (float)p.sx, Y = (float)p.sy, Z = (float)p.sz;
    const kern::V3 rc{p.refC[0], p.refC[1], p.refC[2]}, sc{p.srcC[0], p.srcC[1], p.srcC[2]};
    float s[8] = {0}, q[8] = {0}, n[8] = {0};
    for (uint32_t v = begin; v < end; ++v) {
        const int lane = (int)((v - begin) & 7u);
        kern::V3 m = kern::costPosition(A, p.px[v], p.py[v], p.pz[v], rc, sc);
        if (!kern::insideInclusive(m, X, Y, Z)) continue;
        float f = Linear ? kern::fetchLinear(p.src.data(), sd, m.x, m.y, m.z)
                         : kern::fetchPoint(p.src.data(), sd, m.x, m.y, m.z);
        s[lane] += f;
        q[lane] = fmaf(f, f, q[lane]);
        n[lane] += 1.0f;
    }
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
}  // namespace

void scalarChunkSums(const CpuDevice::Pair& p, const float* A, uint32_t begin, uint32_t end, float out[3]) {
    if (p.linear)
        chunkSums<true>(p, A, begin, end, out);
    else
        chunkSums<false>(p, A, begin, end, out);
}

#if !defined(__x86_64__)
void simdChunkSums(const CpuDevice::Pair& p, const float* A, uint32_t b, uint32_t e, float out[3]) {
    scalarChunkSums(p, A, b, e, out);
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
