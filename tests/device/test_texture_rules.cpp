// The two readings of the texture hardware (kern::TextureRules), the switch that selects
// one for the CPU backend, and the probe that tells them apart in one GPU call.
#include <gtest/gtest.h>

#include <cstring>

#include "../../tools/texprobe/probe.h"
#include "device/costfunction.h"
#include "device/cpu/cpu_device.h"
#include "device/cpu/simd.h"
#include "device/kernels.h"
#include "support/testvolumes.h"

using kern::PointRule;
using kern::TextureRules;
using kern::TieRule;

TEST(TextureRules, WeightTiesAndPointCoordinatesFollowTheRule) {
    // 1.5 and 2.5 steps: even rounds both to 2, up gives 2 and 3; off-tie values agree.
    EXPECT_EQ(kern::quantizeWeight(1.5f / 256, TieRule::ToEven), 2.0f / 256);
    EXPECT_EQ(kern::quantizeWeight(1.5f / 256, TieRule::HalfUp), 2.0f / 256);
    EXPECT_EQ(kern::quantizeWeight(2.5f / 256, TieRule::ToEven), 2.0f / 256);
    EXPECT_EQ(kern::quantizeWeight(2.5f / 256, TieRule::HalfUp), 3.0f / 256);
    EXPECT_EQ(kern::quantizeWeight(0.3f, TieRule::ToEven), kern::quantizeWeight(0.3f, TieRule::HalfUp));
    const float d[2] = {0, 256};
    EXPECT_EQ(kern::fetchLinear(d, {2, 1, 1}, 0.5f + 2.5f / 256, 0.5f, 0.5f, TieRule::HalfUp), 3.0f);
    EXPECT_EQ(kern::fetchLinear(d, {2, 1, 1}, 0.5f + 2.5f / 256, 0.5f, 0.5f), 2.0f);  // default: even

    // Within 1/512 below a boundary fixed8 reads the texel above; further below, both agree.
    EXPECT_EQ(kern::pointAxis(3.0f - 1.0f / 1024, 8, PointRule::Floor), 2);
    EXPECT_EQ(kern::pointAxis(3.0f - 1.0f / 1024, 8, PointRule::Fixed8), 3);
    EXPECT_EQ(kern::pointAxis(3.0f - 1.0f / 512, 8, PointRule::Fixed8), 3);  // tie: to even
    EXPECT_EQ(kern::pointAxis(3.0f - 1.0f / 256, 8, PointRule::Fixed8), 2);
    EXPECT_EQ(kern::pointAxis(7.9999f, 8, PointRule::Fixed8), 7);  // still clamped
    EXPECT_EQ(kern::pointAxis(-1e35f, 8, PointRule::Fixed8), 0);
    EXPECT_EQ(kern::pointAxis(NAN, 8, PointRule::Fixed8), kern::pointAxis(NAN, 8, PointRule::Floor));
}

TEST(TextureRules, EnvironmentValuesParseAndNameRoundTrip) {
    for (const char* name : {"floor,even", "floor,up", "fixed8,even", "fixed8,up"}) {
        TextureRules r;
        ASSERT_TRUE(parseTextureRules(name, r)) << name;
        EXPECT_EQ(textureRulesName(r), name);
    }
    TextureRules r;
    for (const char* bad : {"", "floor", "floor,", "Floor,even", "fixed8,even,", "floor;up", "fixed,up"})
        EXPECT_FALSE(parseTextureRules(bad, r)) << bad;
    EXPECT_EQ(textureRulesName(TextureRules{}), "floor,even");  // the default
}

