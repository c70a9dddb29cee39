#pragma once
#include "common/secret_bytes.h"

namespace qel::cli {

/// Where the PIN comes from: a file descriptor the caller opened, or the controlling terminal.
struct PinSource {
    /// Read this descriptor up to the first line feed; -1 reads the terminal without echo.
    int fd = -1;
};

/// Reads a PIN. Throws CliError (kExitUsage) when there is no terminal and no descriptor, when the
/// descriptor cannot be read, or when the text is not 4 digits. The text is never logged and the
/// buffers that held it are wiped.
SecretBytes readPin(const PinSource& source);

}  // namespace qel::cli
