#include "device/cuda/errors.h"

#include <cstdio>
#include <cstdlib>

#include "device/device.h"

namespace cudaerr {

// The first fatal error is the one reported; a check that fails on the way out (a release
// of a handle the reset killed) says nothing more.
void checkCall(cudaError_t code, const char* callText, const char* file, int line) {
    if (code == cudaSuccess || deviceLost()) return;
    markDeviceLost();
    std::fprintf(stderr, "CUDA error at %s:%d code=%d(%s) \"%s\" \n", file, line, (int)code,
                 cudaGetErrorName(code), callText);
    cudaDeviceReset();
    std::exit(1);
}

void checkLast(const char* message, const char* file, int line) {
    if (deviceLost()) return;
    const cudaError_t code = cudaGetLastError();
    if (code == cudaSuccess) return;
    markDeviceLost();
    std::fprintf(stderr, "%s(%i) : getLastCudaError() CUDA error : %s : (%d) %s.\n", file, line,
                 message, (int)code, cudaGetErrorString(code));
    cudaDeviceReset();
    std::exit(1);
}

}  // namespace cudaerr
