#pragma once
// The new commands beside the six original ones: tarvo register, tarvo apply, tarvo batch,
// tarvo report, tarvo --help, tarvo --version. Parsed with CLI11; the original commands'
// dispatch is untouched.

// Whether argv[1] names one of them.
bool isWorldCommand(const char* first);
// Runs it; returns the exit status.
int runWorldCommand(int argc, char** argv);

// The program's version, as --version prints it.
const char* tarvoVersion();

int runRegisterCommand(int argc, char** argv);  // argv[0] is "register"
int runApplyCommand(int argc, char** argv);     // argv[0] is "apply"
int runBatchCommand(int argc, char** argv);     // argv[0] is "batch"
int runReportCommand(int argc, char** argv);    // argv[0] is "report"
