// Small helpers shared by the tests: a temp folder that cleans up after itself,
// whole-file reads and writes, and the few differences between the platforms
// that the unit tests meet.
#pragma once

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir() {
        std::filesystem::path base = std::filesystem::temp_directory_path();
        std::random_device random;
        // create_directory fails on a name that exists, so no two tests share one.
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            char name[32];
            std::snprintf(name, sizeof name, "vorn-test-%08x", static_cast<unsigned>(random()));
            std::error_code error;
            if (std::filesystem::create_directory(base / name, error)) {
                path_ = (base / name).string();
            }
        }
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline bool descriptor_is_open(int fd) {
#ifdef _WIN32
    return _get_osfhandle(fd) != -1;
#else
    return fcntl(fd, F_GETFD) != -1;
#endif
}

#ifdef _WIN32
constexpr bool kFoldersOpenAsFiles = false;
#else
constexpr bool kFoldersOpenAsFiles = true;
#endif

}  // namespace testsupport
