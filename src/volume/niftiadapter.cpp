#include "volume/niftiadapter.h"

#include <nifti1_io.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "volume/stagedfiles.h"

namespace imageio {

namespace {

// niftiio reports every problem on standard error at its default level; we report our
// own one line instead, so keep it to the few messages that level 0 still prints.
void quietLibrary() {
    static const bool once = [] {
        nifti_set_debug_level(0);
        return true;
    }();
    (void)once;
}

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool isSingleFileName(std::string_view name) {
    return endsWith(name, ".nii") || endsWith(name, ".nii.gz");
}

// Deflate cannot expand data by more than about 1032:1; a .gz file that would have to
// hold more than that is corrupt, and we say so before allocating for it.
constexpr uint64_t kMaxDeflateRatio = 1032;

bool usableMatrix(const mat44& m) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(m.m[r][c])) return false;
    mat33 a;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a.m[r][c] = m.m[r][c];
    const float det = nifti_mat33_determ(a);
    return std::isfinite(det) && det != 0.0f;
}

// A NIfTI-2 header gives its size, 540, in its first four bytes, in either byte order.
bool isNifti2(const std::string& headerName) {
    znzFile fp = znzopen(headerName.c_str(), "rb", nifti_is_gzfile(headerName.c_str()));
    if (znz_isnull(fp)) return false;
    unsigned char b[4] = {0, 0, 0, 0};
    const bool got = znzread(b, 1, 4, fp) == 4;
    znzclose(fp);
    return got && ((b[0] == 0x1c && b[1] == 0x02 && b[2] == 0 && b[3] == 0) ||
                   (b[0] == 0 && b[1] == 0 && b[2] == 0x02 && b[3] == 0x1c));
}

void takeOrientation(Orientation& o, int code, const mat44& m) {
    o.code = code;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) o.m[r][c] = m.m[r][c];
}

}  // namespace

bool outputTypeFromEnvironment(OutputType& type) {
    const char* env = std::getenv("FSLOUTPUTTYPE");
    if (!env || !*env) {
        type = OutputType::NiftiGz;
        return true;
    }
    static const struct {
        const char* name;
        OutputType type;
    } kTypes[] = {{"NIFTI", OutputType::Nifti},           {"NIFTI_GZ", OutputType::NiftiGz},
                  {"NIFTI_PAIR", OutputType::NiftiPair},   {"NIFTI_PAIR_GZ", OutputType::NiftiPairGz},
                  {"ANALYZE", OutputType::Analyze},        {"ANALYZE_GZ", OutputType::AnalyzeGz}};
    for (const auto& t : kTypes)
        if (std::strcmp(env, t.name) == 0) {
            type = t.type;
            return true;
        }
    return false;
}

// ---------------------------------------------------------------------------------------
// Reading

struct ImageReader::State {
    std::string headerName, imageName;
    nifti_1_header* raw = nullptr;
    nifti_image* nim = nullptr;
    uint64_t voxelCount = 0;
    int bytesPerVoxel = 0;
    size_t nonFinite = 0;

    ~State() {
        if (nim) nifti_image_free(nim);
        std::free(raw);
    }
};

const char* readProblem(ReadStatus s) {
    switch (s) {
        case ReadStatus::BadHeader: return "is not a readable NIfTI-1 or ANALYZE 7.5 image";
        case ReadStatus::Nifti2: return "is a NIfTI-2 image, which is not supported (convert it to NIfTI-1)";
        case ReadStatus::BadDimensions: return "has unusable dimensions";
        case ReadStatus::TooLarge: return "has more voxels than can be handled";
        case ReadStatus::BadVoxelSize: return "has a voxel size that is zero, infinite or not a number";
        case ReadStatus::BadData: return "is truncated or its data cannot be read";
        default: return "cannot be read";
    }
}

ImageReader::ImageReader() : s_(new State) {}
ImageReader::~ImageReader() = default;

ReadStatus ImageReader::open(const char* path) {
    quietLibrary();
    if (!path || !*path) return ReadStatus::Missing;
    char* hname = nifti_findhdrname(path);
    if (!hname) return ReadStatus::Missing;
    s_->headerName = hname;
    std::free(hname);

    if (isNifti2(s_->headerName)) return ReadStatus::Nifti2;
    int swapped = 0;
    s_->raw = nifti_read_header(s_->headerName.c_str(), &swapped, 0);
    // A header that does not give its own size in either byte order is not one of ours.
    if (!s_->raw || s_->raw->sizeof_hdr != 348) return ReadStatus::BadHeader;

    if (isSingleFileName(s_->headerName)) {
        s_->imageName = s_->headerName;
    } else {
        char* iname = nifti_findimgname(s_->headerName.c_str(), 2);
        if (!iname) return ReadStatus::Missing;
        s_->imageName = iname;
        std::free(iname);
    }
    return ReadStatus::Ok;
}

