#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"

namespace qel {

/// Wipes a buffer or a text in place (writes the compiler may not drop) and empties it.
void wipe(Bytes& bytes);
void wipe(std::string& text);

/// The bytes of a secret (a PIN, a PUK, a command that carries one), wiped when cleared, replaced,
/// moved from or destroyed. It grows without leaving an unwiped copy behind. It moves but is never
/// copied implicitly: `copy()` says so where a second copy is really needed. Never logged.
class SecretBytes {
public:
    SecretBytes() = default;
    SecretBytes(const std::uint8_t* data, std::size_t size) { append(data, size); }
    explicit SecretBytes(std::string_view text) { assign(text); }
    ~SecretBytes() { clear(); }

    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    SecretBytes& operator=(SecretBytes&& other) noexcept;

    /// A second, independent copy.
    SecretBytes copy() const { return SecretBytes(data(), size()); }

    void assign(std::string_view text);
    void append(const std::uint8_t* data, std::size_t size);
    void append(const SecretBytes& other) { append(other.data(), other.size()); }
    void push_back(std::uint8_t byte) { append(&byte, 1); }
    /// Wipes the bytes and empties the buffer.
    void clear();

    const std::uint8_t* data() const { return bytes_.data(); }
    /// For C interfaces that take a non-const pointer; null when empty.
    std::uint8_t* mutableData() { return bytes_.empty() ? nullptr : bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }
    const std::uint8_t* begin() const { return bytes_.data(); }
    const std::uint8_t* end() const { return bytes_.data() + bytes_.size(); }
    /// The bytes as text (a PIN typed as digits), valid while the buffer is unchanged.
    std::string_view view() const { return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()}; }

private:
    // Invariant: nothing secret lies between size() and capacity(); only clear() shrinks.
    std::vector<std::uint8_t> bytes_;
};

}  // namespace qel
