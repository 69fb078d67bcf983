// phantom: writes one synthetic head volume (T1- or T2-like), optionally moved by a known
// affine, for the tests, the demo and the benchmarks.
#include <nifti1_io.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "geometry/matrix.h"
#include "geometry/transform.h"
#include "head.h"
#include "volume/volume.h"

namespace {

const char* kUsage =
    "usage: phantom --out FILE [options]\n"
    "  --out FILE            output image; the format follows the extension: .nii, .nii.gz,\n"
    "                        .hdr/.img or .hdr.gz/.img.gz (NIfTI pair)\n"
    "  --analyze             write an ANALYZE 7.5 pair instead (needs a .hdr/.img name)\n"
    "  --contrast t1|t2      T1-like (WM brightest) or T2-like (CSF brightest); default t1\n"
    "  --grid NX NY NZ       voxels per axis; default 160 160 160\n"
    "  --voxel DX DY DZ      voxel size in mm; default 1 1 1\n"
    "  --head-length MM      scalp length front to back (nose not included); default 128\n"
    "  --full-size           same as --head-length 180\n"
    "  --datatype 2|4|16     uint8, int16 (stored as 8*v-400, so negative outside the head)\n"
    "                        or float32; default 2\n"
    "  --affine RX RY RZ TX TY TZ SX SY SZ KX KY KZ\n"
    "                        move the head by A = composeAffine(params) (rotations in degrees,\n"
    "                        translations in mm) about the grid centre: the image holds\n"
    "                        head(A^-1 y) at y mm from the grid centre, so a head point x\n"
    "                        lands at A x\n"
    "  --noise SIGMA         Gaussian noise, standard deviation in units of the 0..255 scale;\n"
    "                        default 0\n"
    "  --seed N              noise seed (the same seed gives the same file); default 1\n"
    "  --no-orient           write sform and qform codes 0 instead of 1 (scanner)\n"
    "  --layout reference|sagittal|oblique\n"
    "                        how the grid lies in the world (the head stays where it is):\n"
    "                        reference: i right, j anterior, k superior; sagittal: i\n"
    "                        posterior, j inferior, k left (permuted and flipped); oblique:\n"
    "                        the reference axes turned by 20, -15 and 25 degrees about x, y\n"
    "                        and z; the header's sform and qform say so. Default reference\n"
    "The grid centre is voxel ((NX-1)/2, (NY-1)/2, (NZ-1)/2); axes: +x right, +y anterior,\n"
    "+z superior.\n";

[[noreturn]] void usageError(const std::string& msg) {
    std::fprintf(stderr, "phantom: %s\n%s", msg.c_str(), kUsage);
    std::exit(1);
}

bool parseDouble(const char* s, double& out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    out = std::strtod(s, &end);
    return *end == '\0' && std::isfinite(out);
}

bool parseLong(const char* s, long& out) {
    if (!s || !*s) return false;
    char* end = nullptr;
    out = std::strtol(s, &end, 10);
    return *end == '\0';
}

struct Options {
    std::string out;
    Contrast contrast = Contrast::T1;
    int grid[3] = {160, 160, 160};
    float voxel[3] = {1, 1, 1};
    float headLength = 128.0f;
    int datatype = 2;
    TransformParams affine;
    float noise = 0.0f;
    uint64_t seed = 1;
    bool orient = true;
    bool analyze = false;
    // Grid axis a points along world direction layout[.][a] (columns, orthonormal).
    double layout[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
};

// Columns: the world direction of grid axes i, j, k.
bool layoutFromName(const std::string& name, double q[3][3]) {
    const double sagittal[3][3] = {{0, 0, -1}, {-1, 0, 0}, {0, -1, 0}};
    if (name == "reference") {
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) q[r][c] = r == c;
    } else if (name == "sagittal") {
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) q[r][c] = sagittal[r][c];
    } else if (name == "oblique") {
        TransformParams p;
        p[0] = 20;
        p[1] = -15;
        p[2] = 25;
        Matrix m;
        composeAffine(p, m, 1, 1, 1);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) q[r][c] = m.data[4 * r + c];
    } else {
        return false;
    }
    return true;
}

