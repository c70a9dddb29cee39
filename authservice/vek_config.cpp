#include "authservice/vek_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>

#include "common/atomic_file.h"
#include "common/user_dirs.h"

namespace qel::vek {
namespace {

std::atomic<bool> testEnvironment{false};

std::mutex& pathMutex() {
    static std::mutex m;
    return m;
}
std::string& pathOverride() {
    static std::string path;
    return path;
}

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + " : " + std::strerror(errno);
}

enum class ReadStatus { ok, absent, failed };

// The whole file, up to a size no settings file reaches; a link or a non-regular file is read as
// its target would be, as any other reader of the file would.
ReadStatus readWhole(const std::string& path, std::string& bytes, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const bool absent = errno == ENOENT;
        error = systemError("lecture impossible du fichier de réglages", path);
        return absent ? ReadStatus::absent : ReadStatus::failed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "le fichier de réglages " + path + " n'est pas un fichier ordinaire";
        ::close(fd);
        return ReadStatus::failed;
    }
    constexpr std::size_t kLimit = (1u << 20) + 1;
    bytes.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = systemError("lecture impossible du fichier de réglages", path);
            ::close(fd);
            return ReadStatus::failed;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() >= kLimit) break;  // decode() refuses it with its size
    }
    ::close(fd);
    return ReadStatus::ok;
}

// Creates the file whole or not at all, and never over a file that appeared meanwhile: the bytes go
// to a private temporary file that is then linked under the final name.
bool createWhole(const std::string& path, const std::string& bytes, std::string& error) {
    const std::error_code ec = writeFileAtomically(path, bytes, 0644, ExistingFile::keep);
    // Another process made the file first: theirs stands, as it would have for a later call.
    if (!ec || ec == std::errc::file_exists) return true;
    error = "création impossible du fichier de réglages " + path + " : " + ec.message();
    return false;
}

VekConfig::Outcome readOutcome(const std::string& path, bool createWhenAbsent) {
    VekConfig::Outcome outcome{VekParams::defaults(), std::nullopt, false};
    if (path.empty()) {
        outcome.error = "pas de dossier personnel : le fichier de réglages est introuvable";
        return outcome;
    }
    std::string bytes;
    std::string error;
    const ReadStatus status = readWhole(path, bytes, error);
    if (status == ReadStatus::ok) {
        std::string why;
        if (auto params = VekConfig::decode(bytes, &why))
            outcome.params = std::move(*params);
        else
            outcome.error = "fichier de réglages " + path + " inutilisable : " + why;
        return outcome;
    }
    if (status == ReadStatus::absent && createWhenAbsent) {
        // A home without its documents folder would keep the settings from ever being written,
        // and the service address from ever being edited: the folder is made like the desktop does.
        const std::string folder = path.substr(0, path.find_last_of('/'));
        if (!folder.empty() && folder != path && !userdirs::makeDirs(folder, 0755)) {
            outcome.error = "dossier " + folder + " absent et impossible à créer : réglages par défaut";
            return outcome;
        }
        if (createWhole(path, VekConfig::encodeBinary(outcome.params), error))
            outcome.created = true;
        else
            outcome.error = error;
        return outcome;
    }
    outcome.error = error;
    return outcome;
}

VekParams reported(const VekConfig::Outcome& outcome) {
    if (outcome.error) std::cout << *outcome.error << std::endl;
    return outcome.params;
}

}  // namespace

std::string VekConfig::settingsPath() {
    std::lock_guard lock(pathMutex());
    if (!pathOverride().empty()) return pathOverride();
    static const std::string computed = [] {
        const std::string documents = userdirs::documentsDir();
        return documents.empty() ? std::string() : documents + "/vek.plist";
    }();
    return computed;
}

void VekConfig::setSettingsPath(const std::string& path) {
    std::lock_guard lock(pathMutex());
    pathOverride() = path;
}

VekConfig::Outcome VekConfig::load() { return readOutcome(settingsPath(), true); }
VekConfig::Outcome VekConfig::read() { return readOutcome(settingsPath(), false); }
VekParams VekConfig::loadParams() { return reported(load()); }
VekParams VekConfig::readParams() { return reported(read()); }

bool isTestEnvironment() { return testEnvironment.load(); }
void setTestEnvironment(bool isTest) { testEnvironment.store(isTest); }

}  // namespace qel::vek
