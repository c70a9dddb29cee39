#pragma once
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel::pcsc {

/// The PC/SC calls the platform layer makes, one method per SCard* function, so that tests can put
/// a fake service under the slot manager, the card and the token watcher. Every method returns the
/// PC/SC result code unchanged (SCARD_S_SUCCESS or an SCARD_* error) and never throws.
/// Implementations must allow cancel() from another thread while getStatusChange() blocks.
class PcscApi {
public:
    virtual ~PcscApi() = default;

    virtual LONG establishContext(SCARDCONTEXT* context) = 0;
    virtual LONG releaseContext(SCARDCONTEXT context) = 0;
    /// Reader names in the service's order. No reader is SCARD_S_SUCCESS with an empty list.
    virtual LONG listReaders(SCARDCONTEXT context, std::vector<std::string>& readers) = 0;
    virtual LONG getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, SCARD_READERSTATE* states, DWORD count) = 0;
    virtual LONG cancel(SCARDCONTEXT context) = 0;

    virtual LONG connect(SCARDCONTEXT context, const std::string& reader, DWORD shareMode, DWORD preferredProtocols,
                         SCARDHANDLE* card, DWORD* activeProtocol) = 0;
    virtual LONG reconnect(SCARDHANDLE card, DWORD shareMode, DWORD preferredProtocols, DWORD initialization,
                           DWORD* activeProtocol) = 0;
    virtual LONG disconnect(SCARDHANDLE card, DWORD disposition) = 0;
    virtual LONG beginTransaction(SCARDHANDLE card) = 0;
    virtual LONG endTransaction(SCARDHANDLE card, DWORD disposition) = 0;
    /// `protocol` is the active protocol (SCARD_PROTOCOL_T0 or _T1); `response` is replaced.
    virtual LONG transmit(SCARDHANDLE card, DWORD protocol, const Bytes& command, Bytes& response) = 0;
    /// The card's ATR, state bits and active protocol as the service reports them now.
    virtual LONG status(SCARDHANDLE card, Bytes& atr, DWORD* state, DWORD* protocol) = 0;
    /// A request to the reader itself (SCardControl); `output` is replaced. A service without reader
    /// requests answers SCARD_E_UNSUPPORTED_FEATURE.
    virtual LONG control(SCARDHANDLE card, DWORD code, const Bytes& input, Bytes& output) {
        output.clear();
        return SCARD_E_UNSUPPORTED_FEATURE;
    }
};

/// pcsc-lite (libpcsclite, talking to pcscd). One shared instance per process.
std::shared_ptr<PcscApi> systemPcscApi();

/// The reader name pcsc-lite uses to report readers arriving and leaving.
inline constexpr const char* kPnpNotification = "\\\\?PnP?\\Notification";

}  // namespace qel::pcsc