Options parseArgs(int argc, char** argv) {
    Options o;
    int i = 1;
    // Takes the next `count` arguments of option `name` as numbers.
    auto numbers = [&](const char* name, int count, double* vals) {
        if (i + count >= argc) usageError(std::string(name) + " needs " + std::to_string(count) + " value(s)");
        for (int k = 0; k < count; ++k)
            if (!parseDouble(argv[i + 1 + k], vals[k]))
                usageError(std::string(name) + ": not a number: '" + argv[i + 1 + k] + "'");
        i += count;
    };
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        double v[12];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--out" || a == "-o") {
            if (i + 1 >= argc) usageError("--out needs a file name");
            o.out = argv[++i];
        } else if (a == "--contrast") {
            if (i + 1 >= argc) usageError("--contrast needs t1 or t2");
            std::string c = argv[++i];
            std::transform(c.begin(), c.end(), c.begin(), ::tolower);
            if (c == "t1") o.contrast = Contrast::T1;
            else if (c == "t2") o.contrast = Contrast::T2;
            else usageError("unknown contrast '" + c + "'");
        } else if (a == "--grid") {
            numbers("--grid", 3, v);
            for (int k = 0; k < 3; ++k) {
                if (v[k] != std::floor(v[k]) || v[k] < 1 || v[k] > 32767)
                    usageError("--grid: counts must be whole numbers from 1 to 32767");
                o.grid[k] = (int)v[k];
            }
        } else if (a == "--voxel") {
            numbers("--voxel", 3, v);
            for (int k = 0; k < 3; ++k) {
                if (!(v[k] > 0)) usageError("--voxel: sizes must be positive");
                o.voxel[k] = (float)v[k];
            }
        } else if (a == "--head-length") {
            numbers("--head-length", 1, v);
            if (!(v[0] > 0)) usageError("--head-length must be positive");
            o.headLength = (float)v[0];
        } else if (a == "--full-size") {
            o.headLength = 180.0f;
        } else if (a == "--datatype") {
            numbers("--datatype", 1, v);
            if (v[0] != 2 && v[0] != 4 && v[0] != 16) usageError("--datatype must be 2, 4 or 16");
            o.datatype = (int)v[0];
        } else if (a == "--affine") {
            numbers("--affine", 12, v);
            for (int k = 0; k < 12; ++k) o.affine[k] = (float)v[k];
        } else if (a == "--noise") {
            numbers("--noise", 1, v);
            if (v[0] < 0) usageError("--noise must not be negative");
            o.noise = (float)v[0];
        } else if (a == "--seed") {
            long s;
            if (i + 1 >= argc || !parseLong(argv[i + 1], s)) usageError("--seed needs a whole number");
            o.seed = (uint64_t)s;
            ++i;
        } else if (a == "--no-orient") {
            o.orient = false;
        } else if (a == "--layout") {
            if (i + 1 >= argc || !layoutFromName(argv[i + 1], o.layout))
                usageError("--layout needs reference, sagittal or oblique");
            ++i;
        } else if (a == "--analyze") {
            o.analyze = true;
        } else {
            usageError("unknown argument '" + a + "'");
        }
    }
    if (o.out.empty()) usageError("no output file (--out)");
    const uint64_t count = (uint64_t)o.grid[0] * o.grid[1] * o.grid[2];
    if (count > kMaxVoxels) usageError("--grid: too many voxels");
    return o;
}

bool endsWith(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (s.size() <= n) return false;
    for (size_t k = 0; k < n; ++k)
        if (std::tolower((unsigned char)s[s.size() - n + k]) != suffix[k]) return false;
    return true;
}

// The file type the name asks for, or -1 when the name carries no image extension.
int fileType(const std::string& path, bool analyze) {
    const bool single = endsWith(path, ".nii") || endsWith(path, ".nii.gz");
    const bool pair = endsWith(path, ".hdr") || endsWith(path, ".img") ||
                      endsWith(path, ".hdr.gz") || endsWith(path, ".img.gz");
    if (analyze) return pair ? NIFTI_FTYPE_ANALYZE : -1;
    if (single) return NIFTI_FTYPE_NIFTI1_1;
    if (pair) return NIFTI_FTYPE_NIFTI1_2;
    return -1;
}

