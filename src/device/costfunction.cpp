#include "device/costfunction.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "device/device.h"
#include "device/kernels.h"

// The backend holding this thread's prepared pair, if any: one pair at a time per thread.
// Threads that register at the same time (a batch on the CPU) each have their own backend.
static thread_local Device* prepared = nullptr;

// The two-way cost on this thread, while prepared: what each pair is made of, so that a
// backend that holds one pair alone can prepare each again when the cost switches.
struct TwoWay {
    bool on = false;
    bool held = false;  // the backend keeps the reverse pair aside (swapCorrelationRatio)
    const Volume* src = nullptr;
    const Volume* ref = nullptr;
    ReferencePtr forward, reverse;
    CostPairOptions forwardOpts, reverseOpts;
    float reverseWeight = kReverseWeight;
};
static thread_local TwoWay twoWay;

static int binsOrComplain(const Volume& ref) {
    int bins = kern::binCountForStage(ref.stage);
    if (!bins) std::printf("\nError Stage!\n");
    return bins;
}

void initCorrelationRatio(const Volume& src, const Volume& ref) {
    initCorrelationRatio(src, ref, CostPairOptions{});
}

void initCorrelationRatio(const Volume& src, const Volume& ref, const CostPairOptions& opts) {
    int bins = binsOrComplain(ref);
    if (!bins) return;
    freeCorrelationRatio();
    deviceOf(src).initCorrelationRatio(src, ref, bins, opts);
    prepared = &deviceOf(src);
}

void reserveCorrelationRatio(const Volume& src, const Volume& ref) {
    if (src.owner) deviceOf(src).reserveCorrelationRatio(src, ref);
}

ReferencePtr prepareReference(const Volume& ref, const Volume* refMask) {
    int bins = binsOrComplain(ref);
    if (!bins) return nullptr;
    return deviceOf(ref).prepareReference(ref, bins, refMask);
}

void initCorrelationRatio(const Volume& src, const Volume& ref, const ReferencePtr& reference,
                          const CostPairOptions& opts) {
    if (!binsOrComplain(ref)) return;
    freeCorrelationRatio();
    deviceOf(src).initCorrelationRatio(src, reference, opts);
    prepared = &deviceOf(src);
}

void freeCorrelationRatio() {
    if (prepared) prepared->freeCorrelationRatio();
    prepared = nullptr;
    twoWay = TwoWay{};
}

void initTwoWayCorrelationRatio(const Volume& src, const Volume& ref, const ReferencePtr& forward,
                                const CostPairOptions& forwardOpts, const ReferencePtr& reverse,
                                const CostPairOptions& reverseOpts, float reverseWeight) {
    if (!binsOrComplain(ref)) return;
    freeCorrelationRatio();
    Device& dev = deviceOf(src);
    const auto t0 = std::chrono::steady_clock::now();
    dev.initCorrelationRatio(ref, reverse, reverseOpts);
    const double reverseSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const bool held = dev.swapCorrelationRatio();
    dev.initCorrelationRatio(src, forward, forwardOpts);
    prepared = &dev;
    twoWay = TwoWay{true, held, &src, &ref, forward, reverse, forwardOpts, reverseOpts, reverseWeight};
    if (verbose())
        std::fprintf(stderr, "tarvo: two-way cost, reverse pair %dx%dx%d prepared in %.3f s (%s)\n", ref.x, ref.y,
                     ref.z, reverseSeconds, held ? "kept aside" : "prepared again at every switch");
}

void setReverseWeight(float weight) {
    if (twoWay.on) twoWay.reverseWeight = weight;
}

