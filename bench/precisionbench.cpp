// The precision stage on its own, in variants: runs register's search (wide, header start,
// 12 dof, no stage) on MOVING -> FIXED once, then the stage from its answer in each
// variant asked for, and writes every answer as a world matrix (FIXED RAS mm -> MOVING RAS
// mm, four lines of four numbers) for comparison with the truth or with other tools.
// Prints per variant the evaluations, processor seconds (all threads) and wall seconds.
//
// usage: precisionbench MOVING FIXED OUT_PREFIX [VARIANT ...]
//   OUT_PREFIX_search.txt: the search's matrix; OUT_PREFIX_search.params caches the search
//   (a second run with the same prefix skips it).
//   VARIANT: NAME or NAME:key=value,key=value -> OUT_PREFIX_NAME.txt. Keys: coarse (0: no
//   2 mm pass), bound, cmax, fmax,
//   step, fstep, tol, radius (PrecisionOptions); jitter (mm at the edge) and seed start the
//   stage from a point near the search's answer instead.
// or:    precisionbench MOVING FIXED --cost MATRIX ...
//   prints the stage's cost (exact weights, 256 bins) at each world matrix, on the 1 mm
//   levels and on the images' own grids: how the tools' answers rank by this cost.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <string>

#include "device/costfunction.h"
#include "registration/pipeline.h"
#include "volume/inputs.h"
#include "volume/physicalimage.h"
#include "volume/resample.h"

namespace {

bool writeMatrix(const std::string& path, const Affine& m) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    for (int r = 0; r < 4; ++r)
        std::fprintf(f, "%.10g %.10g %.10g %.10g\n", m.a[r][0], m.a[r][1], m.a[r][2], m.a[r][3]);
    return std::fclose(f) == 0;
}

struct Clock {
    std::clock_t cpu = std::clock();
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double cpuSeconds() const { return (double)(std::clock() - cpu) / CLOCKS_PER_SEC; }
    double wallSeconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    }
};

// Evaluations of the stage, counted through the progress hook.
struct Counter final : Progress {
    int n = 0;
    void levelBegin(const char*) override {}
    void evaluated(int k) override { n += k; }
    void levelEnd() override {}
};

bool readMatrix(const char* path, Affine& m) {
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    bool ok = true;
    for (int r = 0; r < 4 && ok; ++r)
        for (int c = 0; c < 4 && ok; ++c) ok = std::fscanf(f, "%lf", &m.a[r][c]) == 1;
    std::fclose(f);
    return ok;
}

float costAt(const Volume& s, const WorldGrid& sg, const Volume& r, const WorldGrid& rg, const Affine& w) {
    CostPairOptions o;
    o.exactWeights = true;
    initCorrelationRatio(s, r, o);
    WorldEvaluator ev(s, sg, r, rg, [&](const TransformParams&) { return w; }, nullptr);
    const TransformParams p;
    float c = NAN;
    ev.evaluate(&p, 1, &c);
    freeCorrelationRatio();
    return c;
}

