// The logger of the fuzz targets: the same interface and settings as the shared one, but the entries
// are dropped. The shared logger opens, appends to and closes its daily file for every entry; a fuzz
// run makes millions of entries, which made file writes the largest cost of a run and filled the
// disk on long ones. The logger itself reads no outside bytes, so nothing is lost for fuzzing.
#include <mutex>

#include "common/logger.h"
#include "common/user_dirs.h"

namespace qel {

namespace {

struct QuietSettings {
    std::mutex mutex;
    bool configured = false;
    std::string stem = "/KartelloStore";
    std::string module = "Kartello";
    std::string directoryOverride;
};

QuietSettings& settings() {
    static QuietSettings s;
    return s;
}

}  // namespace

void Logger::log(const std::string&, Severity) {}

void Logger::configure(const std::string& stem, const std::string& moduleName, bool force) {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    if (s.configured && !force) return;
    s.configured = true;
    s.stem = stem;
    s.module = moduleName;
}

void Logger::setDirectory(const std::string& directory) {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    s.directoryOverride = directory;
}

std::string Logger::directory() {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    return s.directoryOverride.empty() ? userdirs::stateHome() + "/kartello/Logs" : s.directoryOverride;
}

std::string Logger::currentFilePath() {
    std::string stem;
    {
        auto& s = settings();
        std::lock_guard lock(s.mutex);
        stem = s.stem;
    }
    return directory() + stem + ".log";
}

std::string moduleName() {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    return s.module;
}

}  // namespace qel
