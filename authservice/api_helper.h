#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "authservice/date_formatter.h"

namespace qel::vek {

/// Header names compare without regard to case, as HTTP has them.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using Headers = std::map<std::string, std::string, CaseInsensitiveLess>;

/// A query parameter's value: text, boolean, integer, number, date or list of texts.
using QueryValue = std::variant<std::string, bool, std::int64_t, double, Date, std::vector<std::string>>;

struct QueryParameter {
    std::string name;
    std::optional<QueryValue> value;  ///< absent: no item
    bool explode = false;             ///< a list: one item per element rather than one joined by ","
};

using QueryItem = std::pair<std::string, std::string>;

/// Parameter encodings shared by the operations.
class APIHelper {
public:
    /// The query items of the parameters, in order; absent values dropped; dates in the service's
    /// format; lists joined by "," unless exploded.
    static std::vector<QueryItem> mapValuesToQueryItems(const std::vector<QueryParameter>& parameters);

    /// The URL with "?" and the percent-encoded items appended; unchanged when there are none.
    static std::string appendQuery(const std::string& url, const std::vector<QueryItem>& items);

    /// Header values that are present, by name; absent ones are not sent.
    static Headers rejectNilHeaders(const std::vector<std::pair<std::string, std::optional<std::string>>>& headers);

    /// A path parameter for a URL path: everything outside the characters a path allows is
    /// percent-encoded ("/" is allowed, so it adds segments; a blank becomes "%20").
    static std::string percentEncodePath(std::string_view value);
    /// A query name or value: everything but letters, digits, "-._~" and "," is percent-encoded.
    static std::string percentEncodeQuery(std::string_view value);
};

}  // namespace qel::vek
