#include "sim/card/apdu_command.h"

namespace qel::sim {

std::optional<CommandApdu> parseCommand(const Bytes& raw) {
    if (raw.size() < 4) return std::nullopt;
    CommandApdu c;
    c.cla = raw[0];
    c.ins = raw[1];
    c.p1 = raw[2];
    c.p2 = raw[3];
    const std::size_t n = raw.size();
    if (n == 4) return c;
    if (n == 5) {
        c.le = raw[4] == 0 ? 256 : raw[4];
        return c;
    }
    const std::size_t lc = raw[4];
    // Lc 00 followed by more bytes is the extended form; this card only speaks short APDUs.
    if (lc == 0) return std::nullopt;
    if (n == 5 + lc) {
        c.data.assign(raw.begin() + 5, raw.end());
        return c;
    }
    if (n == 6 + lc) {
        c.data.assign(raw.begin() + 5, raw.end() - 1);
        c.le = raw.back() == 0 ? 256 : raw.back();
        return c;
    }
    return std::nullopt;
}

Bytes ResponseApdu::toBytes() const {
    Bytes out = data;
    out.push_back(static_cast<std::uint8_t>(sw >> 8));
    out.push_back(static_cast<std::uint8_t>(sw & 0xFF));
    return out;
}

}  // namespace qel::sim
