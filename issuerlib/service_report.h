#pragma once
#include <mutex>
#include <string>
#include <vector>

namespace qel {

/// The services report recorder: a switch and a text buffer. While the switch is on, the PKCS#11
/// binding appends one line per traced library call ("C_Login", "C_Sign", ...); the services test
/// turns it on, moves the buffer into its report after each step and never turns it off again.
/// Safe to use from any thread (the update session calls the library from a background thread).
class ServiceReportRecorder {
public:
    /// The trace switch, false at start.
    bool enabled() const;
    void setEnabled(bool enabled);

    /// Appends the line of one library call, whatever the switch: a line feed first unless the
    /// buffer is empty, the function name, ":" and tabs that align the results (four for names of
    /// up to 8 characters, three for 9 to 13, two for 14 to 18, one beyond; "C_OpenSession" takes
    /// two and "C_GenerateRandom" one), "✅ " for CKR_OK or "⛔️ " otherwise, and the name of the
    /// return value (`pkcs11ReturnName`).
    void recordServiceResult(const std::string& functionName, unsigned long rv);

    /// Appends the line only while the switch is on (what the binding calls after each traced call).
    void recordIfEnabled(const std::string& functionName, unsigned long rv);

    /// The lines recorded since the last `takeBuffer`.
    std::string buffer() const;
    /// Returns the recorded lines and empties the buffer (the services test's flush).
    std::string takeBuffer();

    /// The names of the calls recorded with a result other than CKR_OK since the last call, in order;
    /// empties that list (the buffer is left alone).
    std::vector<std::string> takeFailedCalls();

    /// The line `recordServiceResult` writes for one call, without the leading line feed.
    static std::string formatLine(const std::string& functionName, unsigned long rv);

private:
    mutable std::mutex mutex_;
    bool enabled_ = false;
    std::string buffer_;
    std::vector<std::string> failedCalls_;
};

/// The process's one recorder. Only the program's entry point reaches for it, to hand it to the
/// library object and to the services test; the logic always receives it as a collaborator.
ServiceReportRecorder& processServiceReportRecorder();

}  // namespace qel
