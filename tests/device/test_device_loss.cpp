// After a fatal device error the process ends with that one error: the exit-time release
// of the process's backend, and of whatever it still holds, must not touch the device.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "device/device.h"
#include "volume/volume.h"
#ifdef TARVO_WITH_CUDA
#include "device/cuda/errors.h"
#endif

namespace {

// A backend that only says when it is touched. What it holds stays reachable (from
// `fake` below) when the exit leaves it alone, so a leak checker does not count it.
class TellingDevice final : public Device {
public:
    ~TellingDevice() override { touched("destroyed"); }
    const char* kind() const override { return "fake"; }
    std::string description() const override { return "fake"; }
    float* allocVoxels(size_t n) override {
        held_.push_back(std::vector<float>(n ? n : 1));
        return held_.back().data();
    }
    void freeVoxels(float*) override { touched("freeVoxels"); }
    float* allocStaging(size_t n) override { return allocVoxels(n); }
    void freeStaging(float*) override { touched("freeStaging"); }
    void upload(float*, const float*, size_t) override {}
    void download(float*, const float*, size_t) override {}
    void isotropicResample(const Volume&, Volume&, float, float, float) override {}
    void halfSample(const Volume&, Volume&) override {}
    void transformVolume(const Volume&, Volume&, const float*, bool, float) override {}
    void initCorrelationRatio(const Volume&, const Volume&, int, const CostPairOptions&) override {}
    void freeCorrelationRatio() override { touched("freeCorrelationRatio"); }
    void calcCorrelationRatio(const float*, int, float*) override {}

private:
    static void touched(const char* what) { std::fprintf(stderr, "device touched: %s\n", what); }
    std::vector<std::vector<float>> held_;
};

// The backends of the child processes, kept reachable.
Device* fake = nullptr;
Device* previous = nullptr;

void useTellingDevice() {
    auto d = std::make_unique<TellingDevice>();
    fake = d.get();
    previous = swapDeviceForTesting(std::move(d)).release();
}

// Stands for a device failure met in the middle of a prepared cost pair.
[[noreturn]] void failOnTheDevice() {
#ifdef TARVO_WITH_CUDA
    checkCudaCall(cudaErrorLaunchFailure);
#else
    markDeviceLost();
    std::fprintf(stderr, "CUDA error at fake\n");
    std::exit(1);
#endif
    std::abort();  // not reached: the check ends the process
}

int count(const std::string& s, const std::string& what) {
    int n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(DeviceLoss, OneErrorThenNothingTouchesTheDevice) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto exactlyOneError = testing::Truly([](const std::string& err) {
        return count(err, "CUDA error") == 1 && count(err, "device touched") == 0;
    });
    EXPECT_EXIT(
        {
            // The process's backend and a volume it holds at exit.
            useTellingDevice();
            static VolumePtr held = makeVolume(4, 4, 4, &device());
            failOnTheDevice();
        },
        testing::ExitedWithCode(1), exactlyOneError);

    // Without a failure the same exit releases everything (the fake says so), which is what
    // makes the silence above meaningful.
    EXPECT_EXIT(
        {
            useTellingDevice();
            std::exit(1);
        },
        testing::ExitedWithCode(1), testing::HasSubstr("device touched: destroyed"));
}
