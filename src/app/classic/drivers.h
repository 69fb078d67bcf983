#pragma once
// The six commands. Each returns the process status: 0 after the command has run, 1
// when an input could not be used (the message has been printed).
int runRegistration(const char* source, const char* reference, const char* output);
int runMatrixTransform(const char* source, const char* matrixFile, const char* output);
int runParamTransform(const char* source, const char* transformFile, const char* output);
int runIsotropicResample(const char* source, float dx, float dy, float dz, const char* output);
int runHalfSample(const char* source, const char* output);
int runCorrelationRatio(const char* source, const char* reference);
