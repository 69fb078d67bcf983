#include "volume/qcpicture.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "volume/stagedfiles.h"
#include "volume/quantile.h"

namespace {

// Each panel's longest side in pixels: big enough to read at 100 % zoom, three side by
// side still fit a screen.
constexpr int kPanelPixels = 300;
constexpr int kMargin = 20;  // room for the side letters around each panel
constexpr int kGap = 24;     // between panels, so that two panels' letters do not meet
// Edge detection: smoothing in voxels of the grid, and the hysteresis thresholds as
// fractions of the strong edges' size.
constexpr float kSmoothVoxels = 1.0f;
constexpr float kLowEdge = 0.3f, kHighEdge = 0.6f;
constexpr uint8_t kEdge[3] = {255, 40, 40};
constexpr uint8_t kLabel[3] = {255, 220, 60};

// Which voxel axis runs along each world axis (R, A, S) and whether its index grows the
// other way. Each voxel axis goes to the world axis it points along most; an oblique grid
// is shown along its own voxel planes.
struct AxisMap {
    int voxelAxis[3];
    bool flipped[3];
};

AxisMap mapAxes(const Volume& g) {
    float m[3][3];
    const float d[3] = {g.dx, g.dy, g.dz};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] = g.orient.code > 0 ? g.orient.m[r][c] : (r == c ? d[c] : 0.0f);
    AxisMap map{{-1, -1, -1}, {false, false, false}};
    bool usedVoxel[3] = {false, false, false};
    // Largest entries first, so that a clear axis is never displaced by a doubtful one.
    for (int round = 0; round < 3; ++round) {
        int bw = -1, bv = -1;
        float best = -1;
        for (int w = 0; w < 3; ++w)
            for (int v = 0; v < 3; ++v)
                if (map.voxelAxis[w] < 0 && !usedVoxel[v] && std::fabs(m[w][v]) > best) {
                    best = std::fabs(m[w][v]);
                    bw = w;
                    bv = v;
                }
        map.voxelAxis[bw] = bv;
        map.flipped[bw] = m[bw][bv] < 0;
        usedVoxel[bv] = true;
    }
    return map;
}

// One plane: picture columns run along world axis `across` (towards + when `acrossUp`),
// rows along world axis `up` from the top (superior or anterior at the top).
struct PanelSpec {
    int across, up;
    bool acrossPositive;  // column index grows towards the positive world direction
    char lowLabel, highLabel, topLabel;
};

// Sagittal (anterior to the right), coronal and axial (subject's left on the left).
constexpr PanelSpec kPanels[3] = {{1, 2, true, 'P', 'A', 'S'}, {0, 2, true, 'L', 'R', 'S'}, {0, 1, true, 'L', 'R', 'A'}};

struct Sampler {
    const Volume& g;
    const std::vector<float>& v;
    float at(const int idx[3]) const { return v[((size_t)idx[2] * g.y + idx[1]) * g.x + idx[0]]; }
};

struct Panel {
    int w = 0, h = 0;
    std::vector<float> fixed, moving;
};

