#pragma once
// Device-error checks. A failing runtime call or a pending launch error is reported on
// standard error, the device is reset and the process ends with status 1: there is no
// recovery from a device failure.
#include <cuda_runtime.h>

namespace cudaerr {
void checkCall(cudaError_t code, const char* callText, const char* file, int line);
void checkLast(const char* message, const char* file, int line);
}  // namespace cudaerr

// Wraps one runtime call; the message quotes the call as written at the call site.
#define checkCudaCall(call) ::cudaerr::checkCall((call), #call, __FILE__, __LINE__)
// Catches the failure of an unchecked call or launch made before it.
#define getLastCudaError(msg) ::cudaerr::checkLast((msg), __FILE__, __LINE__)
