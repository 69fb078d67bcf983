#pragma once
// The registration's own options on the command line of register and batch, defined once
// so that their names, checks and help cannot drift apart, and the fixed image they load.
#include <string>

#include "registration/options.h"
#include "volume/volume.h"

namespace CLI {
class App;
}

// Adds --dof, --search, --init, --fixed-mask, --moving-mask, --threads, --no-refine,
// --quiet and --verbose.
void addRegistrationOptions(CLI::App& app, RegistrationOptions& o);
// The part of the help footer that explains them.
extern const char* const kRegistrationOptionsHelp;

// --suspect-status N: the exit status of a run whose result is suspect (0, the default:
// a suspect result is reported but ends like any other). 1 is an error's, so it is refused.
void addSuspectStatus(CLI::App& app, int& status);
// The part of the help footer that explains the verdict, its limits and --suspect-status.
extern const char* const kVerdictHelp;

// The fixed image and its mask (null when none), loaded once; with a mask, the image's
// centroid is the one of the part inside it. False with `error`.
bool loadFixed(const std::string& path, const RegistrationOptions& o, VolumePtr& fixed, VolumePtr& mask,
               std::string& error);
// The fixed mask alone, for a fixed image already loaded.
bool maskFixed(const std::string& path, const RegistrationOptions& o, Volume& fixed, VolumePtr& mask,
               std::string& error);
