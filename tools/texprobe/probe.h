#pragma once
// The host half of the texture-rule probe: the inputs one GPU call samples, what each
// reading of the hardware (kern::TextureRules) predicts for them, and the verdict. Kept
// apart from the GPU calls so that a CPU test can check that the inputs tell the rules
// apart and that the verdict picks whichever rule produced the values.
#include <string>
#include <vector>

#include "device/kernels.h"

namespace texprobe {

// Linear filtering: a tiny volume of whole numbers resampled along x at positions i/1024
// (a quarter of them put the blend weight exactly halfway between two 1/256 steps). With
// whole-number texels every product and sum is exact, so only the weight rule shows.
struct LinearSetup {
    int x = 5, y = 3, z = 3;
    std::vector<float> values;
    float rx = 1.0f / 1024.0f, ry = 1.0f, rz = 1.0f;
    int outX() const { return (int)((float)x / rx); }
    size_t outCount() const { return (size_t)outX() * y * z; }
};
LinearSetup linearSetup();

// Point sampling along x of a row whose texel k holds k: the coordinates k - m/2048
// (m = 0 .. 8) and k + m/2048 for every inner texel boundary k.
constexpr int kPointTexels = 16;
std::vector<float> pointCoordinates();
std::vector<float> pointTexels();

// What a rule predicts.
std::vector<float> expectedLinear(const LinearSetup& s, kern::TieRule ties);
std::vector<float> expectedPoint(const std::vector<float>& coords, kern::PointRule rule);

struct Candidate {
    std::string name;
    std::vector<float> values;
};
struct Verdict {
    int chosen = -1;       // index of the candidate with the fewest differing values
    bool exact = false;    // ... and it matched bit for bit
    std::string report;    // one line: every candidate's count of differing values
};
Verdict judge(const std::string& what, const std::vector<float>& gpu, const std::vector<Candidate>& candidates);

// The probe's verdict on both rules, ending in the line the check exports:
// "TARVO_TEXTURE_RULES=<point>,<ties>".
struct Result {
    kern::TextureRules rules;
    bool exact = false;
    std::string report;
};
Result decide(const std::vector<float>& gpuLinear, const std::vector<float>& gpuPoint);

}  // namespace texprobe
