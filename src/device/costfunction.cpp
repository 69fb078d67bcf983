#include "device/costfunction.h"

#include <cstdio>

#include "device/device.h"
#include "device/kernels.h"

// The backend holding this thread's prepared pair, if any: one pair at a time per thread.
// Threads that register at the same time (a batch on the CPU) each have their own backend.
static thread_local Device* prepared = nullptr;

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
}
