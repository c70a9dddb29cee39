#pragma once
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qel::vek {

/// One JSON value of any kind: null, boolean, integer, unsigned integer, floating-point number, text,
/// list of any values, map of text to any values. Integers keep their width and sign as read.
class JsonValue {
public:
    JsonValue() = default;  ///< null
    JsonValue(std::nullptr_t) {}
    JsonValue(bool v) : value_(v) {}
    JsonValue(std::int64_t v) : value_(v) {}
    JsonValue(int v) : value_(static_cast<std::int64_t>(v)) {}
    JsonValue(std::uint64_t v) : value_(v) {}
    JsonValue(double v) : value_(v) {}
    JsonValue(std::string v) : value_(std::move(v)) {}
    JsonValue(const char* v) : value_(std::string(v)) {}
    JsonValue(const std::vector<JsonValue>& list);
    JsonValue(const std::map<std::string, JsonValue>& map);

    /// Any JSON value, taken as it is.
    static JsonValue fromJson(nlohmann::json value);
    const nlohmann::json& json() const { return value_; }

    bool isNull() const { return value_.is_null(); }
    bool operator==(const JsonValue& other) const { return value_ == other.value_; }

private:
    nlohmann::json value_;
};

void to_json(nlohmann::json& j, const JsonValue& value);
void from_json(const nlohmann::json& j, JsonValue& value);

/// How an optional field is written: its value, no key at all, or an explicit null.
template <typename T>
struct Nullable {
    enum class Kind { encodeValue, encodeNothing, encodeNull };
    Kind kind = Kind::encodeNothing;
    T value{};

    static Nullable of(T v) { return {Kind::encodeValue, std::move(v)}; }
    static Nullable nothing() { return {}; }
    static Nullable null() { return {Kind::encodeNull, T{}}; }
    bool operator==(const Nullable&) const = default;
};

}  // namespace qel::vek
