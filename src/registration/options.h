#pragma once
// The registration options a person chooses, by the command line (tarvo register, tarvo
// batch) or by Python (tarvo.register), and the one mapping from them to the pipeline's
// options: the three callers register alike because they share it.
#include <string>
#include <vector>

#include "registration/pipeline.h"

struct RegistrationOptions {
    int dof = 12;
    std::string init = "header";  // header, centroid, identity or a world matrix file
    std::string fixedMask, movingMask;
    int threads = 0;
    bool quiet = false, verbose = false;
    bool noRefine = false;        // skip the precision stage
    std::string search = "header";  // the global search: header, wide or standard
    bool noForeground = false;      // count every fixed voxel, not only its foreground
    bool oneWay = false;            // the cost one way (MOVING given FIXED), not both ways
};

// The start that `init` names: header, centroid, identity, or a world matrix FILE (read
// here). False with `error` when the file cannot be used; a name that is neither a word
// nor a file gets the list of words, under the name of the `option`.
bool parseStart(const std::string& init, Start& start, std::string& error, const char* option = "--init");

// After parsing the command line: the start that --init names (reading its matrix file)
// and the CPU backend's threads. False with `error` one line when they cannot be used.
bool settleRegistrationOptions(const RegistrationOptions& o, Start& start, std::string& error);

// The files a registration reads (the images, with both files of a pair, the masks and a
// matrix --init) and those it writes (an empty name is none), for the check that no
// output overwrites an input.
std::vector<std::string> registrationInputs(const std::string& moving, const std::string& fixed,
                                            const RegistrationOptions& o);
std::vector<std::string> registrationOutputs(const std::string& image, const std::string& matrix,
                                             const std::string& itk, const std::string& qc);

// The pipeline's options for `o`, starting from `start`. The masks and the progress are
// the caller's to add: they are volumes and objects, not choices.
PipelineOptions pipelineOptions(const RegistrationOptions& o, const Start& start);
