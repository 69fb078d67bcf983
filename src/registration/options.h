#pragma once
// The registration options a person chooses, by the command line (tarvo register, tarvo
// batch) or by Python (tarvo.register), and the one mapping from them to the pipeline's
// options: the three callers register alike because they share it.
#include <string>

#include "registration/pipeline.h"

struct RegistrationOptions {
    int dof = 12;
    std::string init = "header";  // header, centroid, identity or a world matrix file
    std::string fixedMask, movingMask;
    int threads = 0;
    bool quiet = false, verbose = false;
    bool noRefine = false;        // skip the precision stage
    std::string search = "wide";  // the global search: wide or standard
};

// The start that `init` names: header, centroid, identity, or a world matrix FILE (read
// here). False with `error` when the file cannot be used.
bool parseStart(const std::string& init, Start& start, std::string& error);

// After parsing the command line: the start that --init names (reading its matrix file)
// and the CPU backend's threads. False with `error` one line when they cannot be used.
bool settleRegistrationOptions(const RegistrationOptions& o, Start& start, std::string& error);

// Whether `path` is one of the inputs that --init and the masks read (for the checks that
// no output overwrites an input).
bool namesInput(const RegistrationOptions& o, const std::string& path);

// The pipeline's options for `o`, starting from `start`. The masks and the progress are
// the caller's to add: they are volumes and objects, not choices.
PipelineOptions pipelineOptions(const RegistrationOptions& o, const Start& start);
