#include "device/cuda/cuda_device.h"

#include <cuda_runtime.h>

std::unique_ptr<Device> makeCudaDevice() {
    // No driver, no device, or no kernel image for it: quietly not usable, and no error
    // left pending for the first checked call of the CPU fallback's neighbours.
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count <= 0) {
        cudaGetLastError();
        return nullptr;
    }
    cudaDeviceProp prop{};
    if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess || !cudaKernelsRunnable()) {
        cudaGetLastError();
        return nullptr;
    }
    return std::make_unique<CudaDevice>(std::string(prop.name));
}
