#pragma once
#include <map>
#include <optional>
#include <string>

namespace qel {

/// A configuration made of named sections, each `Name { key = value; ... }`. Values are the text
/// between "=" and ";", blanks trimmed and surrounding double quotes removed.
using SectionedConfig = std::map<std::string, std::map<std::string, std::string>>;

/// Reads a sectioned configuration. Text outside sections, entries without "=" and an unclosed last
/// section's incomplete entry are skipped; a later section of the same name adds to the first.
SectionedConfig parseSectionedConfig(const std::string& text);

/// The issuer library's trace switch, which lives in the library's configuration file. Stateless.
class LogUtils {
public:
    /// `$XDG_CONFIG_HOME/oberlane/QEL` (or under ~/.config); empty when no home is known.
    static std::string configFolder();
    /// The configuration file in `configFolder`; empty when no home is known.
    static std::string configPath();
    /// The whole file with traces on ("true", "10") or off ("false", "0").
    static std::string configText(bool tracesOn);

    /// Creates the file with traces off, and its folders, when it does not exist. A folder that
    /// cannot be created leaves everything as it was.
    static void ensureConfigFile();
    /// True when the file's "Traces" section has an "active" value containing "true" or a "debug"
    /// value other than "0"; false without the file.
    static bool isTraceActive();
    /// Replaces the whole file (its folders are created when missing). The failure's description,
    /// or nothing on success.
    static std::optional<std::string> writeConfig(bool tracesOn);
};

}  // namespace qel
