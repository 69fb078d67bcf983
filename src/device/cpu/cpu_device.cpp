#include "device/cpu/cpu_device.h"

#include <string>

#include "device/cpu/costpair.h"
#include "device/cpu/simd.h"

CpuDevice::CpuDevice(int threads, kern::TextureRules rules) : pool_(threads), rules_(rules) {}
CpuDevice::~CpuDevice() = default;

std::string CpuDevice::description() const {
    return "CPU, " + std::to_string(pool_.size()) + " threads" +
           (simdAvailable() ? ", AVX2" : "");
}
