#include "tests/token/fake_readers.h"

namespace qel::testing {

class FakeReaders::Card : public SmartCard {
public:
    Card(FakeReaders& owner, std::string reader, std::shared_ptr<sim::QelCardModel> model, std::uint32_t events)
        : owner_(owner),
          reader_(std::move(reader)),
          model_(std::move(model)),
          events_(events),
          service_(owner.service_),
          resetsSeen_(owner.readers_[reader_].resets) {}

    Bytes atr() const override { return model_->atr(); }
    Bytes transmit(const Bytes& apdu) override {
        std::lock_guard lock(owner_.mutex_);
        check();
        Reader& r = owner_.readers_[reader_];
        if (r.removeAfter == 0) {
            r.card.reset();
            ++r.events;
            r.removeAfter = -1;
            owner_.changed_.notify_all();
            if (r.brokenAnswer) return Bytes{0x6F};
            check();
        }
        if (r.removeAfter > 0) --r.removeAfter;
        if (r.resetAfter == 0) {
            r.resetAfter = -1;
            owner_.resetLocked(r, nullptr);
        }
        if (r.resetAfter > 0) --r.resetAfter;
        catchUp(r);
        ++owner_.exchanges_;
        return model_->processApdu(apdu);
    }
    void beginSession() override {
        std::lock_guard lock(owner_.mutex_);
        check();
        catchUp(owner_.readers_[reader_]);
    }
    void endSession() override {}
    // As a reader's reset does: the card starts again with nothing verified.
    void resetSecurityState() override {
        std::lock_guard lock(owner_.mutex_);
        check();
        catchUp(owner_.readers_[reader_]);
        model_->powerOn();
        ++owner_.readers_[reader_].resets;
        ++resetsSeen_;
    }
    std::uint32_t resetsByOthers() override {
        std::lock_guard lock(owner_.mutex_);
        check();
        catchUp(owner_.readers_[reader_]);
        return foreignResets_;
    }

private:
    // A connection reconnects to a card reset elsewhere, which may hold other contents now.
    void catchUp(Reader& r) {
        if (r.resets == resetsSeen_) return;
        foreignResets_ += r.resets - resetsSeen_;
        resetsSeen_ = r.resets;
        model_ = r.card;
    }
    void check() const {
        if (owner_.service_ != service_)
            throw TransportError(TransportError::Kind::noService, 0x8010001DL, "service stopped");
        const Reader& r = owner_.readers_[reader_];
        if (r.events != events_ || (r.card != model_ && r.resets == resetsSeen_))
            throw TransportError(TransportError::Kind::cardRemoved, 0x80100069L, "card removed");
    }
    FakeReaders& owner_;
    std::string reader_;
    std::shared_ptr<sim::QelCardModel> model_;
    std::uint32_t events_;
    std::uint32_t service_;
    std::uint32_t resetsSeen_;
    std::uint32_t foreignResets_ = 0;
};

void FakeReaders::addReader(const std::string& name) {
    std::lock_guard lock(mutex_);
    order_.push_back(name);
    readers_[name];
    changed_.notify_all();
}

void FakeReaders::insert(const std::string& reader, std::shared_ptr<sim::QelCardModel> card) {
    std::lock_guard lock(mutex_);
    card->powerOn();
    Reader& r = readers_[reader];
    r.card = std::move(card);
    ++r.events;
    changed_.notify_all();
}

void FakeReaders::remove(const std::string& reader) {
    std::lock_guard lock(mutex_);
    Reader& r = readers_[reader];
    r.card.reset();
    ++r.events;
    changed_.notify_all();
}

void FakeReaders::resetByOther(const std::string& reader, std::shared_ptr<sim::QelCardModel> renewed) {
    std::lock_guard lock(mutex_);
    resetLocked(readers_[reader], std::move(renewed));
}

void FakeReaders::resetAfter(const std::string& reader, int exchanges) {
    std::lock_guard lock(mutex_);
    readers_[reader].resetAfter = exchanges;
}

void FakeReaders::resetLocked(Reader& r, std::shared_ptr<sim::QelCardModel> renewed) {
    if (!r.card) return;
    if (renewed) r.card = std::move(renewed);
    r.card->powerOn();
    ++r.resets;
}

void FakeReaders::removeAfter(const std::string& reader, int exchanges, bool brokenAnswer) {
    std::lock_guard lock(mutex_);
    readers_[reader].removeAfter = exchanges;
    readers_[reader].brokenAnswer = brokenAnswer;
}

std::vector<std::string> FakeReaders::readers() {
    std::lock_guard lock(mutex_);
    return order_;
}

p11::ReaderStatus FakeReaders::statusOf(const std::string& name, const Reader& r) const {
    p11::ReaderStatus s;
    s.name = name;
    s.present = r.card != nullptr;
    if (r.card) s.atr = r.card->atr();
    s.events = r.events;
    s.service = service_;
    return s;
}

void FakeReaders::restartService() {
    std::lock_guard lock(mutex_);
    ++service_;
    for (auto& [name, r] : readers_)
        if (r.card) r.card->powerOn();
    changed_.notify_all();
}

std::optional<p11::ReaderStatus> FakeReaders::status(const std::string& reader) {
    std::lock_guard lock(mutex_);
    auto it = readers_.find(reader);
    if (it == readers_.end()) return std::nullopt;
    return statusOf(reader, it->second);
}

std::unique_ptr<SmartCard> FakeReaders::connect(const std::string& reader) {
    std::lock_guard lock(mutex_);
    auto it = readers_.find(reader);
    if (it == readers_.end() || !it->second.card) return nullptr;
    return std::make_unique<Card>(*this, reader, it->second.card, it->second.events);
}

bool FakeReaders::differs(const std::vector<p11::ReaderStatus>& known) {
    if (known.size() != order_.size()) return true;
    for (const auto& k : known) {
        auto it = readers_.find(k.name);
        if (it == readers_.end() || !statusOf(k.name, it->second).sameInsertion(k)) return true;
    }
    return false;
}

FakeReaders::WaitResult FakeReaders::waitForChange(const std::vector<p11::ReaderStatus>& known,
                                                   std::optional<std::chrono::milliseconds> timeout) {
    std::unique_lock lock(mutex_);
    auto done = [&] { return cancelled_ || differs(known); };
    if (timeout) {
        if (!changed_.wait_for(lock, *timeout, done)) return WaitResult::timeout;
    } else {
        changed_.wait(lock, done);
    }
    return cancelled_ ? WaitResult::cancelled : WaitResult::changed;
}

void FakeReaders::cancelWaits() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
}

}  // namespace qel::testing
