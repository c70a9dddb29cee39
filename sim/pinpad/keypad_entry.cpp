#include "sim/pinpad/keypad_entry.h"

#include <optional>

namespace qel::sim {

namespace {

constexpr std::size_t kMaxGroups = 3;
constexpr std::size_t kMaxDigits = 16;
constexpr long kMaxDelayMs = 600000;

std::optional<long> delayOf(const std::string& text) {
    if (text.empty()) return 0;
    if (text.size() > 6) return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > kMaxDelayMs) return std::nullopt;
    return value;
}

// Digit groups separated by commas; nothing when the text is not that.
std::optional<std::vector<SecretBytes>> groupsOf(std::string_view text) {
    std::vector<SecretBytes> groups;
    SecretBytes current;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ',') {
            if (current.size() == 0 || groups.size() == kMaxGroups) return std::nullopt;
            groups.push_back(std::move(current));
            current = SecretBytes();
            continue;
        }
        if (text[i] < '0' || text[i] > '9' || current.size() == kMaxDigits) return std::nullopt;
        current.push_back(static_cast<std::uint8_t>(text[i]));
    }
    return groups;
}

}  // namespace

std::variant<KeypadEntry, std::string> parseKeypadEntry(const std::string& word, const std::string& delayMs) {
    KeypadEntry e;
    auto delay = delayOf(delayMs);
    if (!delay) return "the typing time must be 0 to " + std::to_string(kMaxDelayMs) + " milliseconds";
    e.delay = std::chrono::milliseconds(*delay);
    if (word == "cancel") {
        e.kind = KeypadEntry::Kind::cancel;
    } else if (word == "timeout") {
        e.kind = KeypadEntry::Kind::timeout;
    } else if (auto groups = groupsOf(word)) {
        e.kind = KeypadEntry::Kind::digits;
        e.groups = std::move(*groups);
    } else {
        return std::string(
            "the entry must be cancel, timeout or digits (up to three groups of at most 16, "
            "separated by commas)");
    }
    return e;
}

SecretBytes encodeKeypadAnswer(const KeypadEntry& e) {
    SecretBytes out;
    switch (e.kind) {
        case KeypadEntry::Kind::none:
            out.assign("none");
            return out;
        case KeypadEntry::Kind::cancel:
            out.assign("cancel ");
            break;
        case KeypadEntry::Kind::timeout:
            out.assign("timeout ");
            break;
        case KeypadEntry::Kind::digits:
            out.assign("digits ");
            for (std::size_t i = 0; i < e.groups.size(); ++i) {
                if (i > 0) out.push_back(',');
                out.append(e.groups[i]);
            }
            out.push_back(' ');
            break;
    }
    const std::string delay = std::to_string(e.delay.count());
    out.append(reinterpret_cast<const std::uint8_t*>(delay.data()), delay.size());
    return out;
}

KeypadEntry parseKeypadAnswer(const Bytes& answer) {
    std::string_view text(reinterpret_cast<const char*>(answer.data()), answer.size());
    const std::size_t first = text.find(' ');
    const std::size_t last = text.rfind(' ');
    if (first == std::string_view::npos) return {};
    std::string_view kind = text.substr(0, first);
    std::string_view body = first == last ? std::string_view() : text.substr(first + 1, last - first - 1);
    auto delay = delayOf(std::string(text.substr(last + 1)));
    if (!delay) return {};
    KeypadEntry e;
    e.delay = std::chrono::milliseconds(*delay);
    if (kind == "cancel" && body.empty()) {
        e.kind = KeypadEntry::Kind::cancel;
    } else if (kind == "timeout" && body.empty()) {
        e.kind = KeypadEntry::Kind::timeout;
    } else if (kind == "digits") {
        auto groups = groupsOf(body);
        if (!groups) return {};
        e.kind = KeypadEntry::Kind::digits;
        e.groups = std::move(*groups);
    } else {
        return {};
    }
    return e;
}

std::string describeKeypadEntry(const KeypadEntry& e) {
    std::string delay = " after " + std::to_string(e.delay.count()) + " ms";
    switch (e.kind) {
        case KeypadEntry::Kind::none:
            return "none";
        case KeypadEntry::Kind::cancel:
            return "cancel" + delay;
        case KeypadEntry::Kind::timeout:
            return "timeout" + delay;
        case KeypadEntry::Kind::digits:
            break;
    }
    std::string lengths;
    for (const auto& g : e.groups) lengths += (lengths.empty() ? "" : ",") + std::to_string(g.size());
    return "digits (" + lengths + " long)" + delay;
}

}  // namespace qel::sim
