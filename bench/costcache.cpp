// Where the CPU cost's source reads land, independent of how busy the machine is: replays
// the reads of one evaluation (one core, chunks in hand-out order) through simulated
// caches and reports misses per reference voxel, per level and rotation. The caches are
// those of one core of the development machine: 32 KiB 8-way first level, 1 MiB 8-way
// second level, 64-byte lines, and a 2048-entry 8-way table of 4 KiB pages.
// Usage: costcache source reference
#include <cmath>
#include <cstdio>
#include <vector>

#include "device/cpu/costpair.h"
#include "device/cpu/cpu_device.h"
#include "device/costfunction.h"
#include "device/device.h"
#include "device/kernels.h"
#include "volume/storedimage.h"
#include "volume/resample.h"

namespace {

// Set-associative, least recently used.
class Cache {
public:
    Cache(size_t bytes, int ways, int lineBits) : ways_(ways), lineBits_(lineBits) {
        sets_ = (bytes >> lineBits) / ways;
        tags_.assign(sets_ * ways, ~0ull);
    }
    // True on a miss.
    bool access(uint64_t address) {
        const uint64_t line = address >> lineBits_;
        uint64_t* set = &tags_[(line % sets_) * ways_];
        for (int w = 0; w < ways_; ++w)
            if (set[w] == line) {
                for (; w > 0; --w) set[w] = set[w - 1];  // move to the front
                set[0] = line;
                return false;
            }
        for (int w = ways_ - 1; w > 0; --w) set[w] = set[w - 1];
        set[0] = line;
        return true;
    }

private:
    size_t sets_;
    int ways_, lineBits_;
    std::vector<uint64_t> tags_;
};

struct Counts {
    double l1 = 0, l2 = 0, tlb = 0, voxels = 0;
};

Counts replay(const cpucost::Pair& p, const float* A) {
    Cache l1(32 << 10, 8, 6), l2(1 << 20, 8, 6), tlb(2048ull << 12, 8, 12);
    Counts c;
    const cpucost::Reference& r = *p.ref;
    const kern::V3 rc{r.refC[0], r.refC[1], r.refC[2]}, sc{p.srcC[0], p.srcC[1], p.srcC[2]};
    const uint64_t base = 1ull << 32;  // any page-aligned start
    auto read = [&](int64_t index) {
        const uint64_t a = base + 4 * (uint64_t)index;
        if (tlb.access(a)) c.tlb++;
        if (l1.access(a)) {
            c.l1++;
            if (l2.access(a)) c.l2++;
        }
    };
    for (const cpucost::Chunk& ch : r.chunks)
        for (uint32_t v = ch.begin; v < ch.end; ++v) {
            c.voxels++;
            const kern::V3 m = kern::costPosition(A, r.px[v], r.py[v], r.pz[v], rc, sc);
            if (!kern::insideInclusive(m, (float)p.sx, (float)p.sy, (float)p.sz)) continue;
            const int64_t sx = p.sx, sxy = (int64_t)p.sx * p.sy;
            if (p.linear) {
                int x0, x1, y0, y1, z0, z1;
                float f;
                kern::linearAxis(m.x, p.sx, x0, x1, f);
                kern::linearAxis(m.y, p.sy, y0, y1, f);
                kern::linearAxis(m.z, p.sz, z0, z1, f);
                for (int z : {z0, z1})
                    for (int y : {y0, y1})
                        for (int x : {x0, x1}) read(z * sxy + y * sx + x);
            } else {
                read(kern::pointAxis(m.z, p.sz) * sxy + kern::pointAxis(m.y, p.sy) * sx + kern::pointAxis(m.x, p.sx));
            }
        }
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: costcache source reference\n");
        return 1;
    }
    CpuDevice* cpu = dynamic_cast<CpuDevice*>(&device());
    if (!cpu) {
        std::printf("costcache needs the CPU backend (TARVO_DEVICE=cpu)\n");
        return 1;
    }
    VolumePtr s = loadVolume(argv[1]), r = loadVolume(argv[2]);
    if (!s || !r) return 1;
    VolumePtr sl[3], rl[3];
    sl[0] = isotropicResample(*s, 1, 1, 1);
    rl[0] = isotropicResample(*r, 1, 1, 1);
    for (int l = 1; l < 3; ++l) {
        sl[l] = halfSample(*sl[l - 1]);
        rl[l] = halfSample(*rl[l - 1]);
    }
    const char* names[3] = {"1mm", "2mm", "4mm"};
    std::printf("level  rotation  chunks  voxels/chunk   misses per voxel: L1     L2    page table\n");
    for (int l = 2; l >= 0; --l) {
        sl[l]->stage = rl[l]->stage = (int16_t)(4 - l);
        initCorrelationRatio(*sl[l], *rl[l]);
        const cpucost::Pair& p = *cpu->pair();
        for (double deg : {0.0, 15.0, 30.0, 45.0, 90.0}) {
            // About the axis (1, 1, 1), as costbench's rotation rows.
            const double a = deg * M_PI / 180.0, co = std::cos(a), si = std::sin(a), k = 1.0 / 3.0,
                         w = si / std::sqrt(3.0);
            const float A[16] = {(float)(co + (1 - co) * k), (float)((1 - co) * k - w), (float)((1 - co) * k + w), 0.3f,
                                 (float)((1 - co) * k + w), (float)(co + (1 - co) * k), (float)((1 - co) * k - w), -0.2f,
                                 (float)((1 - co) * k - w), (float)((1 - co) * k + w), (float)(co + (1 - co) * k), 0.1f,
                                 0, 0, 0, 1};
            const Counts c = replay(p, A);
            std::printf("%-5s  %6.0f    %7zu  %8.0f          %8.3f %8.3f %8.4f\n", names[l], deg, p.ref->chunks.size(),
                        c.voxels / p.ref->chunks.size(), c.l1 / c.voxels, c.l2 / c.voxels, c.tlb / c.voxels);
        }
        freeCorrelationRatio();
    }
    return 0;
}
