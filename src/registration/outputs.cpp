#include "registration/outputs.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "volume/inputs.h"
#include "volume/qcpicture.h"
#include "volume/resample.h"
#include "volume/transformfiles.h"

bool registeredWorld(const PipelineResult& res, Affine& world, std::string& error) {
    if (!res.ran) {
        error = "an image is too small to hold one voxel of 1 mm";
        return false;
    }
    world = asWrittenInText(res.world);
    if (!world.finite() || !(std::fabs(world.determinant3()) > 1e-12)) {
        error = "the registration gave a singular transform";
        return false;
    }
    return true;
}

bool writeRegistration(const PipelineResult& res, const Volume& moving, const Volume& fixed,
                       const RegistrationFiles& files, Affine& world, std::string& error) {
    if (!registeredWorld(res, world, error)) return false;
    // The small text files first: when the image then cannot be written, they go again.
    std::vector<std::string> written;
    auto fail = [&] {
        for (const std::string& f : written) std::remove(f.c_str());
        return false;
    };
    if (!files.matrix.empty()) {
        if (!writeWorldMatrix(files.matrix, world, error)) return fail();
        written.push_back(files.matrix);
    }
    if (!files.itk.empty()) {
        if (!writeItkTransform(files.itk, world, error)) return fail();
        written.push_back(files.itk);
    }
    if (!files.qc.empty() || !files.image.empty()) {
        VolumePtr out = resampleWorld(moving, fixed, world, false);
        if (!files.qc.empty()) {
            if (!writeQcPicture(fixed, *out, files.qc.c_str(), error)) return fail();
            written.push_back(files.qc);
        }
        if (!files.image.empty() && !saveOutput(*out, files.image, error)) return fail();
    }
    return true;
}
