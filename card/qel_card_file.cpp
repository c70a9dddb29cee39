#include "card/qel_card_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "card/aes.h"
#include "card/card_cache.h"
#include "common/atomic_file.h"
#include "common/unique_fd.h"
#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"
#include "common/user_dirs.h"

namespace qel {

namespace {

// A cache file is the IV, the ciphertext of the 4-byte header and the content with its padding, and
// the tag.
constexpr std::size_t kMaxCacheFile = 16 + 4 + maxCachedContent + 16 + cardcache::tagSize;

bool isHexText(const std::string& s) {
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::runtime_error systemError(const char* what, const std::string& path) {
    return std::runtime_error(format("%s %s: %s", what, path.c_str(), std::strerror(errno)));
}

Bytes readWholeFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) throw systemError("cannot open", path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw systemError("cannot stat", path);
    if (!S_ISREG(st.st_mode)) throw std::runtime_error("not a regular file: " + path);
    if (static_cast<std::size_t>(st.st_size) > kMaxCacheFile) throw std::runtime_error("cache file too large: " + path);
    Bytes data(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw systemError("cannot read", path);
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    data.resize(done);
    return data;
}

// A crash leaves either the old file or the new one, never half of one.
void writeFileAtomically(const std::string& path, const Bytes& data) {
    const std::error_code ec =
        qel::writeFileAtomically(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), 0600);
    if (ec) throw std::runtime_error("cannot write " + path + ": " + ec.message());
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The cache folders below the cache home must be this user's own: a process with more rights
// reading or writing through another user's folder would follow that user's links.
void requirePrivateFolder(const std::string& dir) {
    if (auto unsafe = userdirs::unsafeFolder(userdirs::cacheHome(), dir))
        throw std::runtime_error("cache folder refused: " + *unsafe);
}

}  // namespace

std::string cacheKey(const std::string& serial) {
    std::string key = serial.substr(0, 32);
    key.resize(32, cacheKeyFiller);
    return key;
}

std::optional<std::string> cacheDirectory(const std::string& serial) {
    // The serial becomes a folder name: only the card's own hexadecimal text may, which also keeps
    // two cards whose serial could not be read (the empty text) from sharing cached files.
    if (serial.empty() || !isHexText(serial)) return std::nullopt;
    const std::string home = userdirs::cacheHome();
    if (home.empty()) return std::nullopt;
    return home + "/sigilla/OLMA/" + serial;
}

QELCardFile::QELCardFile(QELOps& ops, const CardFile& file, std::optional<std::string> cardSerial)
    : qelOps_(ops),
      filePath_(file.fullPath()),
      strFilePath_(toHex(filePath_)),
      bReadCache_(file.cache),
      file_(file),
      cardSerial_(std::move(cardSerial)) {
    logDebug(format("QEL File : Read file %s", strFilePath_.c_str()));
}

std::optional<std::string> QELCardFile::cachePath() const {
    if (!cardSerial_) return std::nullopt;
    auto dir = cacheDirectory(*cardSerial_);
    if (!dir) return std::nullopt;
    return *dir + "/" + strFilePath_;
}

std::optional<Bytes> QELCardFile::getContent() {
    const char* name = strFilePath_.c_str();
    logDebug(format("QEL File : %s Get file content", name));
    if (bReadCache_ && readCache()) {
        logDebug(format("QEL File : %s File read from cache", name));
        return fileData_;
    }
    SelectResult selected = qelOps_.selectFile(file_, false);
    if (!selected.ok || selected.response.empty()) {
        logWarning(format("QEL File : %s File not Found", name));
        fileSize_ = 0;
        return std::nullopt;
    }
    fileSize_ = qelOps_.fileSizeFromSelectResponse(selected.response);
    if (fileSize_ != 0) {
        ReadResult read = qelOps_.readBinaryData(static_cast<std::size_t>(fileSize_));
        if (!read.ok) {
            logWarning(format("QEL File : %s Failed to read File", name));
            return std::nullopt;
        }
        fileData_ = std::move(read.data);
        if (bReadCache_) {
            logDebug(format("QEL File : %s Writing data in cache", name));
            writeCache();
        }
    }
    logDebug(format("QEL File : %s File successfully read", name));
    return fileData_;
}

bool QELCardFile::readCache() {
    const std::optional<std::string> path = cachePath();
    if (!path) {
        logWarning(cardSerial_ && userdirs::cacheHome().empty()
                       ? "QEL File : Read cache file - no cache folder (neither XDG_CACHE_HOME nor HOME is set)"
                       : "QEL File : Read cache file - Serial must be provided");
        return false;
    }
    logDebug(format("QEL File : Read data into cache file at %s", path->c_str()));
    struct stat st {};
    if (::lstat(path->c_str(), &st) != 0) {
        logDebug(format("QEL File : Cache file does not exists %s", path->c_str()));
        return false;
    }
    try {
        requirePrivateFolder(*cacheDirectory(*cardSerial_));
        const Bytes stored = readWholeFile(*path);
        Bytes plain = cardcache::open(*cardSerial_, strFilePath_, stored);
        // A record is 00 00, the content length on two bytes, then the content. Anything else is a
        // foreign or damaged file, which the next read from the card replaces. The first header byte
        // is reserved: only the second one is examined.
        if (plain.size() >= 2 && plain[1] != 0x00) return false;
        if (plain.size() < 4) throw std::runtime_error("cache record too short");
        const std::size_t length = static_cast<std::size_t>(plain[2]) << 8 | plain[3];
        if (length != plain.size() - 4) throw std::runtime_error("cache record length does not match its content");
        fileData_ = Bytes(plain.begin() + 4, plain.end());
        logDebug(format("QEL File : %s - cache file read", strFilePath_.c_str()));
        return true;
    } catch (const std::exception& e) {
        logError(format("QEL File : Reading cache file - An error occurred : %s", e.what()));
        return false;
    }
}

void QELCardFile::writeCache() {
    const std::optional<std::string> path = cachePath();
    if (!path) {
        logWarning(cardSerial_ && userdirs::cacheHome().empty()
                       ? "QEL File : Writing cache file - no cache folder (neither XDG_CACHE_HOME nor HOME is set)"
                       : "QEL File : Writing cache file - Serial must be provided");
        return;
    }
    logDebug(format("QEL File : Write data into cache file at %s", path->c_str()));
    try {
        const std::string dir = *cacheDirectory(*cardSerial_);
        if (!isDirectory(dir)) {
            logDebug(format("QEL File : %s directory does not exist, create it...", dir.c_str()));
            if (!userdirs::makeDirs(dir, 0700)) throw systemError("cannot create", dir);
        }
        requirePrivateFolder(dir);
        if (!fileData_) {
            logWarning("QEL File : Writing cache file - No data available");
            return;
        }
        if (fileData_->size() > maxCachedContent) throw std::runtime_error("content too long to be cached");
        Bytes plain{0x00, 0x00, static_cast<std::uint8_t>(fileData_->size() >> 8),
                    static_cast<std::uint8_t>(fileData_->size() & 0xFF)};
        plain.insert(plain.end(), fileData_->begin(), fileData_->end());
        writeFileAtomically(*path, cardcache::seal(*cardSerial_, strFilePath_, plain));
        logDebug(format("QEL File : %s - cache file create", strFilePath_.c_str()));
    } catch (const std::exception& e) {
        logWarning(format("QEL File : Writing cache file - An error occurred : %s", e.what()));
    }
}

}  // namespace qel
