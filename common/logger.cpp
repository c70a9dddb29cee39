#include "common/logger.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>

#include "common/user_dirs.h"

namespace qel {

namespace {

// Fixed-size text, so that the settings need neither construction nor destruction: they exist
// before the first line and after the last static destructor, and a module unloaded with dlclose
// leaves nothing allocated behind.
template <std::size_t N>
struct Text {
    char chars[N] = {};
    std::string str() const { return chars; }
    bool empty() const { return chars[0] == '\0'; }
    /// False (and empty) when `value` does not fit.
    bool assign(const std::string& value) {
        const bool fits = value.size() < N;
        const std::size_t n = fits ? value.size() : 0;
        std::memcpy(chars, value.data(), n);
        chars[n] = '\0';
        return fits;
    }
};

struct LoggerSettings {
    // Guards the settings and the time conversion (the C library's time-zone lock is not reset in
    // a forked child, so no thread of ours may be inside it when another one forks). The writes
    // themselves take no lock.
    std::mutex mutex;
    bool configured = false;
    Text<64> stem{"/KartelloStore"};
    Text<64> module{"Kartello"};
    Text<PATH_MAX> directoryOverride;
    bool stateHomeRead = false;  // read once per process
    Text<PATH_MAX> stateHome;
    Text<512> lastRefusal;
};

constinit LoggerSettings g_settings;

LoggerSettings& settings() { return g_settings; }

// A child forked while another thread held the lock would wait for ever: the lock is taken before
// every fork and given back on both sides.
void lockBeforeFork() { g_settings.mutex.lock(); }
void unlockAfterFork() { g_settings.mutex.unlock(); }
[[maybe_unused]] const int g_forkHandlers = pthread_atfork(lockBeforeFork, unlockAfterFork, unlockAfterFork);

/// Where log files go: `folder`, whose folders below `root` must be private to this user.
struct LogFolder {
    std::string root;
    std::string folder;
};

// Caller holds the settings lock.
std::optional<LogFolder> logFolderLocked(LoggerSettings& s) {
    if (!s.directoryOverride.empty()) {
        const std::string folder = s.directoryOverride.str();
        const std::size_t slash = folder.find_last_of('/');
        return LogFolder{slash == std::string::npos ? std::string(".") : folder.substr(0, slash), folder};
    }
    if (!s.stateHomeRead) {
        s.stateHome.assign(userdirs::stateHome());
        s.stateHomeRead = true;
    }
    if (s.stateHome.empty()) return std::nullopt;
    return LogFolder{s.stateHome.str(), s.stateHome.str() + "/kartello/Logs"};
}

std::tm localNow(int* millis) {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    *millis =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    std::lock_guard lock(settings().mutex);
    localtime_r(&t, &tm);
    return tm;
}

// The log cannot say that it cannot be written: standard error does, once for each reason.
void refuse(const std::string& why) {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    if (s.lastRefusal.str() == why) return;
    s.lastRefusal.assign(why);
    std::fprintf(stderr, "%s log: %s; entries are dropped\n", s.module.chars, why.c_str());
    std::fflush(stderr);
}

void couldNotWrite() {
    std::printf("Could not write to file\n");
    std::fflush(stdout);
}

}  // namespace

std::string escapeControlCharacters(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

void Logger::configure(const std::string& stem, const std::string& moduleName, bool force) {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    if (s.configured && !force) return;
    s.configured = true;
    s.stem.assign(stem);
    s.module.assign(moduleName);
}

void Logger::setDirectory(const std::string& directory) {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    s.directoryOverride.assign(directory);
    s.stateHomeRead = false;
    s.lastRefusal.assign("");
}

std::string Logger::directory() {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    const std::optional<LogFolder> place = logFolderLocked(s);
    return place ? place->folder : std::string();
}

std::string moduleName() {
    auto& s = settings();
    std::lock_guard lock(s.mutex);
    return s.module.str();
}

std::string Logger::currentFilePath() {
    std::string stem;
    std::optional<LogFolder> place;
    {
        auto& s = settings();
        std::lock_guard lock(s.mutex);
        stem = s.stem.str();
        place = logFolderLocked(s);
    }
    if (!place) {
        refuse("no folder for the log file (neither XDG_STATE_HOME nor HOME is set)");
        return {};
    }
    struct stat st {};
    if (::lstat(place->folder.c_str(), &st) != 0 && !userdirs::makeDirs(place->folder)) {
        // The path is given all the same: the write that follows fails and says so.
        std::printf("unable to create %s: %s\n", place->folder.c_str(), std::strerror(errno));
        std::fflush(stdout);
    } else if (auto unsafe = userdirs::unsafeFolder(place->root, place->folder)) {
        refuse("log folder refused: " + *unsafe);
        return {};
    }
    int millis = 0;
    std::tm tm = localNow(&millis);
    char date[32];
    std::strftime(date, sizeof date, "-%Y-%m-%d", &tm);
    return place->folder + stem + date + ".log";
}

void Logger::log(const std::string& message, Severity severity) {
    try {
        int millis = 0;
        std::tm tm = localNow(&millis);
        char stamp[48];
        std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
        // A point before the milliseconds, so that "38.704" is not read as a 38704th second.
        std::snprintf(stamp + n, sizeof stamp - n, ".%03d", millis);

        // Messages carry text from the card and the reader (labels, names): one entry stays one line.
        const std::string escaped = escapeControlCharacters(message);
        std::string line;
        line.reserve(escaped.size() + 64);
        line.append(stamp).append(" ").append(severityTag(severity)).append(escaped).push_back('\n');

        const std::string path = currentFilePath();
        if (path.empty()) return;
        // One append write per entry keeps concurrent lines whole without a lock. The file is never
        // reached through a link: a process with more rights than the folder's owner must not
        // append to a file that owner chose.
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd < 0) {
            if (errno == ELOOP) {
                refuse(path + " is a symbolic link");
                return;
            }
            couldNotWrite();
            return;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
            ::close(fd);
            refuse(path + " is not a plain file of this user");
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
        if (left > 0) couldNotWrite();
    } catch (...) {
        // The logger never fails towards its caller.
    }
}

}  // namespace qel
