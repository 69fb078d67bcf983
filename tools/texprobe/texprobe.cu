// One GPU call that settles which texture rules the hardware follows (see probe.h):
// linear filtering through the backend's own isotropicResample, point sampling through a
// small sampling kernel. Prints one line per rule and, last, the TARVO_TEXTURE_RULES value
// the CPU backend should imitate. Status 0 when both rules matched bit for bit, 3 when only
// the closest could be named, 1 without a usable GPU.
#include <cuda_runtime.h>

#include <cstdio>
#include <vector>

#include "device/cuda/errors.h"
#include "device/cuda/texture.h"
#include "device/device.h"
#include "probe.h"

namespace {

__global__ void pointSampleKernel(cudaTextureObject_t t, const float* coords, float* out, unsigned n) {
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) out[i] = tex3D<float>(t, coords[i], 0.5f, 0.5f);
}

std::vector<float> gpuLinear(Device& gpu) {
    const texprobe::LinearSetup s = texprobe::linearSetup();
    VolumePtr in = makeVolume(s.x, s.y, s.z, &gpu);
    gpu.upload(in->data, s.values.data(), s.values.size());
    VolumePtr out = makeVolume(s.outX(), s.y, s.z, &gpu);
    gpu.isotropicResample(*in, *out, s.rx, s.ry, s.rz);
    std::vector<float> v(out->count());
    gpu.download(v.data(), out->data, v.size());
    return v;
}

std::vector<float> gpuPoint(Device& gpu) {
    const std::vector<float> texels = texprobe::pointTexels(), coords = texprobe::pointCoordinates();
    VolumePtr row = makeVolume(texprobe::kPointTexels, 1, 1, &gpu);
    gpu.upload(row->data, texels.data(), texels.size());
    SourceTexture tex = bindSourceTexture(*row, cudaFilterModePoint);
    float *dCoords = nullptr, *dOut = nullptr;
    const unsigned n = (unsigned)coords.size();
    checkCudaCall(cudaMalloc((void**)&dCoords, sizeof(float) * n));
    checkCudaCall(cudaMalloc((void**)&dOut, sizeof(float) * n));
    checkCudaCall(cudaMemcpy(dCoords, coords.data(), sizeof(float) * n, cudaMemcpyHostToDevice));
    pointSampleKernel<<<(n + 127) / 128, 128>>>(tex.tex, dCoords, dOut, n);
    getLastCudaError("after pointSampleKernel failed");
    std::vector<float> v(n);
    checkCudaCall(cudaMemcpy(v.data(), dOut, sizeof(float) * n, cudaMemcpyDeviceToHost));
    releaseSourceTexture(tex);
    checkCudaCall(cudaFree(dCoords));
    checkCudaCall(cudaFree(dOut));
    return v;
}

}  // namespace

int main() {
    std::unique_ptr<Device> gpu = makeCudaDevice();
    if (!gpu) {
        std::printf("texprobe: no usable CUDA GPU\n");
        return 1;
    }
    std::printf("texprobe: %s\n", gpu->description().c_str());
    const std::vector<float> lin = gpuLinear(*gpu), pt = gpuPoint(*gpu);
    const texprobe::Result r = texprobe::decide(lin, pt);
    std::fputs(r.report.c_str(), stdout);
    return r.exact ? 0 : 3;
}
