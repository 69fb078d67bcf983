#include "device/cuda/errors.h"

#include <cstdio>
#include <cstdlib>

namespace cudaerr {

void checkCall(cudaError_t code, const char* callText, const char* file, int line) {
    if (code == cudaSuccess) return;
    std::fprintf(stderr, "CUDA error at %s:%d code=%d(%s) \"%s\" \n", file, line, (int)code,
                 cudaGetErrorName(code), callText);
    cudaDeviceReset();
    std::exit(1);
}

void checkLast(const char* message, const char* file, int line) {
    const cudaError_t code = cudaGetLastError();
    if (code == cudaSuccess) return;
    std::fprintf(stderr, "%s(%i) : getLastCudaError() CUDA error : %s : (%d) %s.\n", file, line,
                 message, (int)code, cudaGetErrorString(code));
    cudaDeviceReset();
    std::exit(1);
}

}  // namespace cudaerr
