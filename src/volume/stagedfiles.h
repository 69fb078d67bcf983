#pragma once
// The files of one result (a matrix, its ITK twin, a picture, an image) written under
// temporary names and put in place together. A run that fails before the end leaves every
// file of an earlier run exactly as it was and no new one: never an image beside the
// matrix of another run, or an old image with its matrix gone.
#include <string>
#include <utility>
#include <vector>

// A name for a temporary file in the folder of `dest` (unique in this process), to be
// renamed onto `dest` once complete, so that no reader ever sees a partial file. Every
// file the program writes goes through one (a batch clears leftovers of a crash by it).
std::string temporaryName(const std::string& dest);

class StagedFiles {
public:
    StagedFiles() = default;
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;
    // Whatever was not committed goes.
    ~StagedFiles();

    // A temporary name beside `dest` (the one temporary-name rule of the program), to be
    // renamed onto `dest` at commit. The writer removes it itself when it fails.
    std::string add(const std::string& dest);
    // Renames every temporary onto its destination, in the order they were added. False
    // when one cannot be (the ones left are removed); renames within one folder do not
    // fail once the files could be written there.
    bool commit();

private:
    std::vector<std::pair<std::string, std::string>> files_;  // temporary, destination
};
