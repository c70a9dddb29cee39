#pragma once
// Reads what the file logger wrote since the capture started.
#include <fstream>
#include <sstream>
#include <string>

#include "common/logger.h"

namespace qel::test {

class LogCapture {
public:
    LogCapture() : start_(size()) {}
    std::string text() const {
        std::ifstream in(Logger::currentFilePath(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        std::string all = s.str();
        return all.size() > start_ ? all.substr(start_) : std::string();
    }
    bool contains(const std::string& fragment) const { return text().find(fragment) != std::string::npos; }

private:
    static std::size_t size() {
        std::ifstream in(Logger::currentFilePath(), std::ios::binary | std::ios::ate);
        return in ? static_cast<std::size_t>(in.tellg()) : 0;
    }
    std::size_t start_;
};

}  // namespace qel::test