int ImageReader::datatype() const { return s_->raw ? s_->raw->datatype : 0; }

ReadStatus ImageReader::readHeader(ImageHeader& out) {
    const nifti_1_header& h = *s_->raw;
    const int ndim = h.dim[0];
    if (ndim < 1 || ndim > 7) return ReadStatus::BadDimensions;
    for (int c = 1; c <= ndim; ++c)
        if (h.dim[c] < 1) return ReadStatus::BadDimensions;
    const int64_t x = h.dim[1], y = ndim >= 2 ? h.dim[2] : 1, z = ndim >= 3 ? h.dim[3] : 1;
    const uint64_t n = (uint64_t)x * (uint64_t)y * (uint64_t)z;  // at most 32767^3: no overflow
    if (n > kMaxVoxels) return ReadStatus::TooLarge;

    // Sizes of the axes the grid has must be usable; a missing axis of a 2D image has
    // whatever the header holds there, so it gets 1 mm unless that is a usable size.
    float size[3];
    for (int c = 1; c <= 3; ++c) {
        const float p = h.pixdim[c];
        const bool usable = std::isfinite(p) && p != 0.0f;
        if (c <= ndim && !usable) return ReadStatus::BadVoxelSize;
        size[c - 1] = usable ? std::fabs(p) : 1.0f;
    }

    int nbyper = 0, swapsize = 0;
    nifti_datatype_sizes(h.datatype, &nbyper, &swapsize);
    if (nbyper <= 0) return ReadStatus::BadHeader;

    s_->nim = nifti_image_read(s_->headerName.c_str(), 0);
    if (!s_->nim) return ReadStatus::BadHeader;
    // Only the first 3D volume is wanted, and volumes lie one after another from the data
    // offset: a record of one volume makes niftiio read just that block. Counts beyond
    // dim[0] (which niftiio keeps as the header holds them, often 0) become 1, so a 2D
    // image is a grid one slice thick.
    for (int c = 4; c <= 7; ++c) s_->nim->dim[c] = 1;
    for (int c = ndim + 1; c <= 3; ++c) s_->nim->dim[c] = 1;
    if (nifti_update_dims_from_array(s_->nim) != 0 || s_->nim->nvox != n) return ReadStatus::BadHeader;
    const nifti_image& nim = *s_->nim;
    if (nim.nx != x || nim.ny != y || nim.nz != z || nim.nbyper != nbyper) return ReadStatus::BadHeader;

    // The data block of the first volume must fit in the file before niftiio allocates it.
    std::error_code ec;
    const uint64_t fileSize = std::filesystem::file_size(s_->imageName, ec);
    if (ec || nim.iname_offset < 0) return ReadStatus::BadData;
    const uint64_t needed = (uint64_t)nim.iname_offset + n * (uint64_t)nbyper;
    const bool gz = nifti_is_gzfile(s_->imageName.c_str());
    if (gz ? needed > fileSize * kMaxDeflateRatio + 1024 : needed > fileSize) return ReadStatus::BadData;

    s_->voxelCount = n;
    s_->bytesPerVoxel = nbyper;

    out.datatype = h.datatype;
    out.x = (int32_t)x;
    out.y = (int32_t)y;
    out.z = (int32_t)z;
    out.t = ndim >= 4 ? h.dim[4] : 1;
    out.dx = size[0];
    out.dy = size[1];
    out.dz = size[2];
    out.dt = nim.dt;
    out.volumeCount = 1;
    for (int c = 4; c <= ndim; ++c) out.volumeCount *= (uint64_t)h.dim[c];  // < 32767^4
    out.sclSlope = nim.scl_slope;
    out.sclInter = nim.scl_inter;
    out.orient = Orientation{};
    out.sformUnusable = nim.sform_code > 0 && !usableMatrix(nim.sto_xyz);
    out.qformUnusable = nim.qform_code > 0 && !usableMatrix(nim.qto_xyz);
    if (nim.sform_code > 0 && usableMatrix(nim.sto_xyz))
        takeOrientation(out.orient, nim.sform_code, nim.sto_xyz);
    else if (nim.qform_code > 0 && usableMatrix(nim.qto_xyz))
        takeOrientation(out.orient, nim.qform_code, nim.qto_xyz);
    return ReadStatus::Ok;
}

