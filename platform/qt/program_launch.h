#pragma once
#include <QString>
#include <string>

namespace qel::qt {

/// The executable of a sibling program named by its identifier's last part
/// ("org.oberlane.qel.vigilo" -> vigilo): next to the running program, then in the install's
/// program folder, then on the PATH. Empty when none is found.
QString locateProgram(const std::string& identifier);

/// Starts `program` detached, its standard streams on the null device: whoever waits on ours (a
/// terminal pipe, a test runner) must not wait on a program that lives for the whole session.
/// False when it could not be started.
bool startDetachedQuietly(const QString& program);

}  // namespace qel::qt
