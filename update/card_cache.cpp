#include "update/card_cache.h"

#include <filesystem>
#include <system_error>

#include "common/logger.h"
#include "common/user_dirs.h"

namespace qel {

bool dropCardFileCache(const std::string& cardSerial) {
    // The serial becomes a folder name: nothing that could climb out of the cache.
    if (cardSerial.empty() || cardSerial.size() > 64) return false;
    for (char c : cardSerial)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    const std::string root = userdirs::cacheHome();
    if (root.empty()) return true;  // no home, no cache
    const std::filesystem::path folder = std::filesystem::path(root) / "sigilla" / "OLMA" / cardSerial;
    std::error_code error;
    // A link in place of the folder is removed as a link, never followed.
    std::filesystem::remove_all(folder, error);
    if (error) {
        logError("Suppression du cache de la carte " + cardSerial + " impossible : " + error.message());
        return false;
    }
    logInfo("Cache de la carte " + cardSerial + " supprimé");
    return true;
}

}  // namespace qel
