#pragma once
// What a finished registration leaves behind: its world matrix (as the text file holds it)
// and its files, for register, batch and Python alike.
#include <string>

#include "geometry/world.h"
#include "registration/pipeline.h"
#include "volume/qcpicture.h"
#include "volume/volume.h"

// The files of a registration; an empty name is not written.
struct RegistrationFiles {
    std::string image, matrix, itk, qc;  // qc: the PNG picture to check it by eye
    QcCaption caption;                   // the picture's
};

// The registration's world matrix as the text file holds it (which is also what the image
// is resampled with, so that apply on the file gives the same image). False with `error`
// when an image was too small to register or the matrix is singular.
bool registeredWorld(const PipelineResult& res, Affine& world, std::string& error);

// Writes a finished registration: the world matrix (registeredWorld), the ITK transform,
// the picture, then MOVING resampled onto FIXED's grid. All of them, or none: they are
// written under temporary names and renamed into place together, so that a failure leaves
// the files of an earlier run exactly as they were. False with `error`; `world` receives
// the matrix written.
bool writeRegistration(const PipelineResult& res, const Volume& moving, const Volume& fixed,
                       const RegistrationFiles& files, Affine& world, std::string& error);
