#include "app/log_utils.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/atomic_file.h"
#include "common/user_dirs.h"

namespace qel {
namespace {

std::string trimBlanks(const std::string& s) {
    const std::size_t begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    const std::size_t end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
}

}  // namespace

SectionedConfig parseSectionedConfig(const std::string& text) {
    SectionedConfig config;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find('{', pos);
        if (open == std::string::npos) break;
        // The section's name is the last word before its brace.
        std::string name = trimBlanks(text.substr(pos, open - pos));
        const std::size_t lastBreak = name.find_last_of(" \t\r\n;}");
        if (lastBreak != std::string::npos) name = name.substr(lastBreak + 1);
        std::size_t close = text.find('}', open);
        const std::string body =
            text.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
        auto& entries = config[name];
        std::stringstream lines(body);
        std::string entry;
        while (std::getline(lines, entry, ';')) {
            const std::size_t eq = entry.find('=');
            if (eq == std::string::npos) continue;
            if (close == std::string::npos && lines.eof()) break;  // cut short: no ";" after it
            std::string key = trimBlanks(entry.substr(0, eq));
            std::string value = trimBlanks(entry.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            if (!key.empty()) entries[key] = value;
        }
        if (close == std::string::npos) break;
        pos = close + 1;
    }
    return config;
}

std::string LogUtils::configFolder() {
    const std::string config = userdirs::configHome();
    return config.empty() ? std::string() : config + "/oberlane/QEL";
}

std::string LogUtils::configPath() {
    const std::string folder = configFolder();
    return folder.empty() ? std::string() : folder + "/qel3_pkcs11.conf";
}

std::string LogUtils::configText(bool tracesOn) {
    return std::string("Traces\n{\n  active = ") + (tracesOn ? "true" : "false") +
           ";\n  debug = " + (tracesOn ? "10" : "0") + ";\n}";
}

void LogUtils::ensureConfigFile() {
    const std::string path = configPath();
    if (path.empty()) return;
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) return;
    if (!userdirs::makeDirs(configFolder())) return;
    writeConfig(false);
}

bool LogUtils::isTraceActive() {
    const std::string path = configPath();
    if (path.empty()) return false;
    std::ifstream in(path);
    if (!in) return false;
    std::stringstream text;
    text << in.rdbuf();
    const SectionedConfig config = parseSectionedConfig(text.str());
    auto section = config.find("Traces");
    if (section == config.end()) return false;
    const auto& entries = section->second;
    auto active = entries.find("active");
    if (active != entries.end() && active->second.find("true") != std::string::npos) return true;
    auto debug = entries.find("debug");
    return debug != entries.end() && debug->second != "0";
}

std::optional<std::string> LogUtils::writeConfig(bool tracesOn) {
    const std::string path = configPath();
    if (path.empty()) return std::string("Dossier personnel inconnu");
    if (!userdirs::makeDirs(configFolder()))
        return "Impossible de créer le dossier " + configFolder() + " : " + std::strerror(errno);
    // Written beside it and renamed over it: the library never reads half a file.
    if (const std::error_code ec = writeFileAtomically(path, configText(tracesOn), 0644))
        return "Impossible de remplacer " + path + " : " + ec.message();
    return std::nullopt;
}

}  // namespace qel
