#pragma once
#include <p11-kit/pkcs11.h>

#include <fstream>
#include <mutex>
#include <string>

namespace qel::simp11 {

/// Whether a trace configuration text switches traces on: section "Traces", on when "active"
/// contains "true" or "debug" (default "0") is anything but "0". Malformed text: off.
bool traceSwitchOn(const std::string& configText);

/// ${XDG_CONFIG_HOME:-~/.config}/oberlane/QEL/qel3_pkcs11.conf
std::string traceConfigPath();
/// ${XDG_STATE_HOME:-~/.local/state}/kartello/Logs/qel3_pkcs11-trace.log, beside the programs' logs
/// so that the diagnostics archive takes it along.
std::string traceFilePath();

/// Name of a PKCS#11 result ("CKR_PIN_INCORRECT"), or its number in hexadecimal when unnamed.
std::string rvName(CK_RV rv);

/// The library's call trace: one line per call while the switch was on at C_Initialize.
/// Thread-safe; never throws.
class Trace {
public:
    /// Reads the switch; opens the trace file for appending when it is on.
    void configure();
    void close();
    bool enabled() const { return enabled_; }
    /// Appends "<time> [<pid>] <function>(<arguments>) = <result>".
    void write(const char* function, const std::string& arguments, CK_RV rv);

private:
    std::mutex mutex_;
    std::ofstream out_;
    bool enabled_ = false;
};

}  // namespace qel::simp11