namespace {

constexpr size_t kChunk = 1 << 18;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A plain data file: the block at `offset`, all of it.
bool readPlainBlock(std::FILE* f, uint64_t offset, unsigned char* dest, size_t bytes) {
    if (fseeko(f, (off_t)offset, SEEK_SET) != 0) return false;
    return std::fread(dest, 1, bytes, f) == bytes;
}

// A gzip data file, inflated from its start: the block at `offset` into `dest`, and then
// the rest of the stream, so that a file cut short anywhere (even only its 8-byte trailer)
// or corrupted (its CRC and length are checked) is refused rather than read as zeros.
// Members written one after another are one stream, as gunzip reads them; anything else
// after the last member but zero padding is damage.
bool readGzipBlock(std::FILE* f, uint64_t offset, unsigned char* dest, size_t bytes) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit2(&zs, 15 + 16) != Z_OK) return false;
    std::vector<unsigned char> in(kChunk), scratch(kChunk);
    uint64_t produced = 0;  // bytes of the uncompressed stream so far
    const uint64_t blockEnd = offset + bytes;
    bool ended = false, ok = true;
    while (ok) {
        if (zs.avail_in == 0) {
            const size_t got = std::fread(in.data(), 1, in.size(), f);
            if (got == 0) break;
            zs.next_in = in.data();
            zs.avail_in = (uInt)got;
        }
        if (ended) {
            // After a member: another member, or zero padding to the end.
            if (zs.next_in[0] == 0) {
                for (; zs.avail_in > 0; ++zs.next_in, --zs.avail_in)
                    if (*zs.next_in != 0) ok = false;
                continue;
            }
            if (inflateReset(&zs) != Z_OK) ok = false;
            ended = false;
        }
        // Where this call's output goes: the wanted block, or scratch around it.
        unsigned char* out;
        size_t room;
        if (produced < offset) {
            out = scratch.data();
            room = (size_t)std::min<uint64_t>(scratch.size(), offset - produced);
        } else if (produced < blockEnd) {
            out = dest + (produced - offset);
            room = (size_t)std::min<uint64_t>(blockEnd - produced, 1u << 30);
        } else {
            out = scratch.data();
            room = scratch.size();
        }
        zs.next_out = out;
        zs.avail_out = (uInt)room;
        const int r = inflate(&zs, Z_NO_FLUSH);
        produced += room - zs.avail_out;
        if (r == Z_STREAM_END)
            ended = true;
        else if (r != Z_OK && !(r == Z_BUF_ERROR && zs.avail_in == 0))
            ok = false;
    }
    inflateEnd(&zs);
    return ok && ended && !std::ferror(f) && produced >= blockEnd;
}

bool isGzipData(std::FILE* f) {
    unsigned char magic[2] = {0, 0};
    const bool gz = std::fread(magic, 1, 2, f) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
    std::rewind(f);
    return gz;
}

// What niftiio does with stored NaN and infinities of float data, which the original
// commands rely on: they read as 0. Returns how many there were.
template <typename T>
size_t zeroNonFinite(void* data, size_t count) {
    T* v = static_cast<T*>(data);
    size_t fixed = 0;
    for (size_t i = 0; i < count; ++i)
        if (!std::isfinite(v[i])) v[i] = 0, ++fixed;
    return fixed;
}

}  // namespace

ReadStatus ImageReader::readFirstVolume() {
    nifti_image* nim = s_->nim;
    if (!nim || nim->data) return ReadStatus::BadData;
    const size_t bytes = s_->voxelCount * (size_t)s_->bytesPerVoxel;
    // niftiio's own loader fills a short gzip stream with zeros; ours reads the block
    // itself and checks the stream to its end.
    File f(std::fopen(s_->imageName.c_str(), "rb"));
    if (!f) return ReadStatus::BadData;
    void* data = std::malloc(bytes > 0 ? bytes : 1);
    if (!data) return ReadStatus::BadData;
    nim->data = data;  // freed with the record
    // A name ending in .gz that holds plain data is read as it is, as niftiio reads it.
    const bool gz = nifti_is_gzfile(s_->imageName.c_str()) && isGzipData(f.get());
    const uint64_t offset = (uint64_t)nim->iname_offset;
    if (!(gz ? readGzipBlock(f.get(), offset, static_cast<unsigned char*>(data), bytes)
             : readPlainBlock(f.get(), offset, static_cast<unsigned char*>(data), bytes)))
        return ReadStatus::BadData;
    if (nim->swapsize > 1 && nim->byteorder != nifti_short_order())
        nifti_swap_Nbytes(bytes / (size_t)nim->swapsize, nim->swapsize, data);
    switch (nim->datatype) {
        case NIFTI_TYPE_FLOAT32: s_->nonFinite = zeroNonFinite<float>(data, bytes / 4); break;
        case NIFTI_TYPE_COMPLEX64: s_->nonFinite = zeroNonFinite<float>(data, bytes / 4); break;
        case NIFTI_TYPE_FLOAT64: s_->nonFinite = zeroNonFinite<double>(data, bytes / 8); break;
        case NIFTI_TYPE_COMPLEX128: s_->nonFinite = zeroNonFinite<double>(data, bytes / 8); break;
        default: break;
    }
    return ReadStatus::Ok;
}

