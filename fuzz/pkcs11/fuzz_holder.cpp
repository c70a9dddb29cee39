// The holder and situation decoders on arbitrary data-object values: each input is decoded as every
// record the card carries, and as billing data for the situations it produced.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/logger.h"
#include "pkcs11/holder_infos.h"
#include "pkcs11/qel_tlv.h"
#include "pkcs11/situ_factu_infos.h"

namespace {

// The decoders log every value they read: keep those lines in a private folder, removed at exit.
void privateLogFolder() {
    static const std::string* dir = [] {
        auto* d = new std::string(
            (std::filesystem::temp_directory_path() / ("qel-fuzz-holder-" + std::to_string(::getpid())))
                .string());
        std::filesystem::create_directories(*d);
        qel::SwiftLogger::configure("/KartelloStore", "Kartello", true);
        qel::SwiftLogger::setDirectory(*d + "/Logs");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(*dir, ec);
        });
        return d;
    }();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    privateLogFolder();
    const qel::Bytes value(data, data + size);

    qel::HolderInfos holder;
    holder.decodeQelIdCard(value);
    holder.decodeQelNameData(value);
    holder.decodeQelInfoPS(value);

    qel::SituFactuInfos situations;
    situations.decodeQelActivity(value);
    situations.decodeQelActivity(value);
    situations.decodeQelSitFact(value);

    const std::string text(reinterpret_cast<const char*>(data), size);
    qel::agreementText(text);
    qel::toDisplayDate(text);
    return 0;
}
