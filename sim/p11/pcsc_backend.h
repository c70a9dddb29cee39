#pragma once
#include <PCSC/winscard.h>

#include <atomic>
#include <mutex>

#include "sim/p11/apdu_card.h"
#include "sim/p11/card_backend.h"

namespace qel::simp11 {

/// One PC/SC context, released on destruction. pcsc-lite serialises the calls of one context, so
/// each user that may block (the event wait, each card) gets its own.
class PcscContext {
public:
    PcscContext() = default;
    ~PcscContext();
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;

    /// Establishes the context when there is none. False when the service cannot be reached.
    bool ensure();
    void release();
    SCARDCONTEXT get() const { return context_; }
    bool valid() const { return established_; }

private:
    SCARDCONTEXT context_ = 0;
    bool established_ = false;
};

/// A card reached through pcscd, shared with the other programs that use it.
class PcscCard : public SharedSmartCard {
public:
    /// Connects in shared mode. Throws qel::TransportError.
    explicit PcscCard(const std::string& reader);
    ~PcscCard() override;

    Bytes atr() const override { return atr_; }
    Bytes transmit(const Bytes& apdu) override;
    std::optional<Bytes> readerControl(std::uint32_t code, const Bytes& input) override;
    void beginSession() override;
    void endSession() override;
    bool takeResetNotice() override;
    /// SCardReconnect with SCARD_RESET_CARD: the card forgets its verified PIN.
    void resetSecurityState() override;

private:
    void reconnect();

    PcscContext context_;
    SCARDHANDLE handle_ = 0;
    DWORD protocol_ = 0;
    Bytes atr_;
    std::string reader_;
    bool resetNotice_ = false;
};

/// The smart-card service of the machine (pcscd).
class PcscBackend : public CardBackend {
public:
    std::vector<ReaderStatus> readers() override;
    bool waitForChange(const std::vector<ReaderStatus>& known) override;
    void cancelWait() override;
    std::unique_ptr<CardChannel> connect(const std::string& reader) override;

private:
    std::vector<std::string> listReaders(PcscContext& context);

    std::mutex mutex_;
    PcscContext context_;
    std::mutex waitMutex_;
    PcscContext waitContext_;
    std::atomic<bool> cancelled_{false};
    std::atomic<SCARDCONTEXT> activeWait_{0};
};

/// The transport error for a PC/SC result code.
qel::TransportError transportError(LONG rv, const char* during);

}  // namespace qel::simp11
