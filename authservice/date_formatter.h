#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace qel::vek {

/// A point in time as the service exchanges it: milliseconds, UTC.
using Date = std::chrono::sys_time<std::chrono::milliseconds>;

/// The service's date texts. Output is always "yyyy-MM-dd'T'HH:mm:ss.SSS" in GMT followed by "Z".
/// Input is tried as "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ", then "yyyy-MM-dd'T'HH:mm:ssZZZZZ", then
/// "yyyy-MM-dd" (midnight GMT); the zone is "Z" or a signed offset "+HH:MM" (or "+HHMM"). Fractions
/// longer than milliseconds are cut to milliseconds. Thread-safe; no locale involved.
class OpenISO8601DateFormatter {
public:
    static std::string string(Date date);
    /// The date, or nothing when the text matches none of the three forms or names no real day/time.
    static std::optional<Date> date(std::string_view text);
};

}  // namespace qel::vek
