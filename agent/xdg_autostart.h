#pragma once
#include <map>
#include <string>

#include "agent/agent_services.h"

namespace qel::agent {

/// `text` as a desktop-entry string value: backslashes doubled (line feeds are the caller's to refuse).
std::string desktopStringValue(const std::string& text);

/// The Exec value that runs `program` without arguments: the path alone when it needs no quoting,
/// else quoted as desktop entries require ('"', '`', '$' and '\' escaped inside the quotes), with
/// '%' doubled and the backslashes doubled again for the file's own string escaping.
std::string desktopExecValue(const std::string& program);

/// Programs started at login, as XDG autostart entries: "<config home>/autostart/<identifier>.desktop", which the
/// session starts at login. Each identifier is mapped to the program the entry runs.
class XdgAutostart : public Autostart {
public:
    /// `programs`: identifier → absolute path of the executable. `configHome` empty: the user's.
    explicit XdgAutostart(std::map<std::string, std::string> programs, std::string configHome = {});

    /// Writes the entry whole (a temporary file renamed over the old one), or removes it. False for
    /// an unknown identifier, a relative program path, no config home, or a failed write.
    bool setEnabled(const std::string& identifier, bool enabled) override;

    /// Where the entry of that identifier lives (empty without a config home).
    std::string entryPath(const std::string& identifier) const;

private:
    std::map<std::string, std::string> programs_;
    std::string configHome_;
};

}  // namespace qel::agent
