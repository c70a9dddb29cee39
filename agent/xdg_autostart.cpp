#include "agent/xdg_autostart.h"

#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "common/atomic_file.h"
#include "common/format.h"
#include "common/logger.h"
#include "common/user_dirs.h"

namespace qel::agent {

std::string desktopStringValue(const std::string& text) {
    std::string value;
    for (char c : text) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

std::string desktopExecValue(const std::string& program) {
    // Characters that force quoting of an Exec argument.
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = program.find_first_of(reserved) != std::string::npos;
    std::string argument;
    if (quote) argument += '"';
    for (char c : program) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) argument += '\\';
        if (c == '%') argument += '%';
        argument += c;
    }
    if (quote) argument += '"';
    // The whole value is a desktop-entry string, where a backslash escapes too.
    return desktopStringValue(argument);
}

XdgAutostart::XdgAutostart(std::map<std::string, std::string> programs, std::string configHome)
    : programs_(std::move(programs)), configHome_(std::move(configHome)) {}

std::string XdgAutostart::entryPath(const std::string& identifier) const {
    const std::string home = configHome_.empty() ? userdirs::configHome() : configHome_;
    if (home.empty()) return {};
    return home + "/autostart/" + identifier + ".desktop";
}

bool XdgAutostart::setEnabled(const std::string& identifier, bool enabled) {
    const std::string path = entryPath(identifier);
    auto program = programs_.find(identifier);
    if (path.empty() || program == programs_.end()) return false;
    if (!enabled) return std::remove(path.c_str()) == 0 || access(path.c_str(), F_OK) != 0;

    const std::string& executable = program->second;
    // A line feed would end the Exec line and start a key of our choosing; an autostart entry
    // must name exactly one program.
    if (executable.empty() || executable.front() != '/' || executable.find_first_of("\r\n") != std::string::npos)
        return false;
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!userdirs::makeDirs(folder, 0700)) return false;

    const std::string name = identifier.substr(identifier.rfind('.') + 1);
    std::ostringstream out;
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=" << (name.empty() ? identifier : name) << "\n"
        << "Comment=Démarre Vigilo à l'ouverture de session\n"
        << "Exec=" << desktopExecValue(executable)
        << "\n"
        // The entry lives in the user's folder, beyond the reach of the package's removal: once
        // the program is gone, the session skips the entry instead of failing at every login.
        << "TryExec=" << desktopStringValue(executable) << "\n"
        << "Icon=org.oberlane.qel.vigilo\n"
        << "Terminal=false\n"
        << "NoDisplay=true\n"
        << "X-GNOME-Autostart-enabled=true\n";
    if (writeFileAtomically(path, out.str(), 0644)) {
        logError(format("Entrée de démarrage %s non écrite", path.c_str()));
        return false;
    }
    return true;
}

}  // namespace qel::agent
