#pragma once
// A thin layer of our own over nifticlib's niftiio and znzlib. It gives the image layer the
// few operations it needs (does an image exist under a name, read its header and its first
// 3D volume in the stored type, write a one-volume image in the format the name or
// FSLOUTPUTTYPE asks for) and it never prints on standard output: the caller words every
// message. niftiio's own complaints on standard error are turned down but not all silenced.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "volume/volume.h"

class StagedFiles;

namespace imageio {

enum class OutputType { Nifti, NiftiGz, NiftiPair, NiftiPairGz, Analyze, AnalyzeGz };

// FSLOUTPUTTYPE: unset or empty gives NiftiGz; one of NIFTI, NIFTI_GZ, NIFTI_PAIR,
// NIFTI_PAIR_GZ, ANALYZE, ANALYZE_GZ gives that type. False for anything else.
bool outputTypeFromEnvironment(OutputType& type);

// What the image layer reads from a header.
struct ImageHeader {
    int datatype = 0;
    int32_t x = 0, y = 0, z = 0, t = 1;  // t: volumes in the file (only the first is read)
    float dx = 0, dy = 0, dz = 0, dt = 0; // voxel sizes as absolute values
    Orientation orient;                   // sform when set, else qform, else code 0
    uint64_t volumeCount = 1;             // product of the counts beyond the third
    float sclSlope = 0, sclInter = 0;     // as niftiio gives them (non-finite become 0)
    // A matrix whose code says it is there but that is not finite or is singular, and so
    // was passed over for the next one.
    bool sformUnusable = false, qformUnusable = false;
};

enum class ReadStatus {
    Ok,
    Missing,        // no header, or no image file beside it
    BadHeader,      // too short, not a NIfTI-1/ANALYZE header, or rejected by niftiio
    Nifti2,         // a NIfTI-2 header, which this reader does not take
    BadDimensions,  // dim[0] outside 1..7 or a count below 1
    TooLarge,       // more than kMaxVoxels voxels in the first volume
    BadVoxelSize,   // a voxel size of the grid that is zero, infinite or not a number
    BadData,        // the data block is shorter than the header says, or unreadable
};

// What is wrong with a file for a status other than Ok and Missing, worded to follow
// "File 'name' ".
const char* readProblem(ReadStatus s);

// Reading in three steps, so that the caller can reject a data type before anything
// else is looked at: open (exists, header readable), readHeader (grid and orientation,
// everything checked before any allocation), readFirstVolume.
class ImageReader {
public:
    ImageReader();
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;
    ~ImageReader();

    // Finds the header and image files as niftiio does (the name with or without
    // .nii, .nii.gz, .hdr, .img, .hdr.gz, .img.gz) and reads the raw header.
    ReadStatus open(const char* path);
    int datatype() const;  // valid after open() returned Ok

    ReadStatus readHeader(ImageHeader& out);

    // The first 3D volume, x*y*z values in the stored type and in this machine's byte
    // order, raw (no slope/intercept). Valid until the reader is destroyed. BadData when
    // the file holds less than the block, or a gzip stream is cut short or damaged.
    // Stored NaN and infinities of float data read as 0 (as niftiio reads them), counted.
    ReadStatus readFirstVolume();
    size_t nonFiniteCount() const;
    const void* voxels() const;
    size_t voxelBytes() const;

private:
    struct State;  // niftiio's records (anonymous C structs, so not declared here)
    std::unique_ptr<State> s_;
};

// The files an existing image's name stands for, found as the reader finds them (the name
// with or without its extension): the header and, for a pair, the data file. Empty when
// there is no image under the name.
std::vector<std::string> imageFilesFound(const char* path);

// Writing: the calls set the header fields, write() puts the header and the data block in
// temporary files beside the destination and renames them into place, so that a failure
// leaves no partial image (a pair is two files).
class ImageWriter {
public:
    // Chooses the format and file names. A name ending in .nii or .nii.gz is that format;
    // .hdr, .img and their .gz forms make an ANALYZE 7.5 pair when FSLOUTPUTTYPE says
    // ANALYZE or ANALYZE_GZ, else a NIfTI pair; any other name gets FSLOUTPUTTYPE's format
    // and extension appended. False when FSLOUTPUTTYPE is not valid or the name is empty.
    bool open(const char* path);
    // The file a message should name (the header, or the single file).
    const std::string& fileName() const { return headerName_; }
    const std::string& imageName() const { return imageName_; }
    bool isAnalyze() const { return analyze_; }

    void setDatatype(int code) { datatype_ = code; }
    // Counts as 16-bit header fields: the caller keeps them within 1..32767.
    void setDims(int x, int y, int z, int t);
    void setVoxDims(float dx, float dy, float dz, float dt);
    void setStdXform(int code, const float m[4][4]);    // sform
    void setRigidXform(int code, const float m[4][4]);  // qform, through a quaternion
    void setScaling(float slope, float inter) { sclSlope_ = slope, sclInter_ = inter; }

    // `bytes` must be the product of the counts and the datatype's size. With `staged`,
    // the files wait under their temporary names for the set's commit.
    bool write(const void* data, size_t bytes, StagedFiles* staged = nullptr);

private:
    std::string headerName_, imageName_;
    bool single_ = true, gz_ = true, analyze_ = false;
    int datatype_ = 0;
    int dim_[4] = {1, 1, 1, 1};
    float pixdim_[4] = {1, 1, 1, 0};
    int sformCode_ = 0, qformCode_ = 0;
    float sform_[4][4] = {};
    float qform_[4][4] = {};
    float sclSlope_ = 0, sclInter_ = 0;
};

}  // namespace imageio
