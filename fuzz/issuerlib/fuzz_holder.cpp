// The holder and situation decoders on arbitrary data-object values: each input is decoded as every
// record the card carries, and as billing data for the situations it produced.
#include <cstddef>
#include <cstdint>
#include <string>

#include "issuerlib/holder_infos.h"
#include "issuerlib/qel_tlv.h"
#include "issuerlib/situ_factu_infos.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
