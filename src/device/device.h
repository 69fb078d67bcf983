#pragma once
// The one interface to whatever does the voxel work. Two implementations: the CUDA
// backend (a GPU) and the CPU backend; both compute the same function (see kernels.h).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "device/kernels.h"
#include "volume/volume.h"

// What a prepared cost pair may add to the plain correlation ratio. The default is the
// plain cost of the six commands; the registration pipeline fills the rest.
struct CostPairOptions {
    // On ref's grid: only reference voxels where the mask is non-zero enter the bins.
    const Volume* refMask = nullptr;
    // On src's grid: only samples whose source position lies inside the mask count.
    const Volume* srcMask = nullptr;
    // Full-precision trilinear weights instead of the 8-bit weights of texture filtering.
    bool exactWeights = false;
};

// Memory a backend has allocated for itself (device and page-locked host memory on a GPU).
struct DeviceMemoryStats {
    uint64_t allocations = 0;  // allocations made so far
    uint64_t bytesInUse = 0;
    uint64_t peakBytes = 0;
};

// The reference side of a cost pair: the reference voxels grouped into bins (the fixed
// mask applied), with the reference's centre. Depends on the reference alone, so one
// prepared reference serves any number of sources on the backend that made it; a pair
// shares ownership of it while prepared.
class PreparedReference {
public:
    virtual ~PreparedReference() = default;
};
using ReferencePtr = std::shared_ptr<const PreparedReference>;

// The voxel memory and its transfers are those of VoxelMemory (volume.h).
class Device : public VoxelMemory {
public:
    virtual const char* kind() const = 0;         // "cpu" or "cuda"
    virtual std::string description() const = 0;  // GPU model or CPU thread count

    // Frees the voxels unless the device was lost (see markDeviceLost).
    void releaseVoxels(float* p) final;

    // Resampling: `out` is already allocated with its final geometry.
    virtual void isotropicResample(const Volume& in, Volume& out, float rx, float ry, float rz) = 0;
    virtual void halfSample(const Volume& in, Volume& out) = 0;
    // Maps out-grid voxels through `affine` (row-major 4x4, reference voxel units) into
    // the source, using src.center, out.center and both voxel sizes. `nearest`: the
    // value of the voxel nearest to each position instead of the trilinear blend.
    // Positions outside the source get `outside`.
    virtual void transformVolume(const Volume& src, Volume& out, const float affine[16], bool nearest,
                                 float outside) = 0;

    // The prepared cost pair (one at a time). binCount is 64, 128 or 256.
    virtual void initCorrelationRatio(const Volume& src, const Volume& ref, int binCount,
                                      const CostPairOptions& opts) = 0;
    // The reference side alone (refMask: on ref's grid, or null), to be paired with one
    // source after another. The default keeps only what it is given and prepares it again
    // with each pair; ref and refMask must then outlive the reference. A backend that can
    // keep the prepared side overrides both (the CPU and the GPU backend do).
    virtual ReferencePtr prepareReference(const Volume& ref, int binCount, const Volume* refMask);
    // A pair of `src` with a reference prepared by this backend (opts.refMask is not used);
    // a null reference prepares nothing.
    virtual void initCorrelationRatio(const Volume& src, ReferencePtr ref, const CostPairOptions& opts);
    // Frees the prepared pair and the one set aside (swapCorrelationRatio), if any.
    virtual void freeCorrelationRatio() = 0;
    // Exchanges the prepared pair with the one set aside (none at first), so that a cost of
    // two pairs alternates between them without preparing either again. False where the
    // backend holds one pair alone (the GPU's source lies in its one texture): the caller
    // then prepares each pair again when it switches.
    virtual bool swapCorrelationRatio() { return false; }
    // n matrices (16 floats each, contiguous) -> n values of 1 - correlation ratio.
    virtual void calcCorrelationRatio(const float* matrices, int n, float* results) = 0;
    // Sizes the working memory of cost pairs once for pairs up to these two volumes (a
    // registration's finest level), so that preparing the smaller pairs before it
    // allocates nothing. Optional: a backend that needs no such memory ignores it.
    virtual void reserveCorrelationRatio(const Volume& /*src*/, const Volume& /*ref*/) {}
    // What the backend has allocated for itself; zeros where it does not count.
    virtual DeviceMemoryStats memoryStats() const { return {}; }
};

// The backend chosen once, at first use, from TARVO_DEVICE (auto, cpu, cuda) and
// TARVO_THREADS. When there is none (no GPU for "cuda", a setting that does not parse),
// device() says why on standard output, as the original commands report, and ends the
// process; the other front ends ask chosenDevice first, which gives the reason instead.
Device& device();
Device* chosenDevice(std::string& error);

// A new volume of the given counts with every byte of its voxels set to 0x05 (the
// allocation fill) and all other fields zero, t = 1. Counts must be positive and their
// product at most kMaxVoxels (callers check). Allocated on `dev`, or on the process's
// chosen backend when null; derived volumes live on the backend of their input.
VolumePtr makeVolume(int32_t x, int32_t y, int32_t z, Device* dev = nullptr);
// The backend that holds a volume's voxels: the one makeVolume allocated them on, which
// is the only place that sets Volume::owner.
inline Device& deviceOf(const Volume& v) { return static_cast<Device&>(*v.owner); }

// Tests only: puts `d` in place of the chosen backend and returns the one it replaces.
std::unique_ptr<Device> swapDeviceForTesting(std::unique_ptr<Device> d);

// After a fatal device error the process is on its way out: the device has been reset and
// every handle into it is dead, so nothing may touch it again, neither the exit-time
// destructor of the backend nor a release on the way. The fatal error paths mark it.
void markDeviceLost();
bool deviceLost();
// True when TARVO_VERBOSE=1: device name and stage times on standard error.
bool verbose();

// The texture rules the CPU backend imitates, from TARVO_TEXTURE_RULES: "<point>,<ties>"
// with point "floor" or "fixed8" and ties "even" or "up" (see kern::TextureRules); unset
// means the defaults, "floor,even". A value that does not parse ends the process.
kern::TextureRules textureRulesFromEnv();
bool parseTextureRules(const char* text, kern::TextureRules& out);
std::string textureRulesName(kern::TextureRules rules);

// 0 threads: TARVO_THREADS, else all hardware threads. Rules from TARVO_TEXTURE_RULES.
std::unique_ptr<Device> makeCpuDevice(int threads = 0);
// The threads that makeCpuDevice(0) gives its backend.
int defaultCpuThreads();
constexpr int kMaxThreads = 4096;
// TARVO_THREADS: 0 when unset or empty; false (with `error`, a whole sentence) when it is
// not a whole number from 1 to kMaxThreads.
bool cpuThreadsSetting(int& threads, std::string& error);
std::unique_ptr<Device> makeCpuDevice(int threads, kern::TextureRules rules);
// A backend by name (auto, cpu, cuda) without ending the process: null with `error` (what
// follows the name in a message) when "cuda" finds no usable GPU or the name is unknown.
std::unique_ptr<Device> makeDevice(const std::string& want, std::string& error);
#ifdef TARVO_WITH_CUDA
// Null when no usable GPU.
std::unique_ptr<Device> makeCudaDevice();
#endif
