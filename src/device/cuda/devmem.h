#pragma once
// Device and page-locked allocations of the CUDA backend, each entered in a ledger (when
// one is given) so that tests and benchmarks can count them and see the peak.
#include <cuda_runtime.h>

#include <cstddef>

#include "device/cuda/errors.h"
#include "device/scratch.h"

namespace devmem {

template <class T>
void allocDevice(T*& p, size_t n, scratch::Ledger* ledger) {
    p = nullptr;
    const size_t bytes = sizeof(T) * (n ? n : 1);
    checkCudaCall(cudaMalloc((void**)&p, bytes));
    if (ledger) ledger->allocated(p, bytes);
}

template <class T>
void freeDevice(T*& p, scratch::Ledger* ledger) {
    if (p) {
        if (ledger) ledger->freed(p);
        checkCudaCall(cudaFree(p));
    }
    p = nullptr;
}

template <class T>
void allocPinned(T*& p, size_t n, scratch::Ledger* ledger) {
    p = nullptr;
    const size_t bytes = sizeof(T) * (n ? n : 1);
    checkCudaCall(cudaMallocHost((void**)&p, bytes));
    if (ledger) ledger->allocated(p, bytes);
}

template <class T>
void freePinned(T*& p, scratch::Ledger* ledger) {
    if (p) {
        if (ledger) ledger->freed(p);
        checkCudaCall(cudaFreeHost(p));
    }
    p = nullptr;
}

// A buffer of device memory that only grows.
template <class T>
void growDevice(T*& p, size_t& cap, size_t n, scratch::Ledger* ledger) {
    if (n <= cap && p) return;
    freeDevice(p, ledger);
    allocDevice(p, n, ledger);
    cap = n;
}

}  // namespace devmem
