#include "common/logger.h"

namespace qel {

const char* severityTag(Severity severity) {
    switch (severity) {
        case Severity::success:
            return "[\u2705]";
        case Severity::error:
            return "[\u26D4\uFE0F]";
        case Severity::info:
            return "[\u2139\uFE0F]";
        case Severity::debug:
            return "[\U0001F4AC]";
        case Severity::verbose:
            return "[\U0001F52C]";
        case Severity::warning:
            return "[\u26A0\uFE0F]";
        case Severity::severe:
            return "[\U0001F525]";
    }
    return "[]";
}

}  // namespace qel
