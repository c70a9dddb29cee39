#pragma once
#include <openssl/crypto.h>

#include <string>
#include <string_view>

#include "common/bytes.h"

namespace qel {

/// Wipes a byte buffer or a text in place (the compiler may not drop the writes).
inline void wipe(Bytes& bytes) {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes.clear();
}
inline void wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

/// A secret text (a PIN) that is wiped when it goes or is replaced. Never logged.
class SecretText {
public:
    SecretText() = default;
    explicit SecretText(std::string_view text) : text_(text) {}
    ~SecretText() { wipe(text_); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    void assign(std::string_view text) {
        wipe(text_);
        text_.assign(text.data(), text.size());
    }
    const std::string& text() const { return text_; }
    bool empty() const { return text_.empty(); }

private:
    std::string text_;
};

}  // namespace qel
