// Image files through both readers: the physical-value loader of register, apply and batch
// (loadInput) and the stored-value loader of the six original commands (loadVolume).
//
// The first byte chooses how the rest becomes a file:
//   0  a single .nii file, as given
//   1  a single .nii.gz file, the rest being the uncompressed bytes (compressed here, so
//      that mutations reach the header and voxels rather than the deflate stream)
//   2  a single .nii.gz file, as given (broken and truncated streams)
//   3  a .hdr/.img pair: the first 348 bytes are the header, the remainder the image file
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzzfiles.h"
#include "volume/inputs.h"
#include "volume/physicalimage.h"
#include "volume/storedimage.h"

namespace {

std::vector<uint8_t> gzipped(const uint8_t* data, size_t size) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    std::vector<uint8_t> out(deflateBound(&z, size) + 32);
    z.next_in = const_cast<uint8_t*>(data);
    z.avail_in = (uInt)size;
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void loadBoth(const std::string& file) {
    std::string error;
    if (VolumePtr v = loadInput(file, error, &fuzzfiles::cpu())) {
        // What every consumer of a loaded image relies on.
        if (v->x < 1 || v->y < 1 || v->z < 1 || (uint64_t)v->count() > kMaxVoxels || !v->data) std::abort();
        std::vector<float> p = physicalValues(*v);
        if (p.size() != v->count()) std::abort();
    } else if (error.empty()) {
        std::abort();  // a refusal always says why
    }
    if (VolumePtr v = loadVolume(file.c_str(), &fuzzfiles::cpu())) {
        if (v->x < 1 || v->y < 1 || v->z < 1 || (uint64_t)v->count() > kMaxVoxels || !v->data) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int mode = data[0] % 4;
    ++data, --size;
    switch (mode) {
        case 0: {
            const std::string f = fuzzfiles::path("plain.nii");
            fuzzfiles::write(f, data, size);
            loadBoth(f);
            break;
        }
        case 1: {
            const std::string f = fuzzfiles::path("packed.nii.gz");
            const std::vector<uint8_t> gz = gzipped(data, size);
            fuzzfiles::write(f, gz.data(), gz.size());
            loadBoth(f);
            break;
        }
        case 2: {
            const std::string f = fuzzfiles::path("raw.nii.gz");
            fuzzfiles::write(f, data, size);
            loadBoth(f);
            break;
        }
        default: {
            const size_t h = size < 348 ? size : 348;
            fuzzfiles::write(fuzzfiles::path("pair.hdr"), data, h);
            fuzzfiles::write(fuzzfiles::path("pair.img"), data + h, size - h);
            loadBoth(fuzzfiles::path("pair.hdr"));
            break;
        }
    }
    return 0;
}
