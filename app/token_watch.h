#pragma once
#include <functional>
#include <optional>
#include <string>

#include "card/qel_card.h"
#include "card/smart_card.h"

namespace qel::pcsc {
class TokenWatcher;
}

namespace qel {

class CardReaders;
class ServiceAbsenceLog;

/// The system token watcher as the main window uses it. Handlers are called on the watcher's
/// thread: they must hand their work to the main thread.
class TokenWatch {
public:
    using Handler = std::function<void(const std::string& tokenID)>;
    virtual ~TokenWatch() = default;
    /// Called with the identifier of every token inserted.
    virtual void setInsertionHandler(Handler handler) = 0;
    /// Called once when that token is removed.
    virtual void addRemovalHandler(Handler handler, const std::string& tokenID) = 0;
};

/// The PC/SC token watcher. It reports the loss and return of pcscd through `serviceLog`.
class PcscTokenWatch final : public TokenWatch {
public:
    PcscTokenWatch(pcsc::TokenWatcher& watcher, ServiceAbsenceLog& serviceLog);
    void setInsertionHandler(Handler handler) override;
    void addRemovalHandler(Handler handler, const std::string& tokenID) override;

private:
    pcsc::TokenWatcher& watcher_;
};

/// A reader whose card's serial appears in a token identifier.
struct TokenReader {
    std::string readerName;
    std::string serial;
};

/// Looks at the card in every reader, in the service's order, and returns the first whose serial the
/// token identifier contains. Blocks the calling thread (one card session per reader).
std::optional<TokenReader> findReaderOfToken(CardReaders& readers, const std::string& tokenID);

}  // namespace qel
