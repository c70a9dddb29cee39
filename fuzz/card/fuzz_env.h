#pragma once
// Keeps the logger and the cache of a fuzz run in a private temporary folder, removed at exit.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/logger.h"

namespace qel::fuzz {

inline const std::string& privateFolder() {
    // Never destroyed: the clean-up at exit still needs the name.
    static const std::string* dir = [] {
        auto* d = new std::string(
            (std::filesystem::temp_directory_path() / ("qel-fuzz-" + std::to_string(::getpid()))).string());
        std::filesystem::create_directories(*d);
        ::setenv("XDG_CACHE_HOME", (*d + "/cache").c_str(), 1);
        SwiftLogger::configure("/SigillaDriver", "Sigilla", true);
        SwiftLogger::setDirectory(*d + "/Logs");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(privateFolder(), ec);
        });
        return d;
    }();
    return *dir;
}

}  // namespace qel::fuzz
