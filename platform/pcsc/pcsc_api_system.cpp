#include <PCSC/winscard.h>

#include "platform/pcsc/pcsc_api.h"

namespace qel::pcsc {

namespace {

// Longest answer of an extended APDU: 65536 data bytes and SW1 SW2.
constexpr DWORD kMaxResponse = 65536 + 2;

class SystemPcscApi final : public PcscApi {
public:
    LONG establishContext(SCARDCONTEXT* context) override {
        return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context);
    }
    LONG releaseContext(SCARDCONTEXT context) override { return SCardReleaseContext(context); }

    LONG listReaders(SCARDCONTEXT context, std::vector<std::string>& readers) override {
        readers.clear();
        // The list may grow between the size query and the read; ask again then.
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD size = 0;
            LONG rv = SCardListReaders(context, nullptr, nullptr, &size);
            if (rv == SCARD_E_NO_READERS_AVAILABLE) return SCARD_S_SUCCESS;
            if (rv != SCARD_S_SUCCESS) return rv;
            std::string buffer(size, '\0');
            rv = SCardListReaders(context, nullptr, buffer.data(), &size);
            if (rv == SCARD_E_INSUFFICIENT_BUFFER) continue;
            if (rv == SCARD_E_NO_READERS_AVAILABLE) return SCARD_S_SUCCESS;
            if (rv != SCARD_S_SUCCESS) return rv;
            buffer.resize(std::min<std::size_t>(size, buffer.size()));
            // A multi-string: names separated by NUL, ended by an empty name.
            std::size_t pos = 0;
            while (pos < buffer.size() && buffer[pos] != '\0') {
                std::size_t end = buffer.find('\0', pos);
                if (end == std::string::npos) end = buffer.size();
                readers.emplace_back(buffer.substr(pos, end - pos));
                pos = end + 1;
            }
            return SCARD_S_SUCCESS;
        }
        return SCARD_E_INSUFFICIENT_BUFFER;
    }

    LONG getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, SCARD_READERSTATE* states, DWORD count) override {
        return SCardGetStatusChange(context, timeoutMs, states, count);
    }
    LONG cancel(SCARDCONTEXT context) override { return SCardCancel(context); }

    LONG connect(SCARDCONTEXT context, const std::string& reader, DWORD shareMode, DWORD preferredProtocols,
                 SCARDHANDLE* card, DWORD* activeProtocol) override {
        return SCardConnect(context, reader.c_str(), shareMode, preferredProtocols, card, activeProtocol);
    }
    LONG reconnect(SCARDHANDLE card, DWORD shareMode, DWORD preferredProtocols, DWORD initialization,
                   DWORD* activeProtocol) override {
        return SCardReconnect(card, shareMode, preferredProtocols, initialization, activeProtocol);
    }
    LONG disconnect(SCARDHANDLE card, DWORD disposition) override { return SCardDisconnect(card, disposition); }
    LONG beginTransaction(SCARDHANDLE card) override { return SCardBeginTransaction(card); }
    LONG endTransaction(SCARDHANDLE card, DWORD disposition) override { return SCardEndTransaction(card, disposition); }

    LONG transmit(SCARDHANDLE card, DWORD protocol, const Bytes& command, Bytes& response) override {
        const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
        response.assign(kMaxResponse, 0);
        DWORD length = kMaxResponse;
        LONG rv = SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr, response.data(),
                                &length);
        response.resize(rv == SCARD_S_SUCCESS ? std::min<DWORD>(length, kMaxResponse) : 0);
        return rv;
    }

    LONG control(SCARDHANDLE card, DWORD code, const Bytes& input, Bytes& output) override {
        output.assign(kMaxResponse, 0);
        DWORD length = 0;
        LONG rv = SCardControl(card, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                               output.data(), static_cast<DWORD>(output.size()), &length);
        output.resize(rv == SCARD_S_SUCCESS ? std::min<DWORD>(length, kMaxResponse) : 0);
        return rv;
    }

    LONG status(SCARDHANDLE card, Bytes& atr, DWORD* state, DWORD* protocol) override {
        unsigned char buffer[MAX_ATR_SIZE];
        DWORD atrLength = sizeof buffer;
        DWORD readerLength = 0;
        // Reader name not wanted: a null buffer with length 0 skips it.
        LONG rv = SCardStatus(card, nullptr, &readerLength, state, protocol, buffer, &atrLength);
        if (rv == SCARD_S_SUCCESS) atr.assign(buffer, buffer + std::min<DWORD>(atrLength, sizeof buffer));
        return rv;
    }
};

}  // namespace

std::shared_ptr<PcscApi> systemPcscApi() {
    // Never destroyed: a PKCS#11 host may still reach the readers from an exit handler, after the
    // static destructors of the libraries it loaded have run.
    static const auto* api = new std::shared_ptr<PcscApi>(std::make_shared<SystemPcscApi>());
    return *api;
}

}  // namespace qel::pcsc
