#include "common/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "common/user_dirs.h"

namespace qel {

namespace {

struct LoggerSettings {
    std::mutex mutex;  // guards the settings only; writes take no lock
    bool configured = false;
    std::string stem = "/KartelloStore";
    std::string module = "Kartello";
    std::string directoryOverride;
};

LoggerSettings& settings() {
    static LoggerSettings s;
    return s;
}

std::string defaultDirectory() {
    static const std::string dir = userdirs::stateHome() + "/kartello/Logs";
    return dir;
}

std::tm localNow(int* millis) {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    *millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace

const char* severityTag(Severity severity) {
    switch (severity) {
        case Severity::success: return "[\u2705]";
        case Severity::error: return "[\u26D4\uFE0F]";
        case Severity::info: return "[\u2139\uFE0F]";
        case Severity::debug: return "[\U0001F4AC]";
        case Severity::verbose: return "[\U0001F52C]";
        case Severity::warning: return "[\u26A0\uFE0F]";
        case Severity::severe: return "[\U0001F525]";
    }
    return "[]";
}

void SwiftLogger::configure(const std::string& stem, const std::string& moduleName, bool force) {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    if (s.configured && !force) return;
    s.configured = true;
    s.stem = stem;
    s.module = moduleName;
}

void SwiftLogger::setDirectory(const std::string& directory) {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    s.directoryOverride = directory;
}

std::string SwiftLogger::directory() {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    return s.directoryOverride.empty() ? defaultDirectory() : s.directoryOverride;
}

std::string moduleName() {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    return s.module;
}

std::string SwiftLogger::currentFilePath() {
    std::string stem;
    {
        auto& s = settings();
        std::lock_guard lock(s.mutex);
        stem = s.stem;
    }
    const std::string dir = directory();
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 && !userdirs::makeDirs(dir)) {
        std::printf("unable to create %s: %s\n", dir.c_str(), std::strerror(errno));
        std::fflush(stdout);
    }
    int millis = 0;
    std::tm tm = localNow(&millis);
    char date[32];
    std::strftime(date, sizeof date, "-%Y-%m-%d", &tm);
    return dir + stem + date + ".log";
}

void SwiftLogger::log(const std::string& message, Severity severity) {
    try {
        int millis = 0;
        std::tm tm = localNow(&millis);
        char stamp[48];
        std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
        std::snprintf(stamp + n, sizeof stamp - n, "%03d", millis);

        std::string line;
        line.reserve(message.size() + 64);
        line.append(stamp).append(" ").append(severityTag(severity)).append(message).push_back('\n');

        const std::string path = currentFilePath();
        // One append write per entry keeps concurrent lines whole without a lock.
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            std::printf("Could not write to file\n");
            std::fflush(stdout);
            return;
        }
        const char* p = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            ssize_t w = ::write(fd, p, left);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            p += w;
            left -= static_cast<std::size_t>(w);
        }
        ::close(fd);
    } catch (...) {
        // The logger never fails towards its caller.
    }
}

}  // namespace qel
