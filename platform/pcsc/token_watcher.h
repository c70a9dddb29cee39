#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "card/smart_card.h"
#include "platform/pcsc/pcsc_api.h"

namespace qel::pcsc {

class PcscContext;

/// Watches the readers for QEL cards and reports each card as a token, identified as
/// "org.oberlane.qel.sigilla:<card serial>".
///
/// One thread blocks in SCardGetStatusChange on every reader and on the reader-list notification;
/// nothing polls. When a card arrives, the watcher connects to it, opens a session and asks the
/// injected serial reader for the card's serial (nothing = not a QEL card, never reported). The
/// token is reported inserted, and removed when that card leaves its reader, when its reader goes
/// away or when the service stops. Cards already present at start are reported as insertions.
/// When pcscd is absent or goes away, the service handler is told once and the watcher tries
/// again with growing pauses until the service answers again.
///
/// Every handler is called on the watcher thread, never with an internal lock held; a handler that
/// touches a user interface must hand its work to the main thread. Handlers may call
/// addRemovalHandler() and tokenIDs(), but not stop().
class TokenWatcher {
public:
    using SerialReader = std::function<std::optional<std::string>(SmartCard&)>;
    using TokenHandler = std::function<void(const std::string& tokenID)>;
    enum class ServiceState { available, unavailable };
    using ServiceHandler = std::function<void(ServiceState)>;

    struct Options {
        std::chrono::milliseconds firstRetry{250};  ///< first pause while the service is absent
        std::chrono::milliseconds maxRetry{5000};   ///< the pause doubles up to this
    };

    /// The prefix of every token identifier reported.
    static constexpr const char* kTokenPrefix = "org.oberlane.qel.sigilla:";

    TokenWatcher(std::shared_ptr<PcscApi> api, SerialReader readSerial);
    TokenWatcher(std::shared_ptr<PcscApi> api, SerialReader readSerial, Options options);
    /// Stops the thread.
    ~TokenWatcher();
    TokenWatcher(const TokenWatcher&) = delete;
    TokenWatcher& operator=(const TokenWatcher&) = delete;

    /// Called with the identifier of every token inserted.
    void setInsertionHandler(TokenHandler handler);
    /// Called once, with the identifier, when that token is removed; then forgotten. Registering
    /// for a token that is not present calls nothing until such a token is inserted and removed.
    void addRemovalHandler(TokenHandler handler, const std::string& tokenID);
    /// Called with every removal (after the token's own removal handlers).
    void setRemovalHandler(TokenHandler handler);
    /// Called when the service becomes available and when it is lost (once per change).
    void setServiceHandler(ServiceHandler handler);

    /// Starts the watcher thread; a second call does nothing.
    void start();
    /// Cancels the wait and joins the thread. Safe to call more than once; not from a handler.
    void stop();

    /// Identifiers of the tokens present now, in reader order.
    std::vector<std::string> tokenIDs() const;
    /// Reader holding the token, empty when the token is not present.
    std::string readerOfToken(const std::string& tokenID) const;

private:
    struct Reader {
        DWORD knownState = SCARD_STATE_UNAWARE;
        std::string token;  // empty: no QEL card reported in this reader
    };

    void run();
    bool waitForRetry(std::chrono::milliseconds pause);
    void serveContext(const std::shared_ptr<PcscContext>& context);
    void refreshReaderList(PcscContext& context, std::vector<std::string>& order);
    void onReaderState(const std::shared_ptr<PcscContext>& context, const std::string& name,
                       const SCARD_READERSTATE& state);
    std::optional<std::string> readToken(const std::shared_ptr<PcscContext>& context, const std::string& reader);
    void reportInserted(const std::string& reader, const std::string& token);
    void reportRemoved(const std::string& reader);
    void removeAll();
    void reportService(ServiceState state);

    std::shared_ptr<PcscApi> api_;
    SerialReader readSerial_;
    Options options_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool waiting_ = false;   // the thread is (about to be) blocked in getStatusChange
    bool finished_ = false;  // the thread has left its loop
    SCARDCONTEXT waitContext_ = 0;
    TokenHandler insertion_;
    TokenHandler removal_;
    ServiceHandler service_;
    std::multimap<std::string, TokenHandler> removalHandlers_;
    std::map<std::string, Reader> readers_;
    std::vector<std::string> readerOrder_;
    std::optional<ServiceState> lastService_;
    std::thread thread_;
};

}  // namespace qel::pcsc
