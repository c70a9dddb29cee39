#pragma once
#include <string>

namespace qel {

/// Severity of a log entry; the tag written at the head of each message is part of the format.
enum class Severity { success = 0, error = 1, info = 2, debug = 3, verbose = 4, warning = 5, severe = 6 };

/// The tag of a severity, for example "[✅]" for success.
const char* severityTag(Severity severity);

/// The text with every control character escaped: a line feed as \n, the others as \xNN (two
/// upper-case hexadecimal digits).
std::string escapeControlCharacters(const std::string& text);

/// Daily file logger shared by every card-touching program. Stateless towards callers: every call
/// appends one line to "<log dir><stem>-yyyy-MM-dd.log" and never fails or throws; the two failure
/// texts go to standard output. Control characters of the message are escaped, so an entry is
/// always one line. Safe from any thread, and in a child forked while other threads log: each entry
/// is a single append write. A log folder that is a link, another user's or writable by others, a
/// log file that is a link, and a process without a home are refused with one line on standard
/// error; nothing is written then.
class Logger {
public:
    static void log(const std::string& message, Severity severity);

    /// Chooses the file stem ("/KartelloStore", "/SigillaDriver", "/Vigilo") and the module name
    /// used in qualified names (Kartello, Sigilla, Vigilo). Called once by each program's entry
    /// point before its first line; later calls are ignored unless `force` (tests).
    static void configure(const std::string& stem, const std::string& moduleName, bool force = false);

    /// Replaces the log directory (tests). Empty restores the per-user default.
    static void setDirectory(const std::string& directory);

    /// The folder the files are written to (without trailing separator).
    static std::string directory();
    /// The file the next entry goes to.
    static std::string currentFilePath();
};

/// The running program's module name, as in "Sigilla.KeyType.AUTH_KEY".
std::string moduleName();

/// Shorthands.
inline void logSuccess(const std::string& m) { Logger::log(m, Severity::success); }
inline void logError(const std::string& m) { Logger::log(m, Severity::error); }
inline void logInfo(const std::string& m) { Logger::log(m, Severity::info); }
inline void logDebug(const std::string& m) { Logger::log(m, Severity::debug); }
inline void logVerbose(const std::string& m) { Logger::log(m, Severity::verbose); }
inline void logWarning(const std::string& m) { Logger::log(m, Severity::warning); }
inline void logSevere(const std::string& m) { Logger::log(m, Severity::severe); }

}  // namespace qel
