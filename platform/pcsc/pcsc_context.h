#pragma once
#include <memory>

#include "platform/pcsc/pcsc_api.h"

namespace qel::pcsc {

/// One PC/SC resource-manager context, released on destruction. Cards connected through it keep
/// it alive by sharing ownership.
class PcscContext {
public:
    /// Establishes the context. Throws TransportError (noService when pcscd is not running).
    explicit PcscContext(std::shared_ptr<PcscApi> api);
    ~PcscContext();
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;

    SCARDCONTEXT handle() const { return context_; }
    PcscApi& api() const { return *api_; }
    const std::shared_ptr<PcscApi>& apiPointer() const { return api_; }

private:
    std::shared_ptr<PcscApi> api_;
    SCARDCONTEXT context_ = 0;
};

/// A connection to the card in one reader, disconnected (card left as it is) on destruction.
class PcscCardHandle {
public:
    PcscCardHandle() = default;
    PcscCardHandle(std::shared_ptr<PcscContext> context, SCARDHANDLE handle)
        : context_(std::move(context)), handle_(handle) {}
    ~PcscCardHandle() { reset(); }
    PcscCardHandle(PcscCardHandle&& other) noexcept { *this = std::move(other); }
    PcscCardHandle& operator=(PcscCardHandle&& other) noexcept;
    PcscCardHandle(const PcscCardHandle&) = delete;
    PcscCardHandle& operator=(const PcscCardHandle&) = delete;

    SCARDHANDLE get() const { return handle_; }
    explicit operator bool() const { return context_ != nullptr; }
    PcscApi& api() const { return context_->api(); }
    void reset();

private:
    std::shared_ptr<PcscContext> context_;
    SCARDHANDLE handle_ = 0;
};

/// An open PC/SC transaction on a card handle, ended (card left as it is) on destruction.
class PcscTransaction {
public:
    /// Begins the transaction; returns the PC/SC code through `rv` and is inactive on failure.
    PcscTransaction(PcscApi& api, SCARDHANDLE card, LONG& rv);
    ~PcscTransaction();
    PcscTransaction(const PcscTransaction&) = delete;
    PcscTransaction& operator=(const PcscTransaction&) = delete;

    bool active() const { return active_; }
    /// Ends the transaction now and returns the PC/SC code; the destructor then does nothing.
    LONG end();

private:
    PcscApi& api_;
    SCARDHANDLE card_;
    bool active_ = false;
};

}  // namespace qel::pcsc
