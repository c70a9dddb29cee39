#pragma once
// Keeps the card file cache of a fuzz run in a private temporary folder, removed at exit. The folder
// is in memory where the machine offers one: the cache is written and read for many inputs, and on a
// disk folder each truncated rewrite waited for the disk.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/logger.h"

namespace qel::fuzz {

inline const std::string& privateFolder() {
    // Never destroyed: the clean-up at exit still needs the name.
    static const std::string* dir = [] {
        std::error_code ec;
        const std::filesystem::path base =
            std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : std::filesystem::temp_directory_path();
        auto* d = new std::string((base / ("qel-fuzz-" + std::to_string(::getpid()))).string());
        std::filesystem::create_directories(*d);
        ::setenv("XDG_CACHE_HOME", (*d + "/cache").c_str(), 1);
        Logger::configure("/SigillaDriver", "Sigilla", true);
        Logger::setDirectory(*d + "/Logs");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(privateFolder(), ec);
        });
        return d;
    }();
    return *dir;
}

}  // namespace qel::fuzz