size_t ImageReader::nonFiniteCount() const { return s_->nonFinite; }

const void* ImageReader::voxels() const { return s_->nim ? s_->nim->data : nullptr; }
size_t ImageReader::voxelBytes() const {
    return s_->nim && s_->nim->data ? s_->voxelCount * (size_t)s_->bytesPerVoxel : 0;
}

// ---------------------------------------------------------------------------------------
// Writing

bool ImageWriter::open(const char* path) {
    OutputType type;
    if (!path || !*path || !outputTypeFromEnvironment(type)) return false;
    const bool analyzeWanted = type == OutputType::Analyze || type == OutputType::AnalyzeGz;

    std::string base = path;
    static const struct {
        const char* ext;
        bool single, gz;
    } kExts[] = {{".nii.gz", true, true},  {".hdr.gz", false, true}, {".img.gz", false, true},
                 {".nii", true, false},    {".hdr", false, false},   {".img", false, false}};
    bool known = false;
    for (const auto& e : kExts)
        if (endsWith(base, e.ext)) {
            base.resize(base.size() - std::strlen(e.ext));
            single_ = e.single;
            gz_ = e.gz;
            known = true;
            break;
        }
    if (!known) {
        single_ = type == OutputType::Nifti || type == OutputType::NiftiGz;
        gz_ = type == OutputType::NiftiGz || type == OutputType::NiftiPairGz || type == OutputType::AnalyzeGz;
    }
    analyze_ = !single_ && analyzeWanted;
    // "x/.nii" or ".nii" name no file.
    if (base.empty() || base.back() == '/') return false;

    const char* gzExt = gz_ ? ".gz" : "";
    if (single_) {
        headerName_ = imageName_ = base + ".nii" + gzExt;
    } else {
        headerName_ = base + ".hdr" + gzExt;
        imageName_ = base + ".img" + gzExt;
    }
    return true;
}

void ImageWriter::setDims(int x, int y, int z, int t) {
    dim_[0] = x;
    dim_[1] = y;
    dim_[2] = z;
    dim_[3] = t;
}

void ImageWriter::setVoxDims(float dx, float dy, float dz, float dt) {
    pixdim_[0] = dx;
    pixdim_[1] = dy;
    pixdim_[2] = dz;
    pixdim_[3] = dt;
}

void ImageWriter::setStdXform(int code, const float m[4][4]) {
    sformCode_ = code;
    std::memcpy(sform_, m, sizeof sform_);
}

void ImageWriter::setRigidXform(int code, const float m[4][4]) {
    qformCode_ = code;
    std::memcpy(qform_, m, sizeof qform_);
}

std::vector<std::string> imageFilesFound(const char* path) {
    quietLibrary();
    std::vector<std::string> files;
    if (!path || !*path) return files;
    char* hname = nifti_findhdrname(path);
    if (!hname) return files;
    files.emplace_back(hname);
    std::free(hname);
    if (!isSingleFileName(files[0])) {
        if (char* iname = nifti_findimgname(files[0].c_str(), 2)) {
            files.emplace_back(iname);
            std::free(iname);
        }
    }
    return files;
}

namespace {

// Writes the blocks in order into a new file; false (and nothing left) on any failure,
// including one that only shows when a compressed stream is closed.
bool writeFile(const std::string& name, bool gz, std::initializer_list<std::pair<const void*, size_t>> blocks) {
    znzFile fp = znzopen(name.c_str(), "wb", gz ? 1 : 0);
    if (znz_isnull(fp)) return false;
    bool ok = true;
    for (const auto& [p, len] : blocks)
        if (ok && len > 0 && znzwrite(p, 1, len, fp) != len) ok = false;
    if (znzclose(fp) != 0) ok = false;
    if (!ok) std::remove(name.c_str());
    return ok;
}

}  // namespace

