#include "sim/card/hostile.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "common/hex.h"

namespace qel::sim {

namespace {

constexpr std::uint8_t kFiller = 0xA5;

std::uint8_t hexByte(const nlohmann::json& v, const char* key) {
    auto b = fromHex(v.get<std::string>());
    if (!b || b->size() != 1) throw std::runtime_error(std::string("\"") + key + "\" is not one hexadecimal byte");
    return (*b)[0];
}

HostileRule::Action actionNamed(const std::string& name) {
    using A = HostileRule::Action;
    static const std::pair<const char*, A> names[] = {
        {"status", A::status},
        {"truncate", A::truncate},
        {"oversize", A::oversize},
        {"raw", A::raw},
        {"loop61", A::loop61},
        {"wrongLength", A::wrongLength},
        {"noSizeTag", A::noSizeTag},
        {"fileContent", A::fileContent},
        {"truncateFile", A::truncateFile},
    };
    for (const auto& [n, a] : names)
        if (name == n) return a;
    throw std::runtime_error("unknown hostile action \"" + name + "\"");
}

HostileRule ruleFromJson(const nlohmann::json& j) {
    if (!j.is_object()) throw std::runtime_error("a hostile rule is not an object");
    HostileRule r;
    r.action = actionNamed(j.at("action").get<std::string>());
    if (j.contains("ins")) r.ins = hexByte(j["ins"], "ins");
    if (j.contains("p1")) r.p1 = hexByte(j["p1"], "p1");
    if (j.contains("p2")) r.p2 = hexByte(j["p2"], "p2");
    if (j.contains("path")) {
        auto p = fromHex(j["path"].get<std::string>());
        if (!p) throw std::runtime_error("\"path\" is not hexadecimal");
        r.path = toHex(*p);
    }
    if (j.contains("sw")) {
        auto sw = fromHex(j["sw"].get<std::string>());
        if (!sw || sw->size() != 2) throw std::runtime_error("\"sw\" is not two hexadecimal bytes");
        r.sw = static_cast<std::uint16_t>((*sw)[0] << 8 | (*sw)[1]);
    }
    if (j.contains("length")) {
        // Read signed: a negative length must not wrap round to a huge count.
        const long long length = j["length"].get<long long>();
        if (length < 0 || length > 65535) throw std::runtime_error("\"length\" must lie in 0-65535");
        r.length = static_cast<std::size_t>(length);
    }
    if (j.contains("bytes")) {
        auto b = fromHex(j["bytes"].get<std::string>());
        if (!b) throw std::runtime_error("\"bytes\" is not hexadecimal");
        r.bytes = *b;
    }
    if (j.contains("times")) r.times = j["times"].get<int>();
    if (r.isFileRule() && r.path.empty()) throw std::runtime_error("a file rule needs a \"path\"");
    return r;
}

// Rebuilds a 62 / 6F template without its tag-80 element. The templates this card writes hold only
// short-form primitive elements, which is all this walk needs to know.
Bytes withoutSizeTag(const Bytes& fcp) {
    if (fcp.size() < 2 || (fcp[0] != 0x62 && fcp[0] != 0x6F)) return fcp;
    Bytes inner;
    std::size_t i = 2;
    while (i + 1 < fcp.size()) {
        std::size_t len = fcp[i + 1];
        std::size_t end = std::min(fcp.size(), i + 2 + len);
        if (fcp[i] != 0x80)
            inner.insert(inner.end(), fcp.begin() + static_cast<long>(i), fcp.begin() + static_cast<long>(end));
        i = end;
    }
    Bytes out{fcp[0], static_cast<std::uint8_t>(inner.size())};
    out.insert(out.end(), inner.begin(), inner.end());
    return out;
}

}  // namespace

std::vector<HostileRule> hostileRulesFromJson(const std::string& jsonText) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(jsonText);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(std::string("hostile rules are not JSON: ") + e.what());
    }
    if (!j.is_array()) throw std::runtime_error("hostile rules must be a JSON list");
    std::vector<HostileRule> rules;
    for (std::size_t i = 0; i < j.size(); ++i) {
        try {
            rules.push_back(ruleFromJson(j[i]));
        } catch (const std::exception& e) {
            throw std::runtime_error("hostile rule " + std::to_string(i) + ": " + e.what());
        }
    }
    return rules;
}

std::string hostileRulesToJson(const std::vector<HostileRule>& rules) {
    static const char* names[] = {"status",      "truncate",  "oversize",    "raw",         "loop61",
                                  "wrongLength", "noSizeTag", "fileContent", "truncateFile"};
    nlohmann::json list = nlohmann::json::array();
    for (const HostileRule& r : rules) {
        nlohmann::json j;
        j["action"] = names[static_cast<int>(r.action)];
        if (r.ins) j["ins"] = toHex(&*r.ins, 1);
        if (r.p1) j["p1"] = toHex(&*r.p1, 1);
        if (r.p2) j["p2"] = toHex(&*r.p2, 1);
        if (!r.path.empty()) j["path"] = r.path;
        if (r.action == HostileRule::Action::status) {
            std::uint8_t sw[2] = {static_cast<std::uint8_t>(r.sw >> 8), static_cast<std::uint8_t>(r.sw)};
            j["sw"] = toHex(sw, 2);
        }
        if (r.length) j["length"] = r.length;
        if (!r.bytes.empty()) j["bytes"] = toHex(r.bytes);
        if (r.times >= 0) j["times"] = r.times;
        list.push_back(j);
    }
    return list.dump();
}

Bytes HostileFilter::fileContent(const std::string& pathHex, const Bytes& content) const {
    Bytes out = content;
    for (const HostileRule& r : rules_) {
        if (!r.isFileRule() || r.path != pathHex || r.times == 0) continue;
        if (r.action == HostileRule::Action::fileContent)
            out = r.bytes;
        else if (out.size() > r.length)
            out.resize(r.length);
    }
    return out;
}

Bytes HostileFilter::filter(const CommandApdu& command, const std::string& currentPath, const ResponseApdu& answer) {
    if (looping_) {
        if (command.ins == 0xC0) return ResponseApdu{Bytes(16, kFiller), 0x6110}.toBytes();
        looping_ = false;
    }
    for (HostileRule& r : rules_) {
        if (r.isFileRule() || r.times == 0) continue;
        if (r.ins && *r.ins != command.ins) continue;
        if (r.p1 && *r.p1 != command.p1) continue;
        if (r.p2 && *r.p2 != command.p2) continue;
        if (!r.path.empty() && r.path != currentPath) continue;
        if (r.times > 0) --r.times;
        ResponseApdu out = answer;
        switch (r.action) {
            case HostileRule::Action::status:
                return statusOnly(r.sw).toBytes();
            case HostileRule::Action::truncate:
                if (out.data.size() > r.length) out.data.resize(r.length);
                return out.toBytes();
            case HostileRule::Action::oversize:
                out.data.insert(out.data.end(), r.length, kFiller);
                return out.toBytes();
            case HostileRule::Action::raw:
                return r.bytes;
            case HostileRule::Action::loop61:
                looping_ = true;
                return ResponseApdu{out.data, 0x6110}.toBytes();
            case HostileRule::Action::wrongLength:
                return statusOnly(static_cast<std::uint16_t>(0x6C00 | (r.length & 0xFF))).toBytes();
            case HostileRule::Action::noSizeTag:
                out.data = withoutSizeTag(out.data);
                return out.toBytes();
            case HostileRule::Action::fileContent:
            case HostileRule::Action::truncateFile:
                break;
        }
    }
    return answer.toBytes();
}

}  // namespace qel::sim
