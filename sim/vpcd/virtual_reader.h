#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/card/card_model.h"
#include "sim/pinpad/keypad_entry.h"
#include "sim/vpcd/reader_faults.h"

namespace qel::sim {

/// One reader of pcscd's virtual reader driver with the card it holds. While a card is inserted,
/// a thread keeps a TCP connection to the driver's port, reconnecting (with growing pauses up to
/// 2 s) when pcscd is absent or restarts; with no card there is no connection, which pcscd sees as
/// an empty reader. Removing the card closes the connection.
class VirtualReader {
public:
    struct Config {
        std::string label;  ///< "contact" or "contactless", for logs and status
        ReaderKind kind = ReaderKind::contact;
        std::string host = "127.0.0.1";
        std::uint16_t port = 0;
        std::function<void(const std::string&)> log;  ///< one line per call; may be empty
        bool keypad = false;                          ///< the keypad reader: its driver asks here what the holder types
    };
    struct Status {
        bool inserted = false;
        std::string profile;
        bool connected = false;
        bool powered = false;
        bool hostile = false;
        std::uint64_t apdus = 0;  ///< commands answered since the card was inserted
        std::string keypad;       ///< the next keypad entry, described without its digits
    };

    explicit VirtualReader(Config config);
    /// Stops the thread and closes the connection.
    ~VirtualReader();
    VirtualReader(const VirtualReader&) = delete;
    VirtualReader& operator=(const VirtualReader&) = delete;

    /// Puts a card in the reader, replacing (without a pause) any card there.
    void insert(std::unique_ptr<CardModel> model, std::string profile);
    /// Takes the card out; false when the reader was empty.
    bool remove();
    void setHostile(bool on);
    /// The next keypad entry, handed out once (the reader after it times out until another is set).
    void setKeypadEntry(KeypadEntry entry);
    Status status() const;
    const Config& config() const { return config_; }

private:
    void run();
    void serve(int fd, std::uint64_t generation);
    bool handle(const Bytes& message, Bytes& answer);
    void wake();
    void log(const std::string& line) const;

    Config config_;
    int wakeFd_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::uint64_t generation_ = 0;  // moves on every insertion and removal
    std::unique_ptr<CardModel> model_;
    std::string profile_;
    bool connected_ = false;
    bool powered_ = false;
    bool hostile_ = false;
    std::uint64_t apdus_ = 0;
    ReaderFaults faults_;
    KeypadEntry keypadEntry_;
    std::thread thread_;
};

}  // namespace qel::sim