// Samples one plane of both volumes at square pixels of `pixel` mm, bilinear within the
// plane and across the slices, through the centroid.
Panel samplePanel(const Volume& g, const AxisMap& map, const PanelSpec& panel, float pixel, const std::vector<float>& fixed,
                  const std::vector<float>& moving) {
    const int n[3] = {g.x, g.y, g.z};
    const float d[3] = {g.dx, g.dy, g.dz};
    const int slab = 3 - panel.across - panel.up;  // the world axis the plane cuts
    const int va = map.voxelAxis[panel.across], vu = map.voxelAxis[panel.up], vs = map.voxelAxis[slab];
    Panel p;
    p.w = std::max(1, (int)std::lround(n[va] * d[va] / pixel));
    p.h = std::max(1, (int)std::lround(n[vu] * d[vu] / pixel));
    p.fixed.resize((size_t)p.w * p.h);
    p.moving.resize(p.fixed.size());
    // Between the two slices around the centroid, so that the plane is the same wherever
    // the grid's storage order puts its slices.
    const float cs = std::clamp(g.center[vs], 0.0f, (float)(n[vs] - 1));
    const int s0 = std::min((int)cs, n[vs] - 1), s1 = std::min(s0 + 1, n[vs] - 1);
    const float fs = cs - s0;
    int idx[3];
    const Sampler sf{g, fixed}, sm{g, moving};
    for (int row = 0; row < p.h; ++row) {
        // Row 0 is the top: the positive end of the `up` axis.
        float cu = (p.h - 1 - row + 0.5f) * pixel / d[vu] - 0.5f;
        if (map.flipped[panel.up]) cu = n[vu] - 1 - cu;
        for (int col = 0; col < p.w; ++col) {
            float ca = (col + 0.5f) * pixel / d[va] - 0.5f;
            if (map.flipped[panel.across] == panel.acrossPositive) ca = n[va] - 1 - ca;
            const float a = std::clamp(ca, 0.0f, (float)(n[va] - 1)), u = std::clamp(cu, 0.0f, (float)(n[vu] - 1));
            const int a0 = std::min((int)a, n[va] - 1), u0 = std::min((int)u, n[vu] - 1);
            const int a1 = std::min(a0 + 1, n[va] - 1), u1 = std::min(u0 + 1, n[vu] - 1);
            const float fa = a - a0, fu = u - u0;
            auto plane = [&](const Sampler& s, int slice) {
                idx[vs] = slice;
                idx[va] = a0, idx[vu] = u0;
                const float v00 = s.at(idx);
                idx[va] = a1;
                const float v10 = s.at(idx);
                idx[vu] = u1;
                const float v11 = s.at(idx);
                idx[va] = a0;
                const float v01 = s.at(idx);
                return (v00 * (1 - fa) + v10 * fa) * (1 - fu) + (v01 * (1 - fa) + v11 * fa) * fu;
            };
            auto blend = [&](const Sampler& s) { return plane(s, s0) * (1 - fs) + plane(s, s1) * fs; };
            p.fixed[(size_t)row * p.w + col] = blend(sf);
            p.moving[(size_t)row * p.w + col] = blend(sm);
        }
    }
    return p;
}

// Smoothing by a Gaussian of `sigma` pixels, separable, edges clamped.
std::vector<float> smooth(const std::vector<float>& in, int w, int h, float sigma) {
    const int r = std::max(1, (int)std::ceil(2.5f * sigma));
    std::vector<float> k(2 * r + 1);
    float sum = 0;
    for (int i = -r; i <= r; ++i) sum += k[i + r] = std::exp(-0.5f * i * i / (sigma * sigma));
    for (float& x : k) x /= sum;
    std::vector<float> tmp(in.size()), out(in.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float a = 0;
            for (int i = -r; i <= r; ++i) a += k[i + r] * in[(size_t)y * w + std::clamp(x + i, 0, w - 1)];
            tmp[(size_t)y * w + x] = a;
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float a = 0;
            for (int i = -r; i <= r; ++i) a += k[i + r] * tmp[(size_t)std::clamp(y + i, 0, h - 1) * w + x];
            out[(size_t)y * w + x] = a;
        }
    return out;
}

// Gradient magnitude of the smoothed fixed plane, thinned to its ridge across the edge
// (non-maximum suppression), so that the drawn edges are lines one pixel wide.
std::vector<float> edgeStrength(const Panel& p, float sigma) {
    const int w = p.w, h = p.h;
    const std::vector<float> s = smooth(p.fixed, w, h, sigma);
    std::vector<float> gx(s.size(), 0), gy(s.size(), 0), mag(s.size(), 0), out(s.size(), 0);
    for (int y = 1; y + 1 < h; ++y)
        for (int x = 1; x + 1 < w; ++x) {
            const size_t i = (size_t)y * w + x;
            gx[i] = 0.5f * (s[i + 1] - s[i - 1]);
            gy[i] = 0.5f * (s[i + w] - s[i - w]);
            mag[i] = std::hypot(gx[i], gy[i]);
        }
    for (int y = 1; y + 1 < h; ++y)
        for (int x = 1; x + 1 < w; ++x) {
            const size_t i = (size_t)y * w + x;
            if (mag[i] == 0) continue;
            // The neighbours along the gradient, its direction rounded to 45 degrees.
            const float ax = std::fabs(gx[i]), ay = std::fabs(gy[i]);
            int dx = 0, dy = 0;
            if (ax > 2.414f * ay) dx = 1;
            else if (ay > 2.414f * ax) dy = 1;
            else dx = 1, dy = (gx[i] > 0) == (gy[i] > 0) ? 1 : -1;
            const size_t fwd = (size_t)((y + dy) * w + x + dx), back = (size_t)((y - dy) * w + x - dx);
            if (mag[i] >= mag[fwd] && mag[i] > mag[back]) out[i] = mag[i];
        }
    return out;
}