// splitmix64: a small generator whose sequence is the same on every platform, so a seed
// names one file everywhere (std::normal_distribution is not portable).
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double uniform() { return ((next() >> 11) + 0.5) * (1.0 / 9007199254740992.0); }  // (0, 1)
};

void addNoise(std::vector<float>& v, float sigma, uint64_t seed) {
    if (sigma <= 0.0f) return;
    Rng rng{seed};
    const double twoPi = 6.283185307179586;
    for (size_t i = 0; i < v.size(); i += 2) {
        // Box-Muller: two independent normals per pair of uniforms.
        const double r = std::sqrt(-2.0 * std::log(rng.uniform()));
        const double t = twoPi * rng.uniform();
        v[i] += (float)(sigma * r * std::cos(t));
        if (i + 1 < v.size()) v[i + 1] += (float)(sigma * r * std::sin(t));
    }
}

// head(A^-1 y): the 3x4 inverse of A = composeAffine(params, 1, 1, 1), in double.
bool inverseAffine(const TransformParams& p, double inv[12]) {
    Matrix a;
    composeAffine(p, a, 1.0f, 1.0f, 1.0f);
    const float* m = a.data;
    const double l[3][3] = {{m[0], m[1], m[2]}, {m[4], m[5], m[6]}, {m[8], m[9], m[10]}};
    const double det = l[0][0] * (l[1][1] * l[2][2] - l[1][2] * l[2][1]) -
                       l[0][1] * (l[1][0] * l[2][2] - l[1][2] * l[2][0]) +
                       l[0][2] * (l[1][0] * l[2][1] - l[1][1] * l[2][0]);
    if (!(std::fabs(det) > 1e-9)) return false;
    double li[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            li[r][c] = (l[r1][c1] * l[r2][c2] - l[r1][c2] * l[r2][c1]) / det;
        }
    const double t[3] = {m[3], m[7], m[11]};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) inv[4 * r + c] = li[r][c];
        inv[4 * r + 3] = -(li[r][0] * t[0] + li[r][1] * t[1] + li[r][2] * t[2]);
    }
    return true;
}

void setOrientation(nifti_image* nim, const Options& o) {
    const float* d = o.voxel;
    float origin[3];
    for (int k = 0; k < 3; ++k) origin[k] = -(float)((o.grid[k] - 1) * 0.5 * d[k]);
    const auto& q = o.layout;
    if (q[0][0] != 1 || q[1][1] != 1 || q[2][2] != 1) {
        // The grid centre stays at the world origin; the axes turn.
        mat44 m;
        for (int r = 0; r < 3; ++r) {
            double off = 0;
            for (int c = 0; c < 3; ++c) {
                m.m[r][c] = (float)(q[r][c] * d[c]);
                off -= q[r][c] * d[c] * (o.grid[c] - 1) * 0.5;
            }
            m.m[r][3] = (float)off;
        }
        m.m[3][0] = m.m[3][1] = m.m[3][2] = 0;
        m.m[3][3] = 1;
        nim->qform_code = nim->sform_code = o.orient ? NIFTI_XFORM_SCANNER_ANAT : NIFTI_XFORM_UNKNOWN;
        nim->sto_xyz = nim->qto_xyz = m;
        nifti_mat44_to_quatern(m, &nim->quatern_b, &nim->quatern_c, &nim->quatern_d, &nim->qoffset_x,
                               &nim->qoffset_y, &nim->qoffset_z, nullptr, nullptr, nullptr, &nim->qfac);
        nim->qto_xyz = nifti_quatern_to_mat44(nim->quatern_b, nim->quatern_c, nim->quatern_d, nim->qoffset_x,
                                              nim->qoffset_y, nim->qoffset_z, d[0], d[1], d[2], nim->qfac);
        nim->qto_ijk = nifti_mat44_inverse(nim->qto_xyz);
        nim->sto_ijk = nifti_mat44_inverse(nim->sto_xyz);
        return;
    }
    nim->qform_code = nim->sform_code = o.orient ? NIFTI_XFORM_SCANNER_ANAT : NIFTI_XFORM_UNKNOWN;
    nim->quatern_b = nim->quatern_c = nim->quatern_d = 0.0f;
    nim->qoffset_x = origin[0];
    nim->qoffset_y = origin[1];
    nim->qoffset_z = origin[2];
    nim->qfac = 1.0f;
    nim->qto_xyz = nifti_quatern_to_mat44(0, 0, 0, origin[0], origin[1], origin[2], d[0], d[1],
                                          d[2], 1.0f);
    nim->qto_ijk = nifti_mat44_inverse(nim->qto_xyz);
    nim->sto_xyz = nim->qto_xyz;
    nim->sto_ijk = nim->qto_ijk;
}

