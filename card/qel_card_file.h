#pragma once
#include <optional>
#include <string>

#include "card/card_file.h"
#include "card/qel_ops.h"
#include "common/bytes.h"

namespace qel {

/// The 32-character cache key text for a card serial: a serial of 32 characters as it is, a shorter
/// one extended with `cacheKeyFiller`, a longer one cut to its first 32.
std::string cacheKey(const std::string& serial);
inline constexpr char cacheKeyFiller = '*';

/// "<XDG cache home>/sigilla/OLMA/<serial>" (no trailing separator). Nothing for a serial that is
/// empty or is not plain hexadecimal text: such cards are never cached, so two cards whose serial
/// could not be read never share cached files. Nothing either without a cache home (no HOME).
std::optional<std::string> cacheDirectory(const std::string& serial);

/// Contents over this size are not cached (the record's length field has 2 bytes).
inline constexpr std::size_t maxCachedContent = 0xFFFF;

/// A reader of one card file, from the local enciphered cache when the file is cacheable and a card
/// serial is known, else from the card (filling the cache). Cache folders are 0700, files 0600,
/// written through a temporary file and a rename. A cache folder that is a link, another user's or
/// writable by others is neither read nor written (logged as a cache error), nor is a file that is
/// a link.
class QELCardFile {
public:
    QELCardFile(QELOps& ops, const CardFile& file, std::optional<std::string> cardSerial);

    /// The content, or nothing when the file is missing, empty or unreadable. Throws CardError(−2)
    /// when the transport fails during selection or reading. Cache problems only fall back to the card.
    std::optional<Bytes> getContent();

    /// True when fileData came from the cache.
    bool readCache();
    /// Writes fileData to the cache; problems are logged and dropped.
    void writeCache();

    const std::string& strFilePath() const { return strFilePath_; }
    int fileSize() const { return fileSize_; }
    const std::optional<Bytes>& fileData() const { return fileData_; }
    /// The cache file of this card file, when the card can be cached.
    std::optional<std::string> cachePath() const;

private:
    QELOps& qelOps_;
    Bytes filePath_;
    int fileSize_ = 0;
    std::optional<Bytes> fileData_;
    std::string strFilePath_;
    bool bReadCache_ = false;
    CardFile file_;
    std::optional<std::string> cardSerial_;
};

}  // namespace qel
