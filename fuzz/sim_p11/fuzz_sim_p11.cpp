// Card bytes the stand-in issuer library parses: the first input byte picks the parser.
#include <cstddef>
#include <cstdint>
#include <string>

#include "card/certificate_info.h"
#include "sim/p11/apdu_card.h"
#include "sim/p11/identity.h"
#include "sim/p11/mechanisms.h"
#include "sim/p11/pkcs15.h"
#include "sim/p11/tlv.h"
#include "sim/p11/trace.h"

using namespace qel::simp11;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const qel::Bytes bytes(data + 1, data + size);
    switch (data[0] % 8) {
        case 0:
            parseTlv(bytes);
            tlvElementLength(bytes);
            break;
        case 1:
            parsePrivateKeyDirectory(bytes);
            break;
        case 2:
            parseCertificateDirectory(bytes);
            break;
        case 3:
            parseCardInfo(bytes);
            cardNumberFromSerialFile(bytes);
            break;
        case 4:
            parsePinStatus(bytes);
            fileSizeFromFcp(bytes);
            break;
        case 5:
            qel::parseCertificateFile(bytes);
            break;
        case 6:
            parseDigestInfo(bytes);
            tlvBitFlags(bytes);
            break;
        case 7:
            traceSwitchOn(std::string(bytes.begin(), bytes.end()));
            break;
    }
    return 0;
}
