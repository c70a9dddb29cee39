#pragma once
#include <string>

namespace qel {

/// Card generation, decided from the ATR: it selects the command variants, the file table and the
/// accepted algorithms. QEL3CL is the third generation reached through a contactless reader.
enum class QELType { QEL3, QEL3CL, QEL4, UNKNOWN };

/// The case name alone: "QEL3", "QEL3CL", "QEL4", "UNKNOWN".
const char* caseName(QELType type);

/// The qualified name used in logs: module, type and case joined by dots, e.g. "Sigilla.QELType.QEL4".
std::string qualifiedName(QELType type);

}  // namespace qel
