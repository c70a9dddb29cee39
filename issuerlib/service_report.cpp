#include "issuerlib/service_report.h"

#include "issuerlib/pkcs11_error.h"

namespace qel {

bool ServiceReportRecorder::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void ServiceReportRecorder::setEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

std::string ServiceReportRecorder::formatLine(const std::string& functionName, unsigned long rv) {
    const std::size_t length = functionName.size();
    int tabs;
    if (length <= 8) {
        tabs = 4;
    } else if (length <= 13) {
        tabs = functionName == "C_OpenSession" ? 2 : 3;
    } else if (length <= 18) {
        tabs = functionName == "C_GenerateRandom" ? 1 : 2;
    } else {
        tabs = 1;
    }
    std::string line = functionName + ":" + std::string(static_cast<std::size_t>(tabs), '\t');
    line += rv == 0 ? "✅ " : "\u26D4\uFE0F ";
    line += pkcs11ReturnName(rv);
    return line;
}

void ServiceReportRecorder::recordServiceResult(const std::string& functionName, unsigned long rv) {
    std::string line = formatLine(functionName, rv);
    std::lock_guard lock(mutex_);
    if (!buffer_.empty()) buffer_ += "\n";
    buffer_ += line;
    if (rv != 0) failedCalls_.push_back(functionName);
}

void ServiceReportRecorder::recordIfEnabled(const std::string& functionName, unsigned long rv) {
    if (enabled()) recordServiceResult(functionName, rv);
}

std::string ServiceReportRecorder::buffer() const {
    std::lock_guard lock(mutex_);
    return buffer_;
}

std::string ServiceReportRecorder::takeBuffer() {
    std::lock_guard lock(mutex_);
    std::string taken;
    taken.swap(buffer_);
    return taken;
}

std::vector<std::string> ServiceReportRecorder::takeFailedCalls() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> taken;
    taken.swap(failedCalls_);
    return taken;
}

ServiceReportRecorder& processServiceReportRecorder() {
    static ServiceReportRecorder recorder;
    return recorder;
}

}  // namespace qel
