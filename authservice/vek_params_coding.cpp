// The settings file's bytes: read in any property-list format, written binary.
#include <plist/plist.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "authservice/vek_config.h"
#include "common/utf8.h"

namespace qel::vek {
namespace {

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// The text of a string node of the dictionary; nothing when the key is missing or not a string.
std::optional<std::string> stringValue(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    // Read by pointer and length: the library's copying reader stops the process on a string with a
    // NUL inside, which a damaged file can hold.
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

bool fail(std::string* why, const std::string& reason) {
    if (why) *why = reason;
    return false;
}

}  // namespace

VekParams VekParams::defaults() { return VekParams{kDefaultVekProdPath, kDefaultVekTestPath}; }

std::optional<VekParams> VekConfig::decode(const std::string& bytes, std::string* why) {
    constexpr std::size_t kMaxSettingsBytes = 1u << 20;
    if (bytes.size() > kMaxSettingsBytes) {
        fail(why, "le fichier de réglages dépasse " + std::to_string(kMaxSettingsBytes) + " octets");
        return std::nullopt;
    }
    if (bytes.empty()) {
        fail(why, "le fichier de réglages est vide");
        return std::nullopt;
    }
    plist_t root = nullptr;
    // The library reads past the end of an XML text that is not terminated: hand it a terminated copy.
    const std::string terminated = bytes + '\0';
    plist_from_memory(terminated.data(), static_cast<uint32_t>(bytes.size()), &root);
    PlistPtr owner(root);
    if (!root) {
        fail(why, "le fichier de réglages n'est pas une liste de propriétés");
        return std::nullopt;
    }
    if (plist_get_node_type(root) != PLIST_DICT) {
        fail(why, "le fichier de réglages n'est pas un dictionnaire");
        return std::nullopt;
    }
    auto prod = stringValue(root, kVekProdPathKey);
    auto test = stringValue(root, kVekTestPathKey);
    if (!prod || !test) {
        fail(why, std::string("le fichier de réglages n'a pas de texte pour la clé ") +
                      (!prod ? kVekProdPathKey : kVekTestPathKey));
        return std::nullopt;
    }
    // An address is text: bytes that are not UTF-8, or a NUL, could not be written back as they were read.
    auto isText = [](const std::string& v) { return isUtf8(v) && v.find('\0') == std::string::npos; };
    if (!isText(*prod) || !isText(*test)) {
        fail(why, std::string("le fichier de réglages a une adresse qui n'est pas un texte UTF-8 pour la clé ") +
                      (!isText(*prod) ? kVekProdPathKey : kVekTestPathKey));
        return std::nullopt;
    }
    return VekParams{std::move(*prod), std::move(*test)};
}

std::string VekConfig::encodeBinary(const VekParams& params) {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), kVekProdPathKey, plist_new_string(params.prodPath.c_str()));
    plist_dict_set_item(dict.get(), kVekTestPathKey, plist_new_string(params.testPath.c_str()));
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict.get(), &out, &length);
    std::string bytes = out ? std::string(out, length) : std::string();
    if (out) plist_to_bin_free(out);
    return bytes;
}

}  // namespace qel::vek
