#include "volume/stagedfiles.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

// A temporary name in the destination's own folder, so that rename() stays in one file
// system and is atomic.
std::string temporaryName(const std::string& dest) {
    static std::atomic<unsigned> counter{0};
    const size_t slash = dest.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : dest.substr(0, slash + 1);
    return dir + ".tarvo-" + std::to_string((long)getpid()) + "-" + std::to_string(counter++) + ".tmp";
}

StagedFiles::~StagedFiles() {
    for (const auto& f : files_) std::remove(f.first.c_str());
}

std::string StagedFiles::add(const std::string& dest) {
    files_.emplace_back(temporaryName(dest), dest);
    return files_.back().first;
}

bool StagedFiles::commit() {
    for (size_t i = 0; i < files_.size(); ++i)
        if (std::rename(files_[i].first.c_str(), files_[i].second.c_str()) != 0) {
            files_.erase(files_.begin(), files_.begin() + (long)i);
            return false;
        }
    files_.clear();
    return true;
}
