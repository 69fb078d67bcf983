#include "volume/qcpicture.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "device/device.h"
#include "volume/captionfont.h"
#include "volume/stagedfiles.h"
#include "volume/quantile.h"

namespace {

// Each panel's longest side in pixels: big enough to read at 100 % zoom, three side by
// side still fit a screen.
constexpr int kPanelPixels = 300;
constexpr int kMargin = 20;  // room for the side letters around each panel
constexpr int kGap = 24;     // between panels, so that two panels' letters do not meet
// Edge detection: the fixed image smoothed as a volume over kSmoothMm, or a voxel where
// voxels are larger, and the hysteresis thresholds as fractions of the strong edges' size.
//
// The smoothing is the scale of the boundaries that a registration aligns. Over one voxel
// and within the plane alone it drew texture that no other head shares: the sagittal plane
// through a brain's centroid lies in the midline fissure, where a template's thin midline
// sheets (the band along the tentorium) and the cut edges of the vermis's folia drew a fan
// of straight lines in every sagittal panel.
constexpr float kSmoothMm = 2.0f;
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
// plane and across the slices, through the centroid; the fixed one is smoothed across the
// plane by a Gaussian of `smoothMm`.
Panel samplePanel(const Volume& g, const AxisMap& map, const PanelSpec& panel, float pixel, float smoothMm,
                  const std::vector<float>& fixed, const std::vector<float>& moving) {
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
    // The fixed image's plane is smoothed across the slices as much as it is within the
    // plane (renderQcPicture), so that its edges are the volume's.
    struct Tap {
        int s0, s1;
        float fs, weight;
    };
    auto tap = [&](float c, float weight) {
        c = std::clamp(c, 0.0f, (float)(n[vs] - 1));
        const int s0 = std::min((int)c, n[vs] - 1);
        return Tap{s0, std::min(s0 + 1, n[vs] - 1), c - s0, weight};
    };
    const Tap movingTap = tap(cs, 1.0f);
    std::vector<Tap> fixedTaps;
    const float sigma = smoothMm / d[vs];
    const int reach = (int)std::ceil(2.5f * sigma);
    float total = 0;
    for (int t = -reach; t <= reach; ++t) {
        const float w = std::exp(-0.5f * t * t / (sigma * sigma));
        fixedTaps.push_back(tap(cs + t, w));
        total += w;
    }
    for (Tap& t : fixedTaps) t.weight /= total;
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
            auto blend = [&](const Sampler& s, const Tap& t) { return plane(s, t.s0) * (1 - t.fs) + plane(s, t.s1) * t.fs; };
            float f = 0;
            for (const Tap& t : fixedTaps) f += t.weight * blend(sf, t);
            p.fixed[(size_t)row * p.w + col] = f;
            p.moving[(size_t)row * p.w + col] = blend(sm, movingTap);
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

// The characters of UTF-8 text as code points; a byte that is not part of a well-formed
// sequence stands for itself (Latin-1), so that any file name can be drawn. `utf8` says
// whether the whole text was well formed.
std::vector<unsigned> codePoints(const std::string& text, bool* utf8 = nullptr) {
    std::vector<unsigned> out;
    bool wellFormed = true;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = (unsigned char)text[i];
        const int more = c >= 0xc2 && c < 0xe0 ? 1 : c >= 0xe0 && c < 0xf0 ? 2 : c >= 0xf0 && c < 0xf5 ? 3 : 0;
        unsigned cp = c & (0x3f >> more);
        bool ok = more > 0 && i + more < text.size();
        for (int k = 1; ok && k <= more; ++k) {
            const unsigned char t = (unsigned char)text[i + k];
            ok = (t & 0xc0) == 0x80;
            cp = (cp << 6) | (t & 0x3f);
        }
        // Overlong forms, surrogates and code points beyond U+10FFFF are not well formed.
        ok = ok && !(more == 2 && (cp < 0x800 || (cp >= 0xd800 && cp < 0xe000))) &&
             !(more == 3 && (cp < 0x10000 || cp > 0x10ffff));
        if (c < 0x80 || !ok) {
            out.push_back(c);
            wellFormed = wellFormed && c < 0x80;
            ++i;
        } else {
            out.push_back(cp);
            i += 1 + more;
        }
    }
    if (utf8) *utf8 = wellFormed;
    return out;
}

constexpr uint8_t kCaptionText[3] = {235, 235, 235};
constexpr uint8_t kCaptionWarn[3] = {255, 150, 40};
constexpr uint8_t kCaptionBack[3] = {32, 32, 32};
constexpr int kCaptionPad = 8, kCaptionLeading = 4;

// The caption's lines broken to `columns` characters, at a space where there is one.
std::vector<std::vector<unsigned>> wrapCaption(const std::string& text, int columns) {
    std::vector<std::vector<unsigned>> lines;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::vector<unsigned> line = codePoints(text.substr(start, end - start));
        while ((int)line.size() > columns) {
            int cut = columns;
            for (int k = columns; k > columns / 2; --k)
                if (line[k] == ' ') {
                    cut = k;
                    break;
                }
            lines.emplace_back(line.begin(), line.begin() + cut);
            line.erase(line.begin(), line.begin() + cut + (line[cut] == ' ' ? 1 : 0));
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// The strip under the planes: a dark band with the caption's lines in it.
void drawCaption(RgbPicture& pic, const QcCaption& caption) {
    const int columns = std::max(1, (pic.width - 2 * kCaptionPad) / kCaptionGlyphWidth);
    const std::vector<std::vector<unsigned>> lines = wrapCaption(caption.text, columns);
    const int lineHeight = kCaptionGlyphHeight + kCaptionLeading;
    const int top = pic.height;
    pic.height += 2 * kCaptionPad + (int)lines.size() * lineHeight - kCaptionLeading;
    pic.rgb.resize((size_t)pic.width * pic.height * 3);
    for (int y = top; y < pic.height; ++y)
        for (int x = 0; x < pic.width; ++x) put(pic, x, y, kCaptionBack);
    const uint8_t* colour = caption.warn ? kCaptionWarn : kCaptionText;
    for (size_t l = 0; l < lines.size(); ++l) {
        const int y0 = top + kCaptionPad + (int)l * lineHeight;
        for (size_t k = 0; k < lines[l].size(); ++k) {
            const uint8_t* g = captionGlyph(lines[l][k]);
            const int x0 = kCaptionPad + (int)k * kCaptionGlyphWidth;
            for (int row = 0; row < kCaptionGlyphHeight; ++row)
                for (int col = 0; col < kCaptionGlyphWidth; ++col)
                    if (g[row] & (0x20 >> col)) put(pic, x0 + col, y0 + row, colour);
        }
    }
}

}  // namespace

RgbPicture renderQcPicture(const Volume& grid, const std::vector<float>& fixed, const std::vector<float>& moving,
                           const QcCaption& caption) {
    const AxisMap map = mapAxes(grid);
    const int n[3] = {grid.x, grid.y, grid.z};
    const float d[3] = {grid.dx, grid.dy, grid.dz};
    float extent = 0;
    for (int a = 0; a < 3; ++a) extent = std::max(extent, n[a] * d[a]);
    const float pixel = extent / kPanelPixels;

    const float smoothMm = std::max(kSmoothMm, std::max({d[0], d[1], d[2]}));
    Panel panels[3];
    for (int i = 0; i < 3; ++i) panels[i] = samplePanel(grid, map, kPanels[i], pixel, smoothMm, fixed, moving);

    // Grey levels: the moving image between its 1st and 99.5th percentiles.
    const float lo = quantile(moving, 0.01), hi = std::max(quantile(moving, 0.995), lo + 1e-6f);
    // Edges: ridges of the smoothed fixed image's gradient (kSmoothMm),
    // measured against the strong edges' typical size (the 95th percentile of the
    // ridges), so that the outlines of head and tissues show and texture does not.
    const float sigma = std::max(1.0f, smoothMm / pixel);
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
    if (!caption.text.empty()) drawCaption(pic, caption);
    return pic;
}

namespace {

// The rows and the text through libpng, which reports a failure by longjmp to here.
bool encodePng(png_structp png, png_infop info, FILE* file, const RgbPicture& picture, const std::string& text,
               bool latin1) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    png_init_io(png, file);
    png_set_IHDR(png, info, (png_uint_32)picture.width, (png_uint_32)picture.height, 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!text.empty()) {
        png_text chunk;
        std::memset(&chunk, 0, sizeof chunk);
        char key[] = "Description";
        chunk.key = key;
        chunk.text = const_cast<char*>(text.c_str());
        chunk.compression = latin1 ? PNG_TEXT_COMPRESSION_NONE : PNG_ITXT_COMPRESSION_NONE;
        (latin1 ? chunk.text_length : chunk.itxt_length) = text.size();
        png_set_text(png, info, &chunk, 1);
    }
    png_write_info(png, info);
    for (int y = 0; y < picture.height; ++y)
        png_write_row(png, &picture.rgb[(size_t)y * picture.width * 3]);
    png_write_end(png, nullptr);
    return true;
}

// One PNG written by libpng's own API (the simple one writes no text), with `description`
// as its Description text where not empty. No time chunk: equal pictures give equal files.
bool writePngFile(const RgbPicture& picture, const std::string& path, const std::string& description) {
    // Latin-1 text goes into a tEXt chunk, which every reader knows; anything else (a name
    // in another script) into an iTXt chunk, UTF-8.
    bool utf8 = false;
    const std::vector<unsigned> cps = codePoints(description, &utf8);
    const bool latin1 = !utf8 || std::all_of(cps.begin(), cps.end(), [](unsigned c) { return c < 256; });
    std::string text;
    if (latin1)
        for (unsigned c : cps) text += (char)(c < 256 ? c : '?');
    else
        text = description;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const bool ok = png && info && encodePng(png, info, file, picture, text, latin1);
    png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
    return std::fclose(file) == 0 && ok;
}

}  // namespace

bool writePng(const RgbPicture& picture, const char* path, std::string& error, StagedFiles* staged,
              const std::string& description) {
    const std::string dest = path ? path : "";
    if (dest.empty() || dest.back() == '/') {
        error = "cannot write picture '" + dest + "': the name gives no file name";
        return false;
    }
    if (picture.width < 1 || picture.height < 1 || picture.rgb.size() != (size_t)picture.width * picture.height * 3) {
        error = "cannot write picture '" + dest + "': it is empty";
        return false;
    }
    const std::string tmp = staged ? staged->add(dest) : temporaryName(dest);
    const bool ok = writePngFile(picture, tmp, description);
    if (!ok || (!staged && std::rename(tmp.c_str(), dest.c_str()) != 0)) {
        std::remove(tmp.c_str());
        error = "cannot write picture '" + dest + "'";
        return false;
    }
    return true;
}

bool writeQcPicture(const Volume& fixed, const Volume& registered, const char* path, std::string& error,
                    StagedFiles* staged, const QcCaption& caption) {
    if (fixed.x != registered.x || fixed.y != registered.y || fixed.z != registered.z || !fixed.owner ||
        !registered.owner || !fixed.data || !registered.data) {
        error = std::string("cannot draw picture '") + (path ? path : "") +
                "': the registered image does not lie on the fixed image's grid";
        return false;
    }
    std::vector<float> f(fixed.count()), m(registered.count());
    fixed.owner->download(f.data(), fixed.data, f.size());
    registered.owner->download(m.data(), registered.data, m.size());
    return writePng(renderQcPicture(fixed, f, m, caption), path, error, staged, caption.text);
}
