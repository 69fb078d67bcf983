#pragma once
// What every command that registers (register, batch) shares: the registration's own
// options, defined once so that their names, checks and help cannot drift apart, loading
// the fixed image, and writing a finished registration's files.
#include <string>

#include "geometry/world.h"
#include "registration/pipeline.h"
#include "volume/volume.h"

namespace CLI {
class App;
}

struct RegistrationOptions {
    int dof = 12;
    std::string init = "header";
    std::string fixedMask, movingMask;
    int threads = 0;
    bool quiet = false, verbose = false;
    bool noRefine = false;  // skip the precision stage
    std::string search = "wide";  // the global search: wide or standard
};

// Adds --dof, --init, --fixed-mask, --moving-mask, --threads, --no-refine, --quiet and
// --verbose.
void addRegistrationOptions(CLI::App& app, RegistrationOptions& o);
// The part of the help footer that explains them.
extern const char* const kRegistrationOptionsHelp;

// After parsing: the start that --init names (reading its matrix file) and the CPU
// backend's threads. False with `error` one line when they cannot be used.
bool settleRegistrationOptions(const RegistrationOptions& o, Start& start, std::string& error);

// The inputs named by paths that --init and the masks read (for the checks that no
// output overwrites an input).
bool namesInput(const RegistrationOptions& o, const std::string& path);

// The fixed image and its mask (null when none), loaded once; with a mask, the image's
// centroid is the one of the part inside it. False with `error`.
bool loadFixed(const std::string& path, const RegistrationOptions& o, VolumePtr& fixed, VolumePtr& mask,
               std::string& error);

// The files of a registration; an empty name is not written.
struct RegistrationFiles {
    std::string image, matrix, itk, qc;  // qc: the PNG picture to check it by eye
};

// Writes a finished registration: the world matrix (as the text file holds it, which is
// also what the image is resampled with, so that apply on the file gives the same image),
// the ITK transform, the picture, then MOVING resampled onto FIXED's grid. Each file goes through a
// temporary name; on failure the ones already written go again. False with `error`;
// `world` receives the matrix written.
bool writeRegistration(const PipelineResult& res, const Volume& moving, const Volume& fixed,
                       const RegistrationFiles& files, Affine& world, std::string& error);
