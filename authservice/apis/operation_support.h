#pragma once
// Helpers of the operations' definitions only.
#include <optional>
#include <string>
#include <string_view>

#include "authservice/api_helper.h"

namespace qel::vek {

/// Puts the percent-encoded value in place of the placeholder ("{id}").
inline void replacePlaceholder(std::string& path, std::string_view placeholder, const std::string& value) {
    const std::size_t at = path.find(placeholder);
    if (at != std::string::npos) path.replace(at, placeholder.size(), APIHelper::percentEncodePath(value));
}

template <typename T>
std::optional<QueryValue> toQueryValue(const std::optional<T>& value) {
    if (!value) return std::nullopt;
    return QueryValue(*value);
}

}  // namespace qel::vek
