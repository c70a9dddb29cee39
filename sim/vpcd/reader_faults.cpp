#include "sim/vpcd/reader_faults.h"

#include "common/hex.h"

namespace qel::sim {

Bytes ReaderFaults::spoil(const Bytes& answer) {
    if (answer.size() <= 2) return answer;
    Bytes data(answer.begin(), answer.end() - 2);
    Bytes sw(answer.end() - 2, answer.end());
    Bytes out;
    switch (count_++ % 4) {
        case 0:
            out.assign(data.begin(), data.begin() + static_cast<long>(data.size() / 2));
            out.insert(out.end(), sw.begin(), sw.end());
            break;
        case 1:
            for (std::uint8_t b : data) out.push_back(static_cast<std::uint8_t>(~b));
            out.insert(out.end(), sw.begin(), sw.end());
            break;
        case 2:
            out = {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x90, 0x00};
            break;
        default:
            out = {answer.front()};
            break;
    }
    return out;
}

std::string loggableCommand(const Bytes& apdu) {
    if (apdu.size() < 5) return toHex(apdu);
    std::uint8_t ins = apdu[1];
    if (ins != 0x20 && ins != 0x24 && ins != 0x2C) return toHex(apdu);
    Bytes masked = apdu;
    for (std::size_t i = 5; i < masked.size(); ++i) masked[i] = 0xFF;
    return toHex(masked);
}

}  // namespace qel::sim