// Every combination of rules that the probe might report: the vector path of the cost
// still gives the scalar path's sums bit for bit, and the rules reach the cost. Pure
// shifts by multiples of 1/512 put many samples on weight ties and near texel boundaries.
TEST(TextureRules, CostFollowsTheRulesOnBothPaths) {
    std::vector<float> costs;
    for (PointRule point : {PointRule::Floor, PointRule::Fixed8})
        for (TieRule ties : {TieRule::ToEven, TieRule::HalfUp}) {
            auto dev = makeCpuDevice(1, TextureRules{point, ties});
            VolumePtr src = volumeOf(*dev, 24, 20, 18, [](int i, int j, int k) {
                return (float)((i * 37 + j * 11 + k * 5) % 200 + 20);
            });
            VolumePtr ref = volumeOf(*dev, 24, 20, 18, [](int i, int j, int k) {
                return (float)((i * 13 + j * 7 + k * 29) % 250);
            });
            for (float voxel : {1.0f, 4.0f}) {  // linear, then point sampling
                src->dx = voxel;
                ref->stage = src->stage = 4;
                initCorrelationRatio(*src, *ref);
                const cpucost::Pair& pr = *static_cast<CpuDevice&>(*dev).pair();
                for (int m = 1; m <= 9; ++m) {
                    float a[16] = {1, 0, 0, m / 512.0f - 1.0f / 4096, 0, 1, 0, m / 512.0f, 0, 0, 1, -m / 1024.0f, 0, 0, 0, 1};
                    float total[3] = {0, 0, 0};
                    for (const auto& ch : pr.ref->chunks) {
                        float s[3], v[3];
                        scalarChunkSums(pr, a, &ch, 1, s);
                        if (simdAvailable()) {
                            simdChunkSums(pr, a, &ch, 1, v);
                            ASSERT_EQ(0, std::memcmp(s, v, sizeof s))
                                << textureRulesName({point, ties}) << " voxel " << voxel << " shift " << m;
                        }
                        for (int e = 0; e < 3; ++e) total[e] += s[e];
                    }
                    costs.push_back(total[0]);
                }
                freeCorrelationRatio();
            }
        }
    // Rules sharing the point rule agree under point sampling, those sharing the tie rule
    // under linear filtering; each rule changes something somewhere.
    const size_t per = 18;  // 9 linear, then 9 point, per combination
    auto block = [&](int combo, int point) {
        return std::vector<float>(costs.begin() + combo * per + point * 9, costs.begin() + combo * per + point * 9 + 9);
    };
    EXPECT_EQ(block(0, 1), block(1, 1));
    EXPECT_EQ(block(2, 1), block(3, 1));
    EXPECT_NE(block(0, 1), block(2, 1));
    EXPECT_EQ(block(0, 0), block(2, 0));
    EXPECT_EQ(block(1, 0), block(3, 0));
    EXPECT_NE(block(0, 0), block(1, 0));
}

// The probe's inputs tell the rules apart, and whichever rule produced the "GPU" values
// is the one the probe names, bit for bit.
TEST(TextureProbe, NamesWhicheverRuleProducedTheValues) {
    const texprobe::LinearSetup s = texprobe::linearSetup();
    const std::vector<float> coords = texprobe::pointCoordinates();
    const std::vector<float> even = texprobe::expectedLinear(s, TieRule::ToEven),
                             up = texprobe::expectedLinear(s, TieRule::HalfUp);
    ASSERT_EQ(even.size(), s.outCount());
    size_t differ = 0;
    for (size_t i = 0; i < even.size(); ++i) differ += even[i] != up[i];
    EXPECT_GT(differ, even.size() / 40);  // ties at a quarter of the x positions; half round apart
    const std::vector<float> floorV = texprobe::expectedPoint(coords, PointRule::Floor),
                             fixedV = texprobe::expectedPoint(coords, PointRule::Fixed8);
    EXPECT_NE(floorV, fixedV);

    for (PointRule point : {PointRule::Floor, PointRule::Fixed8})
        for (TieRule ties : {TieRule::ToEven, TieRule::HalfUp}) {
            const texprobe::Result r = texprobe::decide(ties == TieRule::ToEven ? even : up,
                                                        point == PointRule::Floor ? floorV : fixedV);
            EXPECT_TRUE(r.exact);
            EXPECT_TRUE(r.rules == (TextureRules{point, ties}));
            const std::string last = "TARVO_TEXTURE_RULES=" + textureRulesName({point, ties}) + "\n";
            EXPECT_EQ(r.report.substr(r.report.size() - last.size()), last) << r.report;
        }

    // Hardware that follows neither: the closest is named, and the report says so.
    std::vector<float> odd = up;
    odd[7] += 1.0f;
    const texprobe::Result r = texprobe::decide(odd, floorV);
    EXPECT_FALSE(r.exact);
    EXPECT_EQ(r.rules.ties, TieRule::HalfUp);
    EXPECT_NE(r.report.find("none matches; closest up"), std::string::npos) << r.report;
}
