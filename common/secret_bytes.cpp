#include "common/secret_bytes.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <functional>

namespace qel {

void wipe(Bytes& bytes) {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}

void wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
        clear();
        bytes_.swap(other.bytes_);  // the other side keeps this side's wiped, empty buffer
    }
    return *this;
}

void SecretBytes::assign(std::string_view text) {
    clear();
    append(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void SecretBytes::append(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    const std::less<const std::uint8_t*> before;
    const bool ownBytes =
        !bytes_.empty() && !before(data, bytes_.data()) && before(data, bytes_.data() + bytes_.size());
    if (ownBytes || bytes_.size() + size > bytes_.capacity()) {
        // Growing in place would let the vector free the old buffer unwiped.
        std::vector<std::uint8_t> bigger;
        bigger.reserve(std::max<std::size_t>(16, (bytes_.size() + size) * 2));
        bigger.assign(bytes_.begin(), bytes_.end());
        bigger.insert(bigger.end(), data, data + size);  // `data` may point into the old buffer
        clear();
        bytes_.swap(bigger);
        return;
    }
    bytes_.insert(bytes_.end(), data, data + size);
}

void SecretBytes::clear() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    bytes_.clear();
}

}  // namespace qel
