#include "probe.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "volume/volume.h"

namespace texprobe {

LinearSetup linearSetup() {
    LinearSetup s;
    s.values.resize((size_t)s.x * s.y * s.z);
    // Neighbours differ by odd amounts, so a weight one step off always shows.
    for (size_t v = 0; v < s.values.size(); ++v) s.values[v] = (float)((v * 37 + 11) % 251);
    return s;
}

std::vector<float> pointCoordinates() {
    std::vector<float> c;
    for (int k = 1; k < kPointTexels; ++k)
        for (int m = 0; m <= 8; ++m) {
            c.push_back((float)k - (float)m / 2048.0f);
            if (m) c.push_back((float)k + (float)m / 2048.0f);
        }
    return c;
}

std::vector<float> pointTexels() {
    std::vector<float> t(kPointTexels);
    for (int k = 0; k < kPointTexels; ++k) t[k] = (float)k;
    return t;
}

std::vector<float> expectedLinear(const LinearSetup& s, kern::TieRule ties) {
    kern::TextureRules rules;
    rules.ties = ties;
    std::unique_ptr<Device> cpu = makeCpuDevice(1, rules);
    VolumePtr in = makeVolume(s.x, s.y, s.z, cpu.get());
    cpu->upload(in->data, s.values.data(), s.values.size());
    VolumePtr out = makeVolume(s.outX(), s.y, s.z, cpu.get());
    cpu->isotropicResample(*in, *out, s.rx, s.ry, s.rz);
    std::vector<float> v(out->count());
    cpu->download(v.data(), out->data, v.size());
    return v;
}

std::vector<float> expectedPoint(const std::vector<float>& coords, kern::PointRule rule) {
    const std::vector<float> t = pointTexels();
    std::vector<float> v(coords.size());
    for (size_t i = 0; i < coords.size(); ++i)
        v[i] = kern::fetchPoint(t.data(), kern::Dim3{kPointTexels, 1, 1}, coords[i], 0.5f, 0.5f, rule);
    return v;
}

Verdict judge(const std::string& what, const std::vector<float>& gpu, const std::vector<Candidate>& candidates) {
    Verdict v;
    v.report = what + " (" + std::to_string(gpu.size()) + " samples):";
    size_t best = (size_t)-1;
    for (size_t c = 0; c < candidates.size(); ++c) {
        const std::vector<float>& e = candidates[c].values;
        size_t differ = e.size() == gpu.size() ? 0 : gpu.size() + 1;
        float worst = 0.0f;
        long first = -1;
        for (size_t i = 0; i < gpu.size() && i < e.size(); ++i)
            if (std::memcmp(&gpu[i], &e[i], sizeof(float)) != 0) {
                ++differ;
                worst = std::fmax(worst, std::fabs(gpu[i] - e[i]));
                if (first < 0) first = (long)i;
            }
        char buf[160];
        if (differ == 0)
            std::snprintf(buf, sizeof buf, " %s matches bit for bit;", candidates[c].name.c_str());
        else
            std::snprintf(buf, sizeof buf, " %s: %zu differ (largest %g, first at %ld);",
                          candidates[c].name.c_str(), differ, worst, first);
        v.report += buf;
        if (differ < best) {
            best = differ;
            v.chosen = (int)c;
        }
    }
    v.exact = best == 0;
    if (v.chosen >= 0)
        v.report += (v.exact ? " -> " : " -> none matches; closest ") + candidates[v.chosen].name;
    return v;
}

Result decide(const std::vector<float>& gpuLinear, const std::vector<float>& gpuPoint) {
    const LinearSetup s = linearSetup();
    const Verdict lin = judge("linear weights at ties", gpuLinear,
                              {{"even", expectedLinear(s, kern::TieRule::ToEven)},
                               {"up", expectedLinear(s, kern::TieRule::HalfUp)}});
    const std::vector<float> coords = pointCoordinates();
    const Verdict pt = judge("point sampling near texel boundaries", gpuPoint,
                             {{"floor", expectedPoint(coords, kern::PointRule::Floor)},
                              {"fixed8", expectedPoint(coords, kern::PointRule::Fixed8)}});
    Result r;
    r.rules.ties = lin.chosen == 1 ? kern::TieRule::HalfUp : kern::TieRule::ToEven;
    r.rules.point = pt.chosen == 1 ? kern::PointRule::Fixed8 : kern::PointRule::Floor;
    r.exact = lin.exact && pt.exact;
    r.report = lin.report + "\n" + pt.report + "\nTARVO_TEXTURE_RULES=" + textureRulesName(r.rules) + "\n";
    return r;
}

}  // namespace texprobe
