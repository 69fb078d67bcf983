#include "app/commands/posixfiles.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool makeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool readFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return !in.bad();
}

void removeLeftovers(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> gone;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        const size_t t = n.rfind(".tmp");
        const bool imageTmp = n.rfind(".tarvo-", 0) == 0 && t == n.size() - 4;
        // Text files of earlier versions went through NAME.tmpPID.
        const bool textTmp = t != std::string::npos && t + 4 < n.size() &&
                             n.find_first_not_of("0123456789", t + 4) == std::string::npos;
        if (imageTmp || textTmp) gone.push_back(dir + "/" + n);
    }
    closedir(d);
    for (const std::string& f : gone) std::remove(f.c_str());
}