bool reverseCostMatrix(const float forward[16], const Volume& src, const Volume& ref, float out[16]) {
    // Forward: ref voxel r -> src texture coordinate t = A (r - cR) + a + cS, cR the
    // truncated ref centre, cS src's centre; src voxel s lies at t = s + 0.5. The reverse
    // pair maps src voxel s to ref's texture coordinate r + 0.5 = B (s - cR') + b + cS' with
    // cR' = src's truncated centre and cS' = ref's centre, so B = A^-1 and
    // b = A^-1 (cR' + 0.5 - a - cS) + cR + 0.5 - cS'.
    double A[3][3], a[3];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) A[r][c] = forward[4 * r + c];
        a[r] = forward[4 * r + 3];
    }
    const double det = A[0][0] * (A[1][1] * A[2][2] - A[1][2] * A[2][1]) -
                       A[0][1] * (A[1][0] * A[2][2] - A[1][2] * A[2][0]) +
                       A[0][2] * (A[1][0] * A[2][1] - A[1][1] * A[2][0]);
    if (!std::isfinite(det) || std::fabs(det) < 1e-12) return false;
    double B[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            B[r][c] = (A[r1][c1] * A[r2][c2] - A[r1][c2] * A[r2][c1]) / det;
        }
    double v[3];
    for (int k = 0; k < 3; ++k) v[k] = std::trunc((double)src.center[k]) + 0.5 - a[k] - (double)src.center[k];
    for (int r = 0; r < 3; ++r) {
        double b = std::trunc((double)ref.center[r]) + 0.5 - (double)ref.center[r];
        for (int c = 0; c < 3; ++c) {
            b += B[r][c] * v[c];
            out[4 * r + c] = (float)B[r][c];
        }
        out[4 * r + 3] = (float)b;
    }
    out[12] = out[13] = out[14] = 0.0f;
    out[15] = 1.0f;
    return true;
}

// The reverse pair's values for the forward matrices; a matrix without an inverse gets 1,
// the value of no correlation.
static void reverseValues(const float* matrices, int n, float* values) {
    thread_local std::vector<float> inverse;
    thread_local std::vector<int> which;
    inverse.clear();
    which.clear();
    for (int i = 0; i < n; ++i) {
        values[i] = 1.0f;
        float m[16];
        if (!reverseCostMatrix(matrices + 16 * (size_t)i, *twoWay.src, *twoWay.ref, m)) continue;
        inverse.insert(inverse.end(), m, m + 16);
        which.push_back(i);
    }
    if (which.empty()) return;
    thread_local std::vector<float> got;  // every batch of a search: no allocation after the first
    got.resize(which.size());
    Device& dev = *prepared;
    if (twoWay.held) {
        dev.swapCorrelationRatio();
        dev.calcCorrelationRatio(inverse.data(), (int)which.size(), got.data());
        dev.swapCorrelationRatio();
    } else {
        dev.initCorrelationRatio(*twoWay.ref, twoWay.reverse, twoWay.reverseOpts);
        dev.calcCorrelationRatio(inverse.data(), (int)which.size(), got.data());
        dev.initCorrelationRatio(*twoWay.src, twoWay.forward, twoWay.forwardOpts);
    }
    for (size_t j = 0; j < which.size(); ++j) values[which[j]] = got[j];
}

void calcCorrelationRatio(const Volume& src, const Volume& ref, const float* matrix, float* result) {
    calcCorrelationRatioBatch(src, ref, matrix, 1, result);
}

void calcCorrelationRatioBatch(const Volume& /*src*/, const Volume& ref, const float* matrices, int n,
                               float* results) {
    for (int i = 0; i < n; ++i) results[i] = 0.0f;
    if (n <= 0 || !binsOrComplain(ref)) return;
    if (!prepared) {  // nothing prepared: nothing to measure
        for (int i = 0; i < n; ++i) results[i] = 1.0f;
        return;
    }
    prepared->calcCorrelationRatio(matrices, n, results);
    if (!twoWay.on || twoWay.reverseWeight == 0.0f) return;
    thread_local std::vector<float> reverse;
    reverse.resize((size_t)n);
    reverseValues(matrices, n, reverse.data());
    const float w = twoWay.reverseWeight;
    for (int i = 0; i < n; ++i) results[i] = (1.0f - w) * results[i] + w * reverse[i];
}
