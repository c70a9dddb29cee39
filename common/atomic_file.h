#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <system_error>

namespace qel {

/// What to do when the destination already exists.
enum class ExistingFile {
    replace,  ///< the new content takes its place in one step
    keep,     ///< the file stands and nothing is written (the answer is EEXIST)
};

/// Writes the content of a new file to an open descriptor; the descriptor stays the caller's to
/// neither close nor seek. A failure answers its cause (errno's, or the writer's own).
using FileContentWriter = std::function<std::error_code(int fd)>;

/// Puts a whole file at `path` so that nobody, not even after a crash, sees half of one: a temporary
/// file beside it, created exclusively with `mode` (exactly, whatever the umask), is written by
/// `write`, synced and renamed over `path` (or linked to it with ExistingFile::keep); the folder is
/// synced after. On failure the old file is untouched and the temporary removed. An empty answer
/// means the new file is in place. The folder must exist.
[[nodiscard]] std::error_code writeFileAtomically(const std::string& path, mode_t mode, const FileContentWriter& write,
                                                  ExistingFile existing = ExistingFile::replace);

/// The same for content held in memory.
[[nodiscard]] std::error_code writeFileAtomically(const std::string& path, std::string_view content, mode_t mode,
                                                  ExistingFile existing = ExistingFile::replace);

/// Writes every byte, resuming after signals; errno's cause on failure.
[[nodiscard]] std::error_code writeAll(int fd, const void* data, std::size_t size);

}  // namespace qel
