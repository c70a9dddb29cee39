#pragma once

namespace qel::cli {

/// The exit statuses of `qel`, one per kind of outcome so that scripts can tell them apart. Listed
/// in `qel --help` and in qel(1): keep the three in step.
enum ExitCode : int {
    kExitOk = 0,
    /// The operation itself failed (a file, the certificate database, the archive).
    kExitFailure = 1,
    /// Bad command line or bad input (an unknown command, a PIN that is not 4 digits).
    kExitUsage = 2,
    /// No card reader, or the smart-card service is not running.
    kExitNoReader = 3,
    /// No card in the reader(s).
    kExitNoCard = 4,
    /// The card refused the PIN.
    kExitWrongPin = 5,
    /// The card's PIN is blocked.
    kExitCardBlocked = 6,
    /// A service failed: a library call of the services test, or the update service.
    kExitServiceFailure = 7,
    /// The issuer's PKCS#11 library cannot be loaded or initialised.
    kExitLibraryUnavailable = 8,
};

}  // namespace qel::cli
