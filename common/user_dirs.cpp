#include "common/user_dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace qel::userdirs {

namespace {

// A module runs inside other programs, set-user-ID ones included: their caller's environment must
// not choose where a privileged process writes.
const char* variable(const char* name) { return ::secure_getenv(name); }

std::string envOr(const char* name, const std::string& fallbackBelowHome) {
    const char* v = variable(name);
    if (v != nullptr && v[0] == '/') return v;
    const std::string h = home();
    return h.empty() ? std::string() : h + fallbackBelowHome;
}

}  // namespace

std::string home() {
    const char* h = variable("HOME");
    if (h != nullptr && h[0] == '/') return h;
    return {};
}

std::string stateHome() { return envOr("XDG_STATE_HOME", "/.local/state"); }
std::string cacheHome() { return envOr("XDG_CACHE_HOME", "/.cache"); }
std::string configHome() { return envOr("XDG_CONFIG_HOME", "/.config"); }
std::string dataHome() { return envOr("XDG_DATA_HOME", "/.local/share"); }

std::string nssSharedDatabase() {
    const std::string h = home();
    if (h.empty()) return {};
    const std::string data = dataHome();
    struct stat st {};
    if (!data.empty() && ::stat((data + "/pki/nssdb").c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return data + "/pki/nssdb";
    return h + "/.pki/nssdb";
}

std::string userDir(const char* key, const char* fallback) {
    if (const char* v = variable(key); v != nullptr && v[0] == '/') return v;
    const std::string h = home();
    if (h.empty()) return {};
    std::ifstream in(configHome() + "/user-dirs.dirs");
    std::string line;
    const std::string prefix = std::string(key) + "=";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::string value = line.substr(prefix.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) value = h + value.substr(5);
        if (!value.empty() && value[0] == '/') return value;
    }
    return h + "/" + fallback;
}

bool makeDirs(const std::string& path, unsigned mode) {
    if (path.empty()) return false;
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> unsafeFolder(const std::string& root, const std::string& folder) {
    if (folder.size() <= root.size() + 1 || folder.compare(0, root.size(), root) != 0 || folder[root.size()] != '/')
        return folder + " is not below " + root;
    for (std::size_t pos = root.size(); pos != std::string::npos;) {
        pos = folder.find('/', pos + 1);
        const std::string path = folder.substr(0, pos);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
        if (S_ISLNK(st.st_mode)) return path + " is a symbolic link";
        if (!S_ISDIR(st.st_mode)) return path + " is not a folder";
        if (st.st_uid != ::geteuid()) return path + " belongs to another user";
        if (st.st_mode & (S_IWGRP | S_IWOTH)) return path + " is writable by other users";
    }
    return std::nullopt;
}

}  // namespace qel::userdirs
