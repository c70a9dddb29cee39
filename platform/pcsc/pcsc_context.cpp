#include "platform/pcsc/pcsc_context.h"

#include "platform/pcsc/pcsc_error.h"

namespace qel::pcsc {

PcscContext::PcscContext(std::shared_ptr<PcscApi> api) : api_(std::move(api)) {
    LONG rv = api_->establishContext(&context_);
    if (rv != SCARD_S_SUCCESS) throw pcscTransportError(rv, "SCardEstablishContext");
}

PcscContext::~PcscContext() { api_->releaseContext(context_); }

PcscCardHandle& PcscCardHandle::operator=(PcscCardHandle&& other) noexcept {
    if (this != &other) {
        reset();
        context_ = std::move(other.context_);
        handle_ = other.handle_;
        other.context_.reset();
        other.handle_ = 0;
    }
    return *this;
}

void PcscCardHandle::reset() {
    if (context_) context_->api().disconnect(handle_, SCARD_LEAVE_CARD);
    context_.reset();
    handle_ = 0;
}

PcscTransaction::PcscTransaction(PcscApi& api, SCARDHANDLE card, LONG& rv) : api_(api), card_(card) {
    rv = api_.beginTransaction(card_);
    active_ = rv == SCARD_S_SUCCESS;
}

PcscTransaction::~PcscTransaction() { end(); }

LONG PcscTransaction::end() {
    if (!active_) return SCARD_S_SUCCESS;
    active_ = false;
    return api_.endTransaction(card_, SCARD_LEAVE_CARD);
}

}  // namespace qel::pcsc
