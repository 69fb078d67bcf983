#pragma once
// World matrices on disk: the 4x4 text matrix (four lines of four numbers, mapping FIXED
// RAS mm to MOVING RAS mm) and the same transform as an ITK text transform (LPS).
#include <string>

#include "geometry/world.h"

class StagedFiles;

// A whole text file through a temporary name renamed into place: it is there complete or
// not at all, whenever the process stops. The one way the program writes a text file that
// another run (or a batch resuming) may read. False when it cannot be written. With
// `staged`, the file waits under its temporary name for the set's commit.
bool writeFileAtomically(const std::string& path, const std::string& text, StagedFiles* staged = nullptr);

// Written by writeFileAtomically; false (with `error` set) when the file cannot be written.
bool writeWorldMatrix(const std::string& path, const Affine& m, std::string& error, StagedFiles* staged = nullptr);
bool writeItkTransform(const std::string& path, const Affine& rasFixedToMoving, std::string& error,
                       StagedFiles* staged = nullptr);

// Reads either form (an ITK file is recognised by its first line). False, with a one-line
// reason in `error`, for a missing or unreadable file, anything but sixteen finite numbers
// whose last row is 0 0 0 1, an ITK file with another transform type, or a singular matrix.
bool readWorldMatrix(const std::string& path, Affine& m, std::string& error);

// The matrix as the text file holds it (each element rounded to what the file keeps), so
// that a command using a matrix it has just written gets the same result as one reading it.
Affine asWrittenInText(const Affine& m);
std::string formatWorldMatrix(const Affine& m);
