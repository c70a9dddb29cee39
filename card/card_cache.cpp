#include "card/card_cache.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "card/aes.h"
#include "card/qel_card_file.h"
#include "common/unique_fd.h"
#include "common/format.h"
#include "common/user_dirs.h"

namespace qel::cardcache {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kKeySize = 32;

std::runtime_error systemError(const char* what, const std::string& path) {
    return std::runtime_error(format("%s %s: %s", what, path.c_str(), std::strerror(errno)));
}

// Reads the key file: a regular file of exactly 32 bytes, the user's, readable by no one else.
std::optional<SecretBytes> readKey(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw systemError("cannot open", path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw systemError("cannot stat", path);
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0)
        throw std::runtime_error("key file refused: " + path + " is not a private file of this user");
    if (st.st_size != static_cast<off_t>(kKeySize))
        throw std::runtime_error("key file refused: " + path + " has a wrong size");
    std::uint8_t buffer[kKeySize];
    std::size_t done = 0;
    while (done < kKeySize) {
        const ssize_t n = ::read(fd.get(), buffer + done, kKeySize - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            OPENSSL_cleanse(buffer, sizeof buffer);
            throw systemError("cannot read", path);
        }
        done += static_cast<std::size_t>(n);
    }
    SecretBytes key(buffer, kKeySize);
    OPENSSL_cleanse(buffer, sizeof buffer);
    return key;
}

// Writes a new key under a temporary name and links it into place: two processes that start at
// once both end up reading the one key that won.
void makeKey(const std::string& path) {
    std::uint8_t buffer[kKeySize];
    if (RAND_bytes(buffer, sizeof buffer) != 1) throw std::runtime_error("no random bytes for the cache key");
    std::string tmp = path + ".XXXXXX";
    const int raw = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (raw < 0) {
        OPENSSL_cleanse(buffer, sizeof buffer);
        throw systemError("cannot create", tmp);
    }
    UniqueFd fd(raw);
    const bool written = ::fchmod(fd.get(), 0600) == 0 && ::write(fd.get(), buffer, sizeof buffer) == sizeof buffer &&
                         ::fsync(fd.get()) == 0;
    OPENSSL_cleanse(buffer, sizeof buffer);
    const int linkError = written && ::link(tmp.c_str(), path.c_str()) != 0 ? errno : 0;
    ::unlink(tmp.c_str());
    if (!written) throw systemError("cannot write", tmp);
    if (linkError != 0 && linkError != EEXIST) {
        errno = linkError;
        throw systemError("cannot create", path);
    }
}

Bytes tag(const SecretBytes& key, const std::string& serial, const std::string& fileName, const std::uint8_t* data,
          std::size_t size) {
    // Serial and name are separated by a byte neither can hold, so that no two pairs read alike.
    Bytes message;
    message.insert(message.end(), serial.begin(), serial.end());
    message.push_back(0x00);
    message.insert(message.end(), fileName.begin(), fileName.end());
    message.push_back(0x00);
    message.insert(message.end(), data, data + size);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(), out.data(),
             &length) == nullptr)
        throw std::runtime_error("cache record tag failed");
    out.resize(length);
    return out;
}

Bytes serialKey(const std::string& serial) {
    const std::string k = cacheKey(serial);
    return Bytes(k.begin(), k.end());
}

std::string cacheRoot() {
    const std::string home = userdirs::cacheHome();
    if (home.empty()) throw std::runtime_error("no cache folder (neither XDG_CACHE_HOME nor HOME is set)");
    return home + "/sigilla/OLMA";
}

}  // namespace

std::string keyFilePath() {
    const std::string config = userdirs::configHome();
    return config.empty() ? std::string() : config + "/sigilla/cache.key";
}

SecretBytes userKey() {
    const std::string path = keyFilePath();
    if (path.empty()) throw std::runtime_error("no key folder (neither XDG_CONFIG_HOME nor HOME is set)");
    const std::string folder = userdirs::configHome() + "/sigilla";
    if (!userdirs::makeDirs(folder, 0700)) throw systemError("cannot create", folder);
    if (auto unsafe = userdirs::unsafeFolder(userdirs::configHome(), folder))
        throw std::runtime_error("key folder refused: " + *unsafe);
    if (auto key = readKey(path)) return std::move(*key);
    makeKey(path);
    if (auto key = readKey(path)) return std::move(*key);
    throw std::runtime_error("key file vanished: " + path);
}

Bytes seal(const std::string& serial, const std::string& fileName, const Bytes& plainRecord) {
    const SecretBytes key = userKey();
    const AES aes(serialKey(serial));
    Bytes stored = aes.aesEncrypt(plainRecord);
    const Bytes t = tag(key, serial, fileName, stored.data(), stored.size());
    stored.insert(stored.end(), t.begin(), t.end());
    return stored;
}

Bytes open(const std::string& serial, const std::string& fileName, const Bytes& stored) {
    if (stored.size() < tagSize) throw std::runtime_error("cache record without its tag");
    const SecretBytes key = userKey();
    const std::size_t body = stored.size() - tagSize;
    const Bytes expected = tag(key, serial, fileName, stored.data(), body);
    if (CRYPTO_memcmp(expected.data(), stored.data() + body, tagSize) != 0)
        throw std::runtime_error("cache record not written by this user's programs");
    const AES aes(serialKey(serial));
    return aes.aesDecrypt(Bytes(stored.begin(), stored.begin() + static_cast<long>(body)));
}

int clearCard(const std::string& serial) {
    const std::optional<std::string> dir = cacheDirectory(serial);
    if (!dir) throw std::runtime_error("not a card serial: " + serial);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(*dir, ec))) return 0;
    if (auto unsafe = userdirs::unsafeFolder(userdirs::cacheHome(), cacheRoot()))
        throw std::runtime_error("cache folder refused: " + *unsafe);
    // remove_all takes a link away without following it.
    fs::remove_all(*dir, ec);
    if (ec) throw std::runtime_error("cannot remove " + *dir + ": " + ec.message());
    return 1;
}

int clearAll() {
    const std::string root = cacheRoot();
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(root, ec))) return 0;
    if (auto unsafe = userdirs::unsafeFolder(userdirs::cacheHome(), root))
        throw std::runtime_error("cache folder refused: " + *unsafe);
    int removed = 0;
    for (const auto& entry : fs::directory_iterator(root, ec)) {
        fs::remove_all(entry.path(), ec);
        if (ec) throw std::runtime_error("cannot remove " + entry.path().string() + ": " + ec.message());
        ++removed;
    }
    if (ec) throw std::runtime_error("cannot list " + root + ": " + ec.message());
    return removed;
}

}  // namespace qel::cardcache
