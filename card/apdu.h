#pragma once
#include <cstdint>
#include <optional>

#include "card/qel_type.h"
#include "common/bytes.h"

namespace qel {

/// One command template. `le` absent means no Le field; 0 and 256 both mean up to 256 bytes.
/// Empty `data` means no data field. The class byte comes from the card object.
struct Apdu {
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    std::optional<int> le;
    Bytes data;
};

/// The card's nine command templates. Operations set every field they rely on before each use, so
/// nothing carries over from one operation to the next.
struct ApduOps {
    Apdu select{0xA4, 0x08, 0x00, 0, {}};                ///< SELECT by path
    Apdu selectAID{0xA4, 0x04, 0x04, 0, {}};             ///< SELECT by name
    Apdu readBinary{0xB0, 0x00, 0x00, 0, {}};            ///< READ BINARY
    Apdu setSecEnv{0x22, 0x00, 0x00, std::nullopt, {}};  ///< MANAGE SECURITY ENVIRONMENT
    Apdu secOp{0x2A, 0x9E, 0x9A, 0, {}};                 ///< PSO: COMPUTE DIGITAL SIGNATURE
    Apdu intAuth{0x88, 0x00, 0x00, 0, {}};               ///< INTERNAL AUTHENTICATE
    Apdu decipherOp{0x2A, 0x80, 0x86, 0, {}};            ///< PSO: DECIPHER
    Apdu pinstate{0xCB, 0x3F, 0xFF, 0, {}};              ///< GET DATA (PIN status object)
    Apdu verifyPin{0x20, 0x00, 0x00, std::nullopt, {}};  ///< VERIFY

    /// SELECT by path per generation: QEL3 and QEL3CL select from the current directory and ask for
    /// the file control parameters (A4 09 04); QEL4 and UNKNOWN select from the master file
    /// (A4 08 00). Le stays 0.
    void configureSelect(QELType type);
};

}  // namespace qel
