#include "authservice/json_coding.h"

#include <cmath>
#include <limits>

namespace qel::vek {
namespace coding {
namespace {

[[noreturn]] void expected(std::string_view where, const char* what) {
    throw JsonDecodeError(std::string(where) + ": expected " + what);
}

}  // namespace

void decodeValue(const nlohmann::json& j, std::string& out, std::string_view where) {
    if (!j.is_string()) expected(where, "a text");
    out = j.get_ref<const std::string&>();
}

void decodeValue(const nlohmann::json& j, bool& out, std::string_view where) {
    if (!j.is_boolean()) expected(where, "a boolean");
    out = j.get<bool>();
}

void decodeValue(const nlohmann::json& j, std::int64_t& out, std::string_view where) {
    if (j.is_number_unsigned()) {
        const auto v = j.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            expected(where, "a 64-bit integer");
        out = static_cast<std::int64_t>(v);
        return;
    }
    if (j.is_number_integer()) {
        out = j.get<std::int64_t>();
        return;
    }
    if (j.is_number_float()) {
        // A number written with a fraction or exponent still counts when it is a whole number in range.
        const double v = j.get<double>();
        if (std::isfinite(v) && std::trunc(v) == v && v >= -9223372036854775808.0 && v < 9223372036854775808.0) {
            out = static_cast<std::int64_t>(v);
            return;
        }
    }
    expected(where, "an integer");
}

void decodeValue(const nlohmann::json& j, double& out, std::string_view where) {
    if (!j.is_number()) expected(where, "a number");
    out = j.get<double>();
}

void decodeValue(const nlohmann::json& j, Date& out, std::string_view where) {
    if (!j.is_string()) expected(where, "a date text");
    const auto date = OpenISO8601DateFormatter::date(j.get_ref<const std::string&>());
    if (!date) throw JsonDecodeError(std::string(where) + ": not a date: \"" + j.get<std::string>() + "\"");
    out = *date;
}

void decodeValue(const nlohmann::json& j, JsonValue& out, std::string_view) { out = JsonValue::fromJson(j); }

nlohmann::json encodeValue(const Date& v) { return OpenISO8601DateFormatter::string(v); }

}  // namespace coding

nlohmann::json JsonCoding::parse(std::string_view text) {
    // Nesting is bounded before parsing: copying and comparing values recurse once per level.
    int depth = 0;
    bool inText = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inText) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inText = false;
        } else if (c == '"') {
            inText = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting)
                throw JsonDecodeError("not JSON: nested deeper than " + std::to_string(kMaxNesting));
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    try {
        return nlohmann::json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        throw JsonDecodeError(std::string("not JSON: ") + e.what());
    }
}

}  // namespace qel::vek
