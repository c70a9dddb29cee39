#include "authservice/any_codable.h"

namespace qel::vek {

AnyCodable::AnyCodable(const std::vector<AnyCodable>& list) : value_(nlohmann::json::array()) {
    for (const AnyCodable& e : list) value_.push_back(e.value_);
}

AnyCodable::AnyCodable(const std::map<std::string, AnyCodable>& map) : value_(nlohmann::json::object()) {
    for (const auto& [k, e] : map) value_[k] = e.value_;
}

AnyCodable AnyCodable::fromJson(nlohmann::json value) {
    AnyCodable any;
    // Binary values exist only in nlohmann's own formats, never in JSON text.
    any.value_ = value.is_binary() ? nlohmann::json() : std::move(value);
    return any;
}

void to_json(nlohmann::json& j, const AnyCodable& value) { j = value.json(); }
void from_json(const nlohmann::json& j, AnyCodable& value) { value = AnyCodable::fromJson(j); }

}  // namespace qel::vek
