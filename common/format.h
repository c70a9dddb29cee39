#pragma once
#include <string>

namespace qel {

/// printf-style formatting into a std::string; log messages are fixed formats with placeholders.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qel
