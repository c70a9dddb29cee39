#include "authservice/api_helper.h"

#include <cmath>
#include <cstdio>
#include <strings.h>

namespace qel::vek {
namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// The characters a URL path keeps as they are: unreserved, sub-delimiters, ":", "@" and "/".
bool isPathAllowed(unsigned char c) {
    static constexpr std::string_view kExtra = "!$&'()*+,;=:@/";
    return isUnreserved(c) || kExtra.find(static_cast<char>(c)) != std::string_view::npos;
}

template <typename Keep>
std::string percentEncode(std::string_view value, Keep keep) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (keep(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::string numberText(double v) {
    char out[32];
    std::snprintf(out, sizeof out, "%.17g", v);
    return out;
}

struct ToText {
    std::string operator()(const std::string& v) const { return v; }
    std::string operator()(bool v) const { return v ? "true" : "false"; }
    std::string operator()(std::int64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const { return numberText(v); }
    std::string operator()(Date v) const { return OpenISO8601DateFormatter::string(v); }
    std::string operator()(const std::vector<std::string>& v) const {
        std::string joined;
        for (std::size_t i = 0; i < v.size(); ++i) joined += (i ? "," : "") + v[i];
        return joined;
    }
};

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return ::strcasecmp(a.c_str(), b.c_str()) < 0;
}

std::vector<QueryItem> APIHelper::mapValuesToQueryItems(const std::vector<QueryParameter>& parameters) {
    std::vector<QueryItem> items;
    for (const QueryParameter& p : parameters) {
        if (!p.value) continue;
        if (const auto* list = std::get_if<std::vector<std::string>>(&*p.value); list && p.explode) {
            for (const std::string& element : *list) items.emplace_back(p.name, element);
            continue;
        }
        items.emplace_back(p.name, std::visit(ToText{}, *p.value));
    }
    return items;
}

std::string APIHelper::appendQuery(const std::string& url, const std::vector<QueryItem>& items) {
    if (items.empty()) return url;
    std::string out = url;
    char separator = url.find('?') == std::string::npos ? '?' : '&';
    for (const auto& [name, value] : items) {
        out += separator;
        out += percentEncodeQuery(name) + "=" + percentEncodeQuery(value);
        separator = '&';
    }
    return out;
}

Headers APIHelper::rejectNilHeaders(const std::vector<std::pair<std::string, std::optional<std::string>>>& headers) {
    Headers out;
    for (const auto& [name, value] : headers)
        if (value) out[name] = *value;
    return out;
}

std::string APIHelper::percentEncodePath(std::string_view value) { return percentEncode(value, isPathAllowed); }

std::string APIHelper::percentEncodeQuery(std::string_view value) {
    return percentEncode(value, [](unsigned char c) { return isUnreserved(c) || c == ','; });
}

}  // namespace qel::vek
