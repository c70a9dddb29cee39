#pragma once
#include <p11-kit/pkcs11.h>

extern "C" {

/// The issuer library's APDU pass-through, outside the PKCS#11 standard and looked up by name:
/// session; command APDU bytes and their count; a response buffer; the response length (buffer size
/// on input, bytes written on output); a boolean whose meaning belongs to the library. The response
/// is the answer's data followed by the two status bytes.
typedef CK_RV (*QelTransmitMessageFunction)(CK_SESSION_HANDLE session, CK_BYTE_PTR apdu, CK_ULONG apduLength,
                                            CK_BYTE_PTR response, CK_ULONG_PTR responseLength, CK_BBOOL flag);
}

namespace qel {

/// The exported symbol name of the pass-through.
inline constexpr const char* kTransmitMessageSymbol = "C_TransmitMessage";

}  // namespace qel
