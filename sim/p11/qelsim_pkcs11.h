#pragma once
#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

/// The library's APDU pass-through: sends one command APDU to the card of the session's slot as
/// it stands (class byte included; no GET RESPONSE is added) and writes the card's answer (data
/// then SW1 SW2) to pResponse. *pulResponseLen is the buffer size on input and the answer's length
/// on output; CKR_BUFFER_TOO_SMALL gives the needed length (the command has then run on the card).
/// `followUp` marks a command that continues the previous exchange (a GET RESPONSE); the command
/// is relayed the same way, the flag only shows in the trace.
CK_RV C_TransmitMessage(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pApdu, CK_ULONG ulApduLen, CK_BYTE_PTR pResponse,
                        CK_ULONG_PTR pulResponseLen, CK_BBOOL followUp);

typedef CK_RV (*CK_C_TransmitMessage)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR, CK_BBOOL);

#ifdef __cplusplus
}
#endif
