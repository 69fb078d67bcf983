#pragma once
// What the fuzz targets share: the readers under test take file names, so each input is
// written to a file in a folder of this process (in memory where /dev/shm exists), and the
// code under test may print what it likes on standard output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "device/device.h"

namespace fuzzfiles {

inline const std::string& folder() {
    static const std::string dir = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string d = base + "/tarvo-fuzz-" + std::to_string(getpid());
        mkdir(d.c_str(), 0700);
        return d;
    }();
    return dir;
}

inline std::string path(const std::string& name) { return folder() + "/" + name; }

inline void write(const std::string& file, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) std::abort();  // the harness itself is broken: not a finding in the code
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
}

// Standard output goes nowhere: the original commands print their complaints there, and
// libFuzzer reports on standard error. The process's folder goes when it exits.
inline void quietStdout() {
    std::fflush(stdout);
    const int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) dup2(fd, 1), close(fd);
    folder();  // made before the handler is registered, so destroyed after it runs
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(folder(), ec);
    });
}

// One thread: a fuzzer wants the same path through the code for the same input.
inline Device& cpu() {
    static std::unique_ptr<Device> d = makeCpuDevice(1);
    return *d;
}

}  // namespace fuzzfiles
