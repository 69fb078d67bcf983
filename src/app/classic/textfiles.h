#pragma once
#include "geometry/transform.h"

// Sixteen numbers, row by row; missing ones are 0. Ends the process with status 1 when the
// file cannot be opened. A short or malformed file gets a warning on standard error.
void readMatrixFile(const char* path, float values[16]);
// Twelve numbers in TransformParams order; a missing number repeats the last one read
// (0 if none). Ends the process with status 1 when the file cannot be opened.
TransformParams readTransformFile(const char* path);

// Reads up to `count` numbers with "%f" semantics from the start of the file into
// values[]; a failed read leaves its value and stops all later reads. Returns the number
// read, or -1 when the file cannot be opened as a regular file. Reads a bounded prefix of
// the file, so a huge file costs nothing.
int scanNumbers(const char* path, float* values, int count);
