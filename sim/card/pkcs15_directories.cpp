#include "sim/card/pkcs15_directories.h"

#include "sim/card/tlv_writer.h"

namespace qel::sim {

Bytes namedBitString(std::uint16_t flags) {
    if (flags == 0) return tlv(0x03, Bytes{0x00});
    int highest = 15;
    while (!(flags & (1u << highest))) --highest;
    const int byteCount = highest / 8 + 1;
    Bytes content(static_cast<std::size_t>(byteCount) + 1, 0);
    content[0] = static_cast<std::uint8_t>(7 - highest % 8);
    for (int bit = 0; bit <= highest; ++bit)
        if (flags & (1u << bit)) content[1 + bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    return tlv(0x03, content);
}

Bytes privateKeyEntry(const std::string& label, const Bytes& keyId, std::uint16_t usage, std::uint8_t keyReference,
                      const Bytes& keyFolderPath, int modulusBits) {
    // Object flags: private; authId 01 = the PIN guards the key.
    Bytes common = shortTlv(0x30, cat({tlv(0x0C, label), tlv(0x03, Bytes{0x07, 0x80}), tlv(0x04, Bytes{0x01})}));
    // Access flags: sensitive, alwaysSensitive, neverExtractable, local.
    Bytes keyAttributes = shortTlv(0x30, cat({tlv(0x04, keyId), namedBitString(usage), tlv(0x03, Bytes{0x03, 0xB8}),
                                              tlv(0x02, Bytes{keyReference})}));
    Bytes rsaAttributes =
        shortTlv(0xA1, shortTlv(0x30, cat({shortTlv(0x30, tlv(0x04, keyFolderPath)),
                                           tlv(0x02, bigEndian(static_cast<std::uint64_t>(modulusBits), 2))})));
    return shortTlv(0x30, cat({common, keyAttributes, rsaAttributes}));
}

Bytes certificateEntry(const std::string& label, const Bytes& keyId, const Bytes& certificatePath) {
    Bytes common = shortTlv(0x30, cat({tlv(0x0C, label), tlv(0x03, Bytes{0x06, 0x40})}));
    Bytes certAttributes = shortTlv(0x30, tlv(0x04, keyId));
    Bytes typeAttributes = shortTlv(0xA1, shortTlv(0x30, shortTlv(0x30, tlv(0x04, certificatePath))));
    return shortTlv(0x30, cat({common, certAttributes, typeAttributes}));
}

}  // namespace qel::sim
