#include "sim/card/tlv_writer.h"

#include <stdexcept>

namespace qel::sim {

namespace {

void appendTag(Bytes& out, std::uint32_t tag) {
    if (tag > 0xFFFF) out.push_back(static_cast<std::uint8_t>(tag >> 16));
    if (tag > 0xFF) out.push_back(static_cast<std::uint8_t>(tag >> 8));
    out.push_back(static_cast<std::uint8_t>(tag));
}

}  // namespace

Bytes tlv(std::uint32_t tag, const Bytes& value) {
    Bytes out;
    appendTag(out, tag);
    const std::size_t n = value.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xFFFF) {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        throw std::runtime_error("TLV value too long");
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes tlv(std::uint32_t tag, const std::string& text) { return tlv(tag, Bytes(text.begin(), text.end())); }

Bytes shortTlv(std::uint32_t tag, const Bytes& value) {
    if (value.size() >= 0x80)
        throw std::runtime_error("directory element of " + std::to_string(value.size()) +
                                 " bytes does not fit a one-byte length");
    return tlv(tag, value);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes bcd(const std::string& digits) {
    Bytes out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        auto nibble = [&](std::size_t k) -> std::uint8_t {
            if (k >= digits.size()) return 0x0F;
            char c = digits[k];
            if (c < '0' || c > '9') throw std::runtime_error("not a decimal digit in \"" + digits + "\"");
            return static_cast<std::uint8_t>(c - '0');
        };
        out.push_back(static_cast<std::uint8_t>(nibble(i) << 4 | nibble(i + 1)));
    }
    return out;
}

Bytes bigEndian(std::uint64_t value, std::size_t width) {
    Bytes out(width);
    for (std::size_t i = 0; i < width; ++i) out[width - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
    return out;
}

}  // namespace qel::sim
