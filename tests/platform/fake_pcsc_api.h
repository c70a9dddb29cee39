#pragma once
#include <PCSC/pcsclite.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pcsc/pcsc_api.h"

namespace qel::pcsc::testing {

/// A small in-memory PC/SC service: readers that come and go, cards inserted and pulled out,
/// the service stopped and restarted, and failures injected into the card calls. Blocking waits
/// wake on every change, like pcscd's.
class FakePcscApi final : public PcscApi {
public:
    // Test side.
    void addReader(const std::string& name);
    void removeReader(const std::string& name);
    void insertCard(const std::string& reader, const Bytes& atr, bool mute = false);
    void removeCard(const std::string& reader);
    /// Another card replaces the present one between two waits (counter moves, presence stays).
    void swapCard(const std::string& reader, const Bytes& atr);
    /// Another application resets the card: every open handle gets SCARD_W_RESET_CARD once.
    void resetCard(const std::string& reader);
    void setServiceUp(bool up);
    /// Results returned by the next calls of that kind instead of doing the work.
    void failNextTransmits(std::vector<LONG> results);
    void failNextBeginTransactions(std::vector<LONG> results);
    /// Answers APDUs (default 9000).
    void setResponder(std::function<Bytes(const std::string& reader, const Bytes& apdu)> responder);

    int establishCount() const;
    int reconnectCount() const;
    int beginCount() const;
    int endCount() const;
    int openTransactions() const;
    int openHandles() const;
    DWORD lastTransmitProtocol() const;

    // PcscApi.
    LONG establishContext(SCARDCONTEXT* context) override;
    LONG releaseContext(SCARDCONTEXT context) override;
    LONG listReaders(SCARDCONTEXT context, std::vector<std::string>& readers) override;
    LONG getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, SCARD_READERSTATE* states, DWORD count) override;
    LONG cancel(SCARDCONTEXT context) override;
    LONG connect(SCARDCONTEXT context, const std::string& reader, DWORD shareMode, DWORD protocols, SCARDHANDLE* card,
                 DWORD* activeProtocol) override;
    LONG reconnect(SCARDHANDLE card, DWORD shareMode, DWORD protocols, DWORD init, DWORD* activeProtocol) override;
    LONG disconnect(SCARDHANDLE card, DWORD disposition) override;
    LONG beginTransaction(SCARDHANDLE card) override;
    LONG endTransaction(SCARDHANDLE card, DWORD disposition) override;
    LONG transmit(SCARDHANDLE card, DWORD protocol, const Bytes& command, Bytes& response) override;
    LONG status(SCARDHANDLE card, Bytes& atr, DWORD* state, DWORD* protocol) override;

private:
    struct Reader {
        bool present = false;
        bool mute = false;
        Bytes atr;
        DWORD counter = 0;
    };
    struct Handle {
        std::string reader;
        DWORD counter = 0;
        bool resetPending = false;
        bool inTransaction = false;
        SCARDCONTEXT context = 0;
    };

    DWORD readerBits(const Reader& r) const;
    LONG checkHandle(SCARDHANDLE card, Handle*& handle);
    void changed();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool up_ = true;
    std::vector<std::string> order_;
    std::map<std::string, Reader> readers_;
    std::map<SCARDCONTEXT, bool> contexts_;  // value: cancel requested
    std::map<SCARDHANDLE, Handle> handles_;
    SCARDCONTEXT nextContext_ = 100;
    SCARDHANDLE nextHandle_ = 1000;
    std::deque<LONG> transmitFailures_;
    std::deque<LONG> beginFailures_;
    std::function<Bytes(const std::string&, const Bytes&)> responder_;
    int establishCount_ = 0, reconnectCount_ = 0, beginCount_ = 0, endCount_ = 0;
    DWORD lastProtocol_ = 0;
};

}  // namespace qel::pcsc::testing
