// The cache reader on arbitrary file bytes. Mode byte 0: the bytes are the file itself. Mode 1: the
// bytes are a plain record, enciphered with the right key first, so that the record checks are
// reached and not only the cipher's padding check.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "card/aes.h"
#include "card/qel_card_file.h"
#include "fuzz_env.h"

namespace {

using namespace qel;

class SilentCard : public SmartCard {
public:
    Bytes atr() const override { return {}; }
    void beginSession() override {}
    void endSession() override {}
    Bytes transmit(const Bytes&) override { return {0x6A, 0x82}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qel::fuzz::privateFolder();
    if (size < 1) return 0;
    static const std::string serial = "80250000011234567890";
    const std::string dir = *cacheDirectory(serial);
    static bool made = std::filesystem::create_directories(dir);
    (void)made;

    Bytes file(data + 1, data + size);
    if (data[0] & 1) {
        const std::string key = cacheKey(serial);
        const AES aes(Bytes(key.begin(), key.end()));
        file = aes.aesEncrypt(file);
    }
    {
        std::ofstream out(dir + "/3F0000017002", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    SilentCard card;
    QELOps ops(card, QELType::QEL3);
    CardFile cardFile{{0x3F, 0x00, 0x00, 0x01}, {0x70, 0x02}, true};
    QELCardFile reader(ops, cardFile, serial);
    if (reader.readCache()) {
        if (!reader.fileData() || reader.fileData()->size() > maxCachedContent) __builtin_trap();
    }
    return 0;
}
