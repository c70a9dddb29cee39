#pragma once
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qel::vek {

/// One JSON value of any kind: null, boolean, integer, unsigned integer, floating-point number, text,
/// list of any values, map of text to any values. Integers keep their width and sign as read.
class AnyCodable {
public:
    AnyCodable() = default;  ///< null
    AnyCodable(std::nullptr_t) {}
    AnyCodable(bool v) : value_(v) {}
    AnyCodable(std::int64_t v) : value_(v) {}
    AnyCodable(int v) : value_(static_cast<std::int64_t>(v)) {}
    AnyCodable(std::uint64_t v) : value_(v) {}
    AnyCodable(double v) : value_(v) {}
    AnyCodable(std::string v) : value_(std::move(v)) {}
    AnyCodable(const char* v) : value_(std::string(v)) {}
    AnyCodable(const std::vector<AnyCodable>& list);
    AnyCodable(const std::map<std::string, AnyCodable>& map);

    /// Any JSON value, taken as it is.
    static AnyCodable fromJson(nlohmann::json value);
    const nlohmann::json& json() const { return value_; }

    bool isNull() const { return value_.is_null(); }
    bool operator==(const AnyCodable& other) const { return value_ == other.value_; }

private:
    nlohmann::json value_;
};

/// The encoding-only and decoding-only faces of the same wrapper.
using AnyEncodable = AnyCodable;
using AnyDecodable = AnyCodable;

void to_json(nlohmann::json& j, const AnyCodable& value);
void from_json(const nlohmann::json& j, AnyCodable& value);

/// How an optional field is written: its value, no key at all, or an explicit null.
template <typename T>
struct NullEncodable {
    enum class Kind { encodeValue, encodeNothing, encodeNull };
    Kind kind = Kind::encodeNothing;
    T value{};

    static NullEncodable of(T v) { return {Kind::encodeValue, std::move(v)}; }
    static NullEncodable nothing() { return {}; }
    static NullEncodable null() { return {Kind::encodeNull, T{}}; }
    bool operator==(const NullEncodable&) const = default;
};

}  // namespace qel::vek
