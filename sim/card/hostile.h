#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "sim/card/apdu_command.h"

namespace qel::sim {

/// One deliberate fault of the hostile card: which commands it hits and how it spoils the answer.
/// Rules come from the profile's "hostile" list or from QelCardModel::setHostileRules.
///
/// JSON form (every key but "action" optional):
///   {"ins": "B0", "p1": "00", "p2": "00", "path": "3F0000017002", "action": "truncate",
///    "length": 12, "sw": "6F00", "bytes": "0102", "times": 1}
/// Actions on answers: "status" (answer only `sw`), "truncate" (keep `length` data bytes),
/// "oversize" (append `length` filler bytes), "raw" (answer exactly `bytes`, status word included or
/// not, even fewer than two bytes), "loop61" (answer 61 10 and keep answering GET RESPONSE with 16
/// filler bytes and 61 10), "wrongLength" (answer 6C with `length`), "noSizeTag" (a SELECT answer
/// without its tag 80).
/// Actions on files (matched by `path` only): "fileContent" (the file holds `bytes`) and
/// "truncateFile" (the file keeps its first `length` bytes); its size in the SELECT answer follows.
struct HostileRule {
    enum class Action { status, truncate, oversize, raw, loop61, wrongLength, noSizeTag, fileContent, truncateFile };

    std::optional<std::uint8_t> ins;
    std::optional<std::uint8_t> p1;
    std::optional<std::uint8_t> p2;
    /// Full path of the file current after the command (upper-case hexadecimal); empty = any.
    std::string path;
    Action action = Action::status;
    std::uint16_t sw = 0x6F00;
    std::size_t length = 0;
    Bytes bytes;
    /// How many times the rule fires; negative = always.
    int times = -1;

    bool isFileRule() const { return action == Action::fileContent || action == Action::truncateFile; }
};

/// Parses the JSON list form above. Throws std::runtime_error naming the faulty entry.
std::vector<HostileRule> hostileRulesFromJson(const std::string& jsonText);
/// Writes rules back in the same JSON list form.
std::string hostileRulesToJson(const std::vector<HostileRule>& rules);

/// Spoils the answers of a card with a list of rules. Keeps the counters and the 61xx loop state.
class HostileFilter {
public:
    HostileFilter() = default;
    explicit HostileFilter(std::vector<HostileRule> rules) : rules_(std::move(rules)) {}

    bool empty() const { return rules_.empty(); }
    const std::vector<HostileRule>& rules() const { return rules_; }

    /// The content a file shows when a file rule names its path, else the content unchanged.
    Bytes fileContent(const std::string& pathHex, const Bytes& content) const;

    /// The raw answer (data + status word) to send for a command the card answered with `answer`;
    /// `currentPath` is the file current after the command.
    Bytes filter(const CommandApdu& command, const std::string& currentPath, const ResponseApdu& answer);

    /// Power-on: the 61xx loop stops; counters stay.
    void reset() { looping_ = false; }

private:
    std::vector<HostileRule> rules_;
    bool looping_ = false;
};

}  // namespace qel::sim
