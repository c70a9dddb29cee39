#pragma once
// Test doubles for the card: a scripted card (expected command -> answer, in order) and a small
// file-system card that answers SELECT and READ BINARY from a table of files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <deque>
#include <optional>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "card/smart_card.h"
#include "common/hex.h"
#include "common/logger.h"

namespace qel::test {

inline Bytes hex(const std::string& text) {
    auto b = fromHex(text);
    if (!b) ADD_FAILURE() << "bad hex in test: " << text;
    return b.value_or(Bytes{});
}

inline const Bytes kAtrQel3 = hex("3BAC00402A00122500648000031000 9000");
inline const Bytes kAtrQel3CL = hex("3B8F800100 31B86404B0ECC173940180829000 0E");
inline const Bytes kAtrQel4 = hex("3B9B188001001225006480040100009044");
inline const Bytes kAtrQel4b = hex("3BDC18FF0000122500648000040100 9000");

/// A card that expects exact commands in order and gives the scripted answer to each. A command
/// that was not expected is a test failure and gets 6F00.
class ScriptedCard : public SmartCard {
public:
    explicit ScriptedCard(Bytes atr = {}) : atr_(std::move(atr)) {}

    /// Expects `command` (hex) next and answers `answer` (hex, status word included).
    ScriptedCard& expect(const std::string& command, const std::string& answer) {
        script_.push_back({hex(command), hex(answer), std::nullopt});
        return *this;
    }
    /// Expects `command` next and fails the transport instead of answering.
    ScriptedCard& expectThrow(const std::string& command, TransportError::Kind kind) {
        script_.push_back({hex(command), {}, kind});
        return *this;
    }

    Bytes atr() const override { return atr_; }
    void beginSession() override {}
    void endSession() override {}

    Bytes transmit(const Bytes& apdu) override {
        sent.push_back(toHex(apdu));
        if (script_.empty()) {
            ADD_FAILURE() << "unexpected command " << toHex(apdu);
            return {0x6F, 0x00};
        }
        Step step = script_.front();
        script_.pop_front();
        EXPECT_EQ(toHex(apdu), toHex(step.command)) << "command #" << sent.size();
        if (step.failure) throw TransportError(*step.failure, 0x80100069, "card pulled out");
        return step.answer;
    }

    /// True when every scripted command was sent.
    bool done() const { return script_.empty(); }
    std::vector<std::string> sent;

private:
    struct Step {
        Bytes command;
        Bytes answer;
        std::optional<TransportError::Kind> failure;
    };
    Bytes atr_;
    std::deque<Step> script_;
};

/// A card holding files by full path that answers SELECT (by path or by name, P1 04/08/09) with
/// 62 04 80 02 <size> and READ BINARY from the selected file. Other commands go to `other`, or get
/// 6D00. Counts the READ BINARY commands it answers.
class FileCard : public SmartCard {
public:
    explicit FileCard(Bytes atr) : atr_(std::move(atr)) {}

    std::map<std::string, Bytes> files;  ///< full path in hex -> content
    std::function<Bytes(const Bytes&)> other;
    int reads = 0;
    int selects = 0;
    bool removed = false;  ///< when set, every command fails as a pulled-out card

    Bytes atr() const override { return atr_; }
    void beginSession() override {}
    void endSession() override {}

    Bytes transmit(const Bytes& apdu) override {
        if (removed) throw TransportError(TransportError::Kind::cardRemoved, 0x80100069, "card removed");
        if (apdu.size() >= 4 && apdu[1] == 0xA4) {
            ++selects;
            Bytes path = apdu.size() > 5 ? Bytes(apdu.begin() + 5, apdu.begin() + 5 + apdu[4]) : Bytes{};
            auto it = files.find(toHex(path));
            if (it == files.end()) return {0x6A, 0x82};
            current_ = it->first;
            const std::size_t n = it->second.size();
            if (n > 0xFFFF)
                return {0x62,
                        0x05,
                        0x80,
                        0x03,
                        static_cast<std::uint8_t>(n >> 16),
                        static_cast<std::uint8_t>(n >> 8),
                        static_cast<std::uint8_t>(n),
                        0x90,
                        0x00};
            return {0x62, 0x04, 0x80, 0x02, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n),
                    0x90, 0x00};
        }
        if (apdu.size() == 5 && apdu[1] == 0xB0 && !current_.empty()) {
            ++reads;
            const Bytes& content = files[current_];
            const std::size_t offset = static_cast<std::size_t>(apdu[2]) << 8 | apdu[3];
            std::size_t le = apdu[4] == 0 ? 256 : apdu[4];
            if (offset >= content.size()) return {0x6B, 0x00};
            le = std::min(le, content.size() - offset);
            Bytes r(content.begin() + static_cast<long>(offset), content.begin() + static_cast<long>(offset + le));
            r.push_back(0x90);
            r.push_back(0x00);
            return r;
        }
        if (other) return other(apdu);
        return {0x6D, 0x00};
    }

private:
    Bytes atr_;
    std::string current_;
};

/// One element in the card's layout (one-byte length, or 80 01 80 for exactly 128 bytes).
inline Bytes tlv(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    if (content.size() == 0x80)
        out.insert(out.end(), {0x80, 0x01, 0x80});
    else
        out.push_back(static_cast<std::uint8_t>(content.size()));
    out.insert(out.end(), content.begin(), content.end());
    return out;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

/// Sends the logger to a private folder for a test and reads back what was written.
class LogCapture {
public:
    LogCapture() {
        dir_ = std::filesystem::temp_directory_path() /
               ("qel-card-log-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
        std::filesystem::remove_all(dir_);
        Logger::configure("/SigillaDriver", "Sigilla", true);
        Logger::setDirectory(dir_.string());
    }
    ~LogCapture() {
        Logger::setDirectory("");
        std::filesystem::remove_all(dir_);
    }
    std::string text() const {
        std::ifstream in(Logger::currentFilePath());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    static int& counter() {
        static int c = 0;
        return c;
    }
    std::filesystem::path dir_;
};

}  // namespace qel::test
