#include "registration/options.h"

#include <sys/stat.h>

#include <cstdlib>

#include "device/device.h"
#include "volume/inputs.h"
#include "volume/transformfiles.h"

bool parseStart(const std::string& init, Start& start, std::string& error, const char* option) {
    if (init == "header") {
        start.kind = StartKind::Header;
    } else if (init == "centroid") {
        start.kind = StartKind::Centroid;
    } else if (init == "identity") {
        start.kind = StartKind::Identity;
    } else {
        start.kind = StartKind::Matrix;
        struct stat st;
        if (stat(init.c_str(), &st) != 0) {
            error = std::string(option) + " must be header, centroid, identity or a matrix file; '" + init +
                    "' is none of these (there is no such file)";
            return false;
        }
        return readWorldMatrix(init, start.world, error);
    }
    return true;
}

bool settleRegistrationOptions(const RegistrationOptions& o, Start& start, std::string& error) {
    if (!parseStart(o.init, start, error)) return false;
    if (o.threads > 0) setenv("TARVO_THREADS", std::to_string(o.threads).c_str(), 1);
    const Device* d = chosenDevice(error);
    if (!d) return false;
    if (o.threads > 0 && std::string(d->kind()) != "cpu") {
        error = "--threads sets the CPU backend's threads, but a GPU does the work";
        return false;
    }
    return true;
}

std::vector<std::string> registrationInputs(const std::string& moving, const std::string& fixed,
                                            const RegistrationOptions& o) {
    std::vector<std::string> files;
    for (const std::string* image : {&moving, &fixed, &o.fixedMask, &o.movingMask})
        if (!image->empty())
            for (std::string& f : inputImageFiles(*image)) files.push_back(std::move(f));
    if (o.init != "header" && o.init != "centroid" && o.init != "identity") files.push_back(o.init);
    return files;
}

std::vector<std::string> registrationOutputs(const std::string& image, const std::string& matrix,
                                             const std::string& itk, const std::string& qc) {
    std::vector<std::string> files;
    if (!image.empty()) files = outputImageFiles(image);
    for (const std::string* f : {&matrix, &itk, &qc})
        if (!f->empty()) files.push_back(*f);
    return files;
}

PipelineOptions pipelineOptions(const RegistrationOptions& o, const Start& start) {
    PipelineOptions p = PipelineOptions::registerDefaults();
    p.dof = Dof(o.dof);
    p.search = o.search == "standard" ? SearchKind::Standard : o.search == "wide" ? SearchKind::Wide : SearchKind::Header;
    p.fixedForeground = !o.noForeground;
    p.twoWay.on = !o.oneWay;
    p.start = start;
    p.precision = !o.noRefine;
    return p;
}
