#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "common/unique_fd.h"

namespace qel {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A name no other writer uses at the same time: the process, and a counter for the threads.
std::string temporaryName(const std::string& path, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    return path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(attempt);
}

// Makes the rename itself durable; a file system that cannot sync a folder has nothing more to do.
void syncFolder(const std::string& folder) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) (void)::fsync(fd.get());
}

}  // namespace

std::error_code writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return lastError();
        if (n == 0) return std::make_error_code(std::errc::io_error);
        done += static_cast<std::size_t>(n);
    }
    return {};
}

std::error_code writeFileAtomically(const std::string& path, mode_t mode, const FileContentWriter& write,
                                    ExistingFile existing) {
    std::string temporary;
    int created = -1;
    for (unsigned attempt = 0; created < 0; ++attempt) {
        temporary = temporaryName(path, attempt);
        created = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (created < 0 && (errno != EEXIST || attempt >= 100)) return lastError();
    }
    UniqueFd fd(created);
    std::error_code error;
    // The umask would narrow the mode; the caller's mode is what the file must have.
    if (::fchmod(fd.get(), mode) != 0) error = lastError();
    if (!error) error = write(fd.get());
    if (!error && ::fsync(fd.get()) != 0) error = lastError();
    if (::close(fd.release()) != 0 && !error) error = lastError();
    if (!error) {
        const int rv = existing == ExistingFile::replace ? ::rename(temporary.c_str(), path.c_str())
                                                         : ::link(temporary.c_str(), path.c_str());
        if (rv != 0) error = lastError();
    }
    // After a rename there is nothing left under the temporary name; after a link there is.
    if (error || existing == ExistingFile::keep) ::unlink(temporary.c_str());
    if (!error) syncFolder(folderOf(path));
    return error;
}

std::error_code writeFileAtomically(const std::string& path, std::string_view content, mode_t mode,
                                    ExistingFile existing) {
    return writeFileAtomically(
        path, mode, [content](int fd) { return writeAll(fd, content.data(), content.size()); }, existing);
}

}  // namespace qel
