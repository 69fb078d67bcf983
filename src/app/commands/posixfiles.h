#pragma once
// The files and folders of a batch, through POSIX: a batch's outputs live in folders that
// concurrent shards share and that a stopped run leaves half written.
#include <string>

bool exists(const std::string& path);
// mkdir -p; concurrent shards may create the same folders. True when the folder is there.
bool makeFolders(const std::string& path);
// The whole file; false when it cannot be read.
bool readFile(const std::string& path, std::string& text);
// Removes the temporary files that a process killed while writing left in `dir`: those of
// the images (.tarvo-*.tmp) and of the text files (*.tmp<pid>).
void removeLeftovers(const std::string& dir);