// Edge pixels by hysteresis: ridges above `high`, and ridges above `low` joined to them
// (8-neighbours). Outlines stay whole while isolated noise ridges drop out.
std::vector<uint8_t> traceEdges(const std::vector<float>& ridge, int w, int h, float low, float high) {
    std::vector<uint8_t> on(ridge.size(), 0);
    std::vector<size_t> todo;
    for (size_t i = 0; i < ridge.size(); ++i)
        if (ridge[i] > high) on[i] = 1, todo.push_back(i);
    while (!todo.empty()) {
        const size_t i = todo.back();
        todo.pop_back();
        const int x = (int)(i % w), y = (int)(i / w);
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int nx = x + dx, ny = y + dy;
                if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
                const size_t j = (size_t)ny * w + nx;
                if (!on[j] && ridge[j] > low) on[j] = 1, todo.push_back(j);
            }
    }
    return on;
}

// 5x7 capitals for the side letters, one byte a row, bit 4 the leftmost pixel.
const uint8_t* glyph(char c) {
    static const uint8_t kL[7] = {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1f};
    static const uint8_t kR[7] = {0x1e, 0x11, 0x11, 0x1e, 0x14, 0x12, 0x11};
    static const uint8_t kA[7] = {0x0e, 0x11, 0x11, 0x1f, 0x11, 0x11, 0x11};
    static const uint8_t kP[7] = {0x1e, 0x11, 0x11, 0x1e, 0x10, 0x10, 0x10};
    static const uint8_t kS[7] = {0x0f, 0x10, 0x10, 0x0e, 0x01, 0x01, 0x1e};
    switch (c) {
        case 'L': return kL;
        case 'R': return kR;
        case 'A': return kA;
        case 'P': return kP;
        case 'S': return kS;
    }
    return nullptr;
}

void put(RgbPicture& pic, int x, int y, const uint8_t c[3]) {
    if (x < 0 || y < 0 || x >= pic.width || y >= pic.height) return;
    std::memcpy(&pic.rgb[((size_t)y * pic.width + x) * 3], c, 3);
}

// A letter twice the font's size, centred on (cx, cy).
void letter(RgbPicture& pic, char c, int cx, int cy) {
    const uint8_t* g = glyph(c);
    if (!g) return;
    for (int row = 0; row < 14; ++row)
        for (int col = 0; col < 10; ++col)
            if (g[row / 2] & (0x10 >> (col / 2))) put(pic, cx - 5 + col, cy - 7 + row, kLabel);
}

}  // namespace

