#pragma once
#include <openssl/crypto.h>

#include <cstdint>
#include <vector>

namespace qel::simp11 {

/// Bytes of a PIN or PUK: wiped when released, so that no secret lingers in freed memory.
class SecureBytes {
public:
    SecureBytes() = default;
    SecureBytes(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {}
    SecureBytes(const SecureBytes& other) : bytes_(other.bytes_) {}
    SecureBytes& operator=(const SecureBytes& other) {
        if (this != &other) {
            wipe();
            bytes_ = other.bytes_;
        }
        return *this;
    }
    SecureBytes(SecureBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecureBytes& operator=(SecureBytes&& other) noexcept {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
        }
        return *this;
    }
    ~SecureBytes() { wipe(); }

    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }

    /// Appends; grows in place only when the capacity allows, so no unwiped copy is left behind.
    void append(const std::uint8_t* data, std::size_t size) {
        if (bytes_.size() + size > bytes_.capacity()) {
            std::vector<std::uint8_t> bigger;
            bigger.reserve((bytes_.size() + size) * 2);
            bigger.assign(bytes_.begin(), bytes_.end());
            wipe();
            bytes_ = std::move(bigger);
        }
        bytes_.insert(bytes_.end(), data, data + size);
    }
    void append(const SecureBytes& other) { append(other.data(), other.size()); }
    void push_back(std::uint8_t b) { append(&b, 1); }

    void wipe() {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
        bytes_.clear();
    }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace qel::simp11