int costs(const Volume& mov, Volume& fix, int n, char** paths) {
    VolumePtr m1 = isotropicResample(mov, 1, 1, 1), f1 = isotropicResample(fix, 1, 1, 1);
    const WorldGrid gm = worldGridOf(mov), gf = worldGridOf(fix);
    const WorldGrid gm1 = levelGrid(gm, mov, 1, 0), gf1 = levelGrid(gf, fix, 1, 0);
    f1->stage = fix.stage = 4;
    std::printf("%-60s %12s %12s\n", "matrix", "cost_1mm", "cost_own");
    for (int i = 0; i < n; ++i) {
        Affine w;
        if (!readMatrix(paths[i], w)) return std::fprintf(stderr, "cannot read %s\n", paths[i]), 1;
        std::printf("%-60s %12.7f %12.7f\n", paths[i], (double)costAt(*m1, gm1, *f1, gf1, w),
                    (double)costAt(mov, gm, fix, gf, w));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: precisionbench MOVING FIXED OUT_PREFIX [VARIANT ...]\n");
        return 1;
    }
    std::string error;
    VolumePtr mov = loadImage(argv[1], error), fix = loadImage(argv[2], error);
    if (!mov || !fix) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (std::string(argv[3]) == "--cost") return costs(*mov, *fix, argc - 4, argv + 4);
    const std::string prefix = argv[3];
    // The search alone: the stage runs below from its answer, once per variant.
    PipelineOptions base = PipelineOptions::registerDefaults();
    base.dof = Dof(12);
    base.search = SearchKind::Wide;
    base.precision = false;
    // FIXED_MASK=FILE: the fixed mask of `register --fixed-mask FILE`, in the search and
    // the stage alike.
    VolumePtr fixedMask;
    if (const char* m = std::getenv("FIXED_MASK"); m && *m) {
        fixedMask = loadMask(m, *fix, "FIXED", error);
        if (!fixedMask) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    }
    const std::unique_ptr<PreparedFixed> prepared = PreparedFixed::prepare(*fix, fixedMask.get());
    if (!prepared) return 1;

    PipelineResult searched;
    const std::string cache = prefix + "_search.params";
    if (FILE* f = std::fopen(cache.c_str(), "r")) {
        for (int i = 0; i < 12; ++i)
            if (std::fscanf(f, "%f", &searched.params[i]) != 1) return 1;
        if (std::fscanf(f, "%f", &searched.cost) != 1) return 1;
        std::fclose(f);
        searched.ran = true;
        std::printf("search: from %s\n", cache.c_str());
    } else {
        const Clock c;
        searched = runPipeline(*mov, *prepared, base);
        std::printf("search: %.2f s processor, %.2f s wall\n", c.cpuSeconds(), c.wallSeconds());
        FILE* o = std::fopen(cache.c_str(), "w");
        for (int i = 0; i < 12; ++i) std::fprintf(o, "%.9g\n", (double)searched.params[i]);
        std::fprintf(o, "%.9g\n", (double)searched.cost);
        std::fclose(o);
    }
    // The search's world matrix as the stage's frame gives it (a stage that moves nothing).
    PipelineOptions none = base;
    none.precisionOptions.maxEvaluations = 1;
    writeMatrix(prefix + "_search.txt", precisionFromSearch(*mov, *prepared, none, searched).world);

    for (int v = 4; v < argc; ++v) {
        const std::string variant = argv[v];
        const size_t colon = variant.find(':');
        const std::string name = variant.substr(0, colon);
        PipelineOptions o = base;
        PipelineResult from = searched;
        double jitter = 0.0;
        unsigned seed = 1;
        Counter counter;
        o.progress = &counter;
        if (colon != std::string::npos) {
            std::stringstream kv(variant.substr(colon + 1));
            std::string item;
            while (std::getline(kv, item, ',')) {
                const size_t eq = item.find('=');
                const std::string k = item.substr(0, eq);
                const double x = std::atof(item.substr(eq + 1).c_str());
                if (k == "coarse") o.precisionOptions.coarsePass = x != 0;
                else if (k == "bound") o.precisionOptions.bound = x;
                else if (k == "cmax") o.precisionOptions.maxEvaluations = (int)x;
                else if (k == "fmax") o.precisionOptions.fineMaxEvaluations = (int)x;
                else if (k == "step") o.precisionOptions.startStep = x;
                else if (k == "fstep") o.precisionOptions.fineStartStep = x;
                else if (k == "tol") o.precisionOptions.tolerance = x;
                else if (k == "radius") o.precisionOptions.radius = (float)x;
                else if (k == "jitter") jitter = x;
                else if (k == "seed") seed = (unsigned)x;
                else return std::fprintf(stderr, "unknown key %s\n", k.c_str()), 1;
            }
        }
        if (jitter > 0.0) {
            // Another start near the search's: every parameter moved by up to `jitter` mm at
            // the 80 mm edge.
            std::mt19937 rng(seed);
            std::uniform_real_distribution<double> u(-jitter, jitter);
            for (int i = 0; i < 12; ++i) {
                const double d = u(rng);
                from.params[i] += (float)(i < 3 ? d / 80.0 * 57.29577951308232 : i < 6 ? d : d / 80.0);
            }
        }
        const Clock c;
        const PipelineResult r = precisionFromSearch(*mov, *prepared, o, from);
        std::printf("%-12s %5d evaluations  %7.2f s processor  %7.2f s wall  cost %.7f -> %.7f\n", name.c_str(),
                    counter.n, c.cpuSeconds(), c.wallSeconds(), (double)searched.cost, (double)r.cost);
        std::fflush(stdout);
        writeMatrix(prefix + "_" + name + ".txt", r.world);
    }
    return 0;
}
