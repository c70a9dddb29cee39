// The keypad structures and feature lists as a reader receives and a host reads them. Mode byte 0:
// the rest is a feature list; 1: a verify structure; 2: a modify structure. Whatever is accepted is
// filled with the shortest and the longest entry it allows, and the command must stay its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "card/pin_pad.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qel;
    if (size < 1) return 0;
    const Bytes input(data + 1, data + size);
    if (data[0] % 3 == 0) {
        const PinPadFeatures f = parseFeatureList(input);
        if (parseFeatureList(encodeFeatureList(f)).verifyPinDirect != f.verifyPinDirect) std::abort();
        return 0;
    }
    const bool modify = data[0] % 3 == 2;
    auto parsed = modify ? parseModifyStructure(input) : parseVerifyStructure(input);
    const auto* request = std::get_if<PinEntryRequest>(&parsed);
    if (!request) return 0;
    for (std::size_t n : {std::size_t{request->minDigits}, std::size_t{request->maxDigits}}) {
        const SecretBytes typed(std::string(n, '5'));
        auto command = fillPinCommand(*request, typed, typed);
        if (const auto* apdu = std::get_if<SecretBytes>(&command)) {
            const std::size_t expected = (request->blockString & 0x0F) == 0 ? apdu->size() : request->command.size();
            if (apdu->size() != expected || apdu->size() < 5 || (*apdu)[4] != apdu->size() - 5) std::abort();
        }
    }
    return 0;
}