RgbPicture renderQcPicture(const Volume& grid, const std::vector<float>& fixed, const std::vector<float>& moving) {
    const AxisMap map = mapAxes(grid);
    const int n[3] = {grid.x, grid.y, grid.z};
    const float d[3] = {grid.dx, grid.dy, grid.dz};
    float extent = 0;
    for (int a = 0; a < 3; ++a) extent = std::max(extent, n[a] * d[a]);
    const float pixel = extent / kPanelPixels;

    Panel panels[3];
    for (int i = 0; i < 3; ++i) panels[i] = samplePanel(grid, map, kPanels[i], pixel, fixed, moving);

    // Grey levels: the moving image between its 1st and 99.5th percentiles.
    const float lo = quantile(moving, 0.01), hi = std::max(quantile(moving, 0.995), lo + 1e-6f);
    // Edges: ridges of the fixed image's gradient after smoothing over about a voxel,
    // measured against the strong edges' typical size (the 95th percentile of the
    // ridges), so that the outlines of head and tissues show and texture does not.
    const float sigma = std::max(1.0f, kSmoothVoxels * std::max({d[0], d[1], d[2]}) / pixel);
    std::vector<float> ridges[3];
    std::vector<float> strengths;
    for (int i = 0; i < 3; ++i) {
        ridges[i] = edgeStrength(panels[i], sigma);
        for (float e : ridges[i])
            if (e > 0) strengths.push_back(e);
    }
    const float strong = strengths.empty() ? 1e30f : quantile(strengths, 0.95);
    std::vector<uint8_t> edges[3];
    for (int i = 0; i < 3; ++i)
        edges[i] = traceEdges(ridges[i], panels[i].w, panels[i].h, kLowEdge * strong, kHighEdge * strong);

    RgbPicture pic;
    pic.height = 2 * kMargin;
    pic.width = 2 * kGap;
    for (const Panel& p : panels) {
        pic.width += p.w + 2 * kMargin;
        pic.height = std::max(pic.height, p.h + 2 * kMargin);
    }
    pic.rgb.assign((size_t)pic.width * pic.height * 3, 0);
    int x0 = 0;
    for (int i = 0; i < 3; ++i) {
        const Panel& p = panels[i];
        const int left = x0 + kMargin, top = (pic.height - p.h) / 2;
        pic.planes[i] = {left, top, p.w, p.h};
        for (int row = 0; row < p.h; ++row)
            for (int col = 0; col < p.w; ++col) {
                const size_t k = (size_t)row * p.w + col;
                if (edges[i][k]) {
                    put(pic, left + col, top + row, kEdge);
                    continue;
                }
                const float t = std::clamp((p.moving[k] - lo) / (hi - lo), 0.0f, 1.0f);
                const uint8_t grey = (uint8_t)std::lround(255.0f * t);
                const uint8_t c[3] = {grey, grey, grey};
                put(pic, left + col, top + row, c);
            }
        const PanelSpec& s = kPanels[i];
        letter(pic, s.lowLabel, left - kMargin / 2, top + p.h / 2);
        letter(pic, s.highLabel, left + p.w + kMargin / 2, top + p.h / 2);
        letter(pic, s.topLabel, left + p.w / 2, top - kMargin / 2);
        x0 += p.w + 2 * kMargin + kGap;
    }
    return pic;
}

bool writePng(const RgbPicture& picture, const char* path, std::string& error, StagedFiles* staged) {
    const std::string dest = path ? path : "";
    if (dest.empty() || dest.back() == '/') {
        error = "cannot write picture '" + dest + "': the name gives no file name";
        return false;
    }
    if (picture.width < 1 || picture.height < 1 || picture.rgb.size() != (size_t)picture.width * picture.height * 3) {
        error = "cannot write picture '" + dest + "': it is empty";
        return false;
    }
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    img.width = (png_uint_32)picture.width;
    img.height = (png_uint_32)picture.height;
    img.format = PNG_FORMAT_RGB;
    const std::string tmp = staged ? staged->add(dest) : temporaryName(dest);
    const bool ok = png_image_write_to_file(&img, tmp.c_str(), 0, picture.rgb.data(), 0, nullptr) != 0;
    png_image_free(&img);
    if (!ok || (!staged && std::rename(tmp.c_str(), dest.c_str()) != 0)) {
        std::remove(tmp.c_str());
        error = "cannot write picture '" + dest + "'";
        return false;
    }
    return true;
}

bool writeQcPicture(const Volume& fixed, const Volume& registered, const char* path, std::string& error,
                    StagedFiles* staged) {
    if (fixed.x != registered.x || fixed.y != registered.y || fixed.z != registered.z || !fixed.owner ||
        !registered.owner || !fixed.data || !registered.data) {
        error = std::string("cannot draw picture '") + (path ? path : "") +
                "': the registered image does not lie on the fixed image's grid";
        return false;
    }
    std::vector<float> f(fixed.count()), m(registered.count());
    fixed.owner->download(f.data(), fixed.data, f.size());
    registered.owner->download(m.data(), registered.data, m.size());
    return writePng(renderQcPicture(fixed, f, m), path, error, staged);
}