bool ImageWriter::write(const void* data, size_t bytes, StagedFiles* staged) {
    int nbyper = 0, swapsize = 0;
    nifti_datatype_sizes(datatype_, &nbyper, &swapsize);
    for (int c = 0; c < 4; ++c)
        if (dim_[c] < 1 || dim_[c] > 32767) return false;
    const uint64_t expected = (uint64_t)dim_[0] * dim_[1] * dim_[2] * dim_[3] * (uint64_t)nbyper;
    if (nbyper <= 0 || expected != bytes) return false;

    const int dims[8] = {dim_[3] > 1 ? 4 : 3, dim_[0], dim_[1], dim_[2], dim_[3], 1, 1, 1};
    nifti_1_header* made = nifti_make_new_header(dims, datatype_);
    if (!made) return false;
    nifti_1_header h = *made;
    std::free(made);

    for (int c = 0; c < 4; ++c) h.pixdim[c + 1] = pixdim_[c];
    h.pixdim[0] = 1.0f;
    h.xyzt_units = NIFTI_UNITS_MM | NIFTI_UNITS_SEC;
    h.scl_slope = sclSlope_;
    h.scl_inter = sclInter_;
    if (analyze_) {
        // ANALYZE 7.5 has no orientation fields: leave that part of the header zero.
        std::memset(h.magic, 0, sizeof h.magic);
        h.vox_offset = 0;
    } else {
        std::memcpy(h.magic, single_ ? "n+1\0" : "ni1\0", 4);
        h.vox_offset = single_ ? 352.0f : 0.0f;
        if (sformCode_ > 0) {
            h.sform_code = (short)sformCode_;
            for (int c = 0; c < 4; ++c) {
                h.srow_x[c] = sform_[0][c];
                h.srow_y[c] = sform_[1][c];
                h.srow_z[c] = sform_[2][c];
            }
        }
        if (qformCode_ > 0) {
            mat44 m;
            std::memcpy(m.m, qform_, sizeof m.m);
            float qb, qc, qd, qx, qy, qz, dx, dy, dz, qfac;
            nifti_mat44_to_quatern(m, &qb, &qc, &qd, &qx, &qy, &qz, &dx, &dy, &dz, &qfac);
            h.qform_code = (short)qformCode_;
            h.quatern_b = qb;
            h.quatern_c = qc;
            h.quatern_d = qd;
            h.qoffset_x = qx;
            h.qoffset_y = qy;
            h.qoffset_z = qz;
            h.pixdim[0] = qfac;
        }
    }

    // A NIfTI header is followed by four zero bytes: no extensions.
    static const char noExtensions[4] = {0, 0, 0, 0};
    const size_t extBytes = analyze_ ? 0 : sizeof noExtensions;

    if (staged) {
        // The data file is added first, so that the header, which makes the pair an
        // image, comes into place last.
        const std::string tmpImage = single_ ? std::string() : staged->add(imageName_);
        const std::string tmpHeader = staged->add(headerName_);
        if (single_) return writeFile(tmpHeader, gz_, {{&h, sizeof h}, {noExtensions, extBytes}, {data, bytes}});
        return writeFile(tmpHeader, gz_, {{&h, sizeof h}, {noExtensions, extBytes}}) &&
               writeFile(tmpImage, gz_, {{data, bytes}});
    }
    const std::string tmpHeader = temporaryName(headerName_);
    if (single_) {
        if (!writeFile(tmpHeader, gz_, {{&h, sizeof h}, {noExtensions, extBytes}, {data, bytes}})) return false;
        if (std::rename(tmpHeader.c_str(), headerName_.c_str()) != 0) {
            std::remove(tmpHeader.c_str());
            return false;
        }
        return true;
    }

    const std::string tmpImage = temporaryName(imageName_);
    if (!writeFile(tmpHeader, gz_, {{&h, sizeof h}, {noExtensions, extBytes}})) return false;
    if (!writeFile(tmpImage, gz_, {{data, bytes}})) {
        std::remove(tmpHeader.c_str());
        return false;
    }
    if (std::rename(tmpImage.c_str(), imageName_.c_str()) != 0) {
        std::remove(tmpImage.c_str());
        std::remove(tmpHeader.c_str());
        return false;
    }
    if (std::rename(tmpHeader.c_str(), headerName_.c_str()) != 0) {
        // Half a pair is no image: take the data file away again.
        std::remove(imageName_.c_str());
        std::remove(tmpHeader.c_str());
        return false;
    }
    return true;
}

}  // namespace imageio