bool writeImage(const Options& o, int type, const std::vector<float>& v) {
    int dims[8] = {3, o.grid[0], o.grid[1], o.grid[2], 1, 1, 1, 1};
    nifti_image* nim = nifti_make_new_nim(dims, o.datatype, 1);
    if (!nim) return false;
    nim->dx = nim->pixdim[1] = o.voxel[0];
    nim->dy = nim->pixdim[2] = o.voxel[1];
    nim->dz = nim->pixdim[3] = o.voxel[2];
    nim->xyz_units = NIFTI_UNITS_MM;
    std::snprintf(nim->descrip, sizeof nim->descrip, "tarvo phantom, %s-like head",
                  o.contrast == Contrast::T1 ? "T1" : "T2");
    setOrientation(nim, o);
    const size_t n = v.size();
    if (o.datatype == DT_UINT8) {
        auto* p = static_cast<uint8_t*>(nim->data);
        for (size_t i = 0; i < n; ++i) p[i] = (uint8_t)std::lround(std::clamp(v[i], 0.0f, 255.0f));
    } else if (o.datatype == DT_INT16) {
        // 8 steps per intensity unit keeps the partial-volume detail; the offset puts the
        // background at -400 so the loader's min/max normalisation is exercised.
        auto* p = static_cast<int16_t*>(nim->data);
        for (size_t i = 0; i < n; ++i)
            p[i] = (int16_t)std::clamp(std::lround(8.0 * v[i]) - 400L, -32768L, 32767L);
    } else {
        std::memcpy(nim->data, v.data(), n * sizeof(float));
    }
    nim->nifti_type = type;
    if (nifti_set_filenames(nim, o.out.c_str(), 0, 1) != 0) {
        nifti_image_free(nim);
        return false;
    }
    nim->nifti_type = type;  // the names may have reset it
    nifti_set_iname_offset(nim);
    nifti_image_write(nim);
    nifti_image_free(nim);
    // nifti_image_write reports failures only on stderr: read the header back to be sure.
    nifti_image* check = nifti_image_read(o.out.c_str(), 0);
    const bool ok = check && check->nx == o.grid[0] && check->ny == o.grid[1] &&
                    check->nz == o.grid[2] && check->datatype == o.datatype;
    if (check) nifti_image_free(check);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parseArgs(argc, argv);
    const int type = fileType(o.out, o.analyze);
    if (type < 0)
        usageError(o.analyze ? "--analyze needs a .hdr, .img, .hdr.gz or .img.gz name"
                             : "the output name needs an image extension (.nii, .nii.gz, .hdr, "
                               ".img, .hdr.gz, .img.gz)");
    double headInv[12];
    if (!inverseAffine(o.affine, headInv)) usageError("--affine: the transform is singular");
    // Grid mm offsets turn into world mm by the layout, then into head coordinates.
    double inv[12];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            double v = 0;
            for (int k = 0; k < 3; ++k) v += headInv[4 * r + k] * o.layout[k][c];
            inv[4 * r + c] = v;
        }
        inv[4 * r + 3] = headInv[4 * r + 3];
    }

    const Head head(o.headLength, o.contrast);
    std::vector<float> v = renderHead(head, o.grid, o.voxel, inv);
    addNoise(v, o.noise, o.seed);
    if (!writeImage(o, type, v)) {
        std::fprintf(stderr, "phantom: cannot write '%s'\n", o.out.c_str());
        return 1;
    }
    return 0;
}
