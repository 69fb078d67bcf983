#include "registration/outputs.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "volume/inputs.h"
#include "volume/qcpicture.h"
#include "volume/resample.h"
#include "volume/stagedfiles.h"
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
    // Every file under a temporary name first: an earlier run's files are replaced only
    // once all the new ones are complete, and a failure leaves them as they were.
    StagedFiles staged;
    if (!files.matrix.empty() && !writeWorldMatrix(files.matrix, world, error, &staged)) return false;
    if (!files.itk.empty() && !writeItkTransform(files.itk, world, error, &staged)) return false;
    if (!files.qc.empty() || !files.image.empty()) {
        VolumePtr out = resampleWorld(moving, fixed, world, false);
        if (!files.qc.empty() && !writeQcPicture(fixed, *out, files.qc.c_str(), error, &staged, files.caption)) return false;
        if (!files.image.empty() && !saveOutput(*out, files.image, error, &staged)) return false;
    }
    if (!staged.commit()) {
        error = "cannot put the outputs in place in their folder";
        return false;
    }
    return true;
}
