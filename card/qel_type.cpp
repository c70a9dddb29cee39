#include "card/qel_type.h"

#include "common/logger.h"

namespace qel {

const char* caseName(QELType type) {
    switch (type) {
        case QELType::QEL3:
            return "QEL3";
        case QELType::QEL3CL:
            return "QEL3CL";
        case QELType::QEL4:
            return "QEL4";
        case QELType::UNKNOWN:
            return "UNKNOWN";
    }
    return "UNKNOWN";
}

std::string qualifiedName(QELType type) { return moduleName() + ".QELType." + caseName(type); }

}  // namespace qel
