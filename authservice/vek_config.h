#pragma once
#include <optional>
#include <string>

namespace qel::vek {

/// The two base URLs of the service. Each is used as written: the API paths are appended with no
/// separator, so both should end with "/".
struct VekParams {
    std::string prodPath;  ///< settings key "QELProdPath"
    std::string testPath;  ///< settings key "QELTestPath"
    bool operator==(const VekParams&) const = default;

    static VekParams defaults();
};

inline constexpr const char* kVekProdPathKey = "QELProdPath";
inline constexpr const char* kVekTestPathKey = "QELTestPath";
inline constexpr const char* kDefaultVekProdPath = "https://vestalink.oberlane.org/";
inline constexpr const char* kDefaultVekTestPath = "https://vestalink-test.oberlane.org/";

/// The settings file "vek.plist" in the user's documents folder (XDG_DOCUMENTS_DIR, by default
/// ~/Documents). Nothing is cached: every call reads the file again, so an edit applies to the next
/// request. The file is written once, as a binary property list, when it does not exist, and never
/// rewritten; the documents folder is never created.
class VekConfig {
public:
    /// What one read of the settings gave.
    struct Outcome {
        VekParams params;                  ///< the file's values, or the defaults
        std::optional<std::string> error;  ///< why the defaults apply, when they apply because of a fault
        bool created = false;              ///< the file was written by this call
    };

    /// Reads the file, creating it with the defaults when absent. Never fails: on any fault the defaults
    /// apply for this call, the file stays as it is, and the reason is printed on standard output.
    static VekParams loadParams();
    /// Reads the file, never writes it. On any fault (no file included) the defaults, reason printed.
    static VekParams readParams();

    /// The same two reads, with the reason handed back instead of printed.
    static Outcome load();
    static Outcome read();

    /// Reads a settings file's bytes in any property-list format (binary, XML). Nothing, with the reason
    /// in `why`, when they are not a dictionary holding both keys as texts. Other keys are ignored.
    static std::optional<VekParams> decode(const std::string& bytes, std::string* why = nullptr);
    /// The parameters as a binary property list.
    static std::string encodeBinary(const VekParams& params);

    /// <documents folder>/vek.plist, taken when first asked (empty without a home).
    static std::string settingsPath();
    /// Tests: another settings file from now on; empty returns to the documents folder.
    static void setSettingsPath(const std::string& path);
};

/// Whether the service's test environment is in use: the test-card indicator of the card last read.
/// Process-wide, false at start. Any thread.
bool isTestEnvironment();
void setTestEnvironment(bool isTest);

}  // namespace qel::vek
