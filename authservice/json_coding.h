#pragma once
// The JSON coder of the service's models: strict types (a number is not a boolean, a fraction is not
// an integer), required fields present and not null, optional fields omitted when absent and accepted
// missing or null, unknown keys ignored, dates in the service's format.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "authservice/json_value.h"
#include "authservice/date_formatter.h"

namespace qel::vek {

/// The decoder's error: what was expected where ("startDate: missing").
class JsonDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The raw values of an enumeration, in the order of its cases. Each enumeration of the models
/// specialises it with a `values` array of (case, raw text) pairs.
template <typename E>
struct EnumCases;

template <typename E>
concept ServiceEnum = requires {
    EnumCases<E>::values;
};

template <ServiceEnum E>
constexpr std::string_view rawValue(E value) {
    for (const auto& [c, raw] : EnumCases<E>::values)
        if (c == value) return raw;
    return {};
}

/// The case whose raw value is `raw`, or nothing.
template <ServiceEnum E>
constexpr std::optional<E> fromRawValue(std::string_view raw) {
    for (const auto& [c, text] : EnumCases<E>::values)
        if (text == raw) return c;
    return std::nullopt;
}

template <ServiceEnum E>
auto allCases() {
    std::array<E, EnumCases<E>::values.size()> cases{};
    for (std::size_t i = 0; i < cases.size(); ++i) cases[i] = EnumCases<E>::values[i].first;
    return cases;
}

namespace coding {

// Decoding of one value, by type. Each throws JsonDecodeError naming `where`.
void decodeValue(const nlohmann::json& j, std::string& out, std::string_view where);
void decodeValue(const nlohmann::json& j, bool& out, std::string_view where);
void decodeValue(const nlohmann::json& j, std::int64_t& out, std::string_view where);
void decodeValue(const nlohmann::json& j, double& out, std::string_view where);
void decodeValue(const nlohmann::json& j, Date& out, std::string_view where);
void decodeValue(const nlohmann::json& j, JsonValue& out, std::string_view where);

template <ServiceEnum E>
void decodeValue(const nlohmann::json& j, E& out, std::string_view where) {
    std::string raw;
    decodeValue(j, raw, where);
    const std::optional<E> value = fromRawValue<E>(raw);
    if (!value) throw JsonDecodeError(std::string(where) + ": unknown value \"" + raw + "\"");
    out = *value;
}

template <typename T>
void decodeValue(const nlohmann::json& j, std::vector<T>& out, std::string_view where);
template <typename T>
void decodeValue(const nlohmann::json& j, std::set<T>& out, std::string_view where);
template <typename T>
void decodeValue(const nlohmann::json& j, std::map<std::string, T>& out, std::string_view where);

/// A record: its from_json, with the error prefixed by where it sits.
template <typename T>
requires std::is_class_v<T> && requires(const nlohmann::json& j, T& t) { from_json(j, t); }
void decodeValue(const nlohmann::json& j, T& out, std::string_view where) {
    if (!j.is_object()) throw JsonDecodeError(std::string(where) + ": expected an object");
    try {
        from_json(j, out);
    } catch (const JsonDecodeError& e) {
        throw JsonDecodeError(std::string(where) + "." + e.what());
    }
}

template <typename T>
void decodeValue(const nlohmann::json& j, std::vector<T>& out, std::string_view where) {
    if (!j.is_array()) throw JsonDecodeError(std::string(where) + ": expected a list");
    out.clear();
    out.reserve(j.size());
    for (std::size_t i = 0; i < j.size(); ++i) {
        T element{};
        decodeValue(j[i], element, std::string(where) + "[" + std::to_string(i) + "]");
        out.push_back(std::move(element));
    }
}

template <typename T>
void decodeValue(const nlohmann::json& j, std::set<T>& out, std::string_view where) {
    std::vector<T> list;
    decodeValue(j, list, where);
    out = std::set<T>(list.begin(), list.end());
}

template <typename T>
void decodeValue(const nlohmann::json& j, std::map<std::string, T>& out, std::string_view where) {
    if (!j.is_object()) throw JsonDecodeError(std::string(where) + ": expected an object");
    out.clear();
    for (const auto& [key, value] : j.items()) {
        T element{};
        decodeValue(value, element, std::string(where) + "." + key);
        out.emplace(key, std::move(element));
    }
}

// Encoding of one value, by type.
inline nlohmann::json encodeValue(const std::string& v) { return v; }
inline nlohmann::json encodeValue(bool v) { return v; }
inline nlohmann::json encodeValue(std::int64_t v) { return v; }
inline nlohmann::json encodeValue(double v) { return v; }
nlohmann::json encodeValue(const Date& v);
inline nlohmann::json encodeValue(const JsonValue& v) { return v.json(); }

template <ServiceEnum E>
nlohmann::json encodeValue(E v) {
    return std::string(rawValue(v));
}

template <typename T>
requires std::is_class_v<T> && requires(nlohmann::json& j, const T& t) { to_json(j, t); }
nlohmann::json encodeValue(const T& v) {
    nlohmann::json j;
    to_json(j, v);
    return j;
}

template <typename T>
nlohmann::json encodeValue(const std::vector<T>& v) {
    nlohmann::json j = nlohmann::json::array();
    for (const T& e : v) j.push_back(encodeValue(e));
    return j;
}

template <typename T>
nlohmann::json encodeValue(const std::set<T>& v) {
    nlohmann::json j = nlohmann::json::array();
    for (const T& e : v) j.push_back(encodeValue(e));
    return j;
}

template <typename T>
nlohmann::json encodeValue(const std::map<std::string, T>& v) {
    nlohmann::json j = nlohmann::json::object();
    for (const auto& [k, e] : v) j[k] = encodeValue(e);
    return j;
}

/// A required field: present and not null.
template <typename T>
void required(const nlohmann::json& j, const char* key, T& out) {
    const auto it = j.find(key);
    if (it == j.end()) throw JsonDecodeError(std::string(key) + ": missing");
    if (it->is_null()) throw JsonDecodeError(std::string(key) + ": null");
    decodeValue(*it, out, key);
}

/// An optional field: absent when missing or null.
template <typename T>
void optional(const nlohmann::json& j, const char* key, std::optional<T>& out) {
    const auto it = j.find(key);
    if (it == j.end() || it->is_null()) {
        out.reset();
        return;
    }
    T value{};
    decodeValue(*it, value, key);
    out = std::move(value);
}

template <typename T>
void put(nlohmann::json& j, const char* key, const T& value) {
    j[key] = encodeValue(value);
}

template <typename T>
void put(nlohmann::json& j, const char* key, const std::optional<T>& value) {
    if (value) j[key] = encodeValue(*value);
}

template <typename T>
void put(nlohmann::json& j, const char* key, const Nullable<T>& value) {
    switch (value.kind) {
        case Nullable<T>::Kind::encodeValue:
            j[key] = encodeValue(value.value);
            break;
        case Nullable<T>::Kind::encodeNull:
            j[key] = nullptr;
            break;
        case Nullable<T>::Kind::encodeNothing:
            break;
    }
}

/// Starts the object of a record's to_json.
inline void beginObject(nlohmann::json& j) { j = nlohmann::json::object(); }

}  // namespace coding

/// The shared encoder and decoder of the models.
class JsonCoding {
public:
    /// The value as pretty-printed JSON text. Never throws for the models (texts that are not UTF-8
    /// are written with replacement characters).
    template <typename T>
    static std::string encode(const T& value) {
        return coding::encodeValue(value).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    }

    /// The value read from JSON text; JsonDecodeError on text that is not JSON or does not fit the type.
    template <typename T>
    static T decode(std::string_view text) {
        nlohmann::json j = parse(text);
        T value{};
        coding::decodeValue(j, value, "$");
        return value;
    }

    /// The same without throwing; the error's text in `why` when given.
    template <typename T>
    static std::optional<T> tryDecode(std::string_view text, std::string* why = nullptr) {
        try {
            return decode<T>(text);
        } catch (const JsonDecodeError& e) {
            if (why) *why = e.what();
            return std::nullopt;
        }
    }

    /// JSON text into a value tree; JsonDecodeError when it is not JSON or nests deeper than kMaxNesting.
    static nlohmann::json parse(std::string_view text);
    static constexpr int kMaxNesting = 64;
};

/// Value hashing of the records, consistent with their equality: equal records have equal JSON.
template <typename T>
std::size_t hashValue(const T& value) {
    return std::hash<std::string>{}(
        coding::encodeValue(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace qel::vek
