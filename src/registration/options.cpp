#include "registration/options.h"

#include <cstdlib>

#include "device/device.h"
#include "volume/transformfiles.h"

bool parseStart(const std::string& init, Start& start, std::string& error) {
    if (init == "header") {
        start.kind = StartKind::Header;
    } else if (init == "centroid") {
        start.kind = StartKind::Centroid;
    } else if (init == "identity") {
        start.kind = StartKind::Identity;
    } else {
        start.kind = StartKind::Matrix;
        return readWorldMatrix(init, start.world, error);
    }
    return true;
}

bool settleRegistrationOptions(const RegistrationOptions& o, Start& start, std::string& error) {
    if (!parseStart(o.init, start, error)) return false;
    if (o.threads > 0) setenv("TARVO_THREADS", std::to_string(o.threads).c_str(), 1);
    if (o.threads > 0 && std::string(device().kind()) != "cpu") {
        error = "--threads sets the CPU backend's threads, but a GPU does the work";
        return false;
    }
    return true;
}

bool namesInput(const RegistrationOptions& o, const std::string& path) {
    return path == o.fixedMask || path == o.movingMask || path == o.init;
}

PipelineOptions pipelineOptions(const RegistrationOptions& o, const Start& start) {
    PipelineOptions p = PipelineOptions::registerDefaults();
    p.dof = Dof(o.dof);
    p.search = o.search == "standard" ? SearchKind::Standard : SearchKind::Wide;
    p.start = start;
    p.precision = !o.noRefine;
    return p;
}
