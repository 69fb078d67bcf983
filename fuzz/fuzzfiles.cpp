// Every target starts the same way: its own folder for the inputs, and standard output
// (where the original commands complain) sent nowhere.
#include "fuzzfiles.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzfiles::quietStdout();
    return 0;
}
