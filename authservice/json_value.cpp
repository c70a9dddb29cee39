#include "authservice/json_value.h"

namespace qel::vek {

JsonValue::JsonValue(const std::vector<JsonValue>& list) : value_(nlohmann::json::array()) {
    for (const JsonValue& e : list) value_.push_back(e.value_);
}

JsonValue::JsonValue(const std::map<std::string, JsonValue>& map) : value_(nlohmann::json::object()) {
    for (const auto& [k, e] : map) value_[k] = e.value_;
}

JsonValue JsonValue::fromJson(nlohmann::json value) {
    JsonValue any;
    // Binary values exist only in nlohmann's own formats, never in JSON text.
    any.value_ = value.is_binary() ? nlohmann::json() : std::move(value);
    return any;
}

void to_json(nlohmann::json& j, const JsonValue& value) { j = value.json(); }
void from_json(const nlohmann::json& j, JsonValue& value) { value = JsonValue::fromJson(j); }

}  // namespace qel::vek
