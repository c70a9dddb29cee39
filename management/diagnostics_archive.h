#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "management/views/alert_presenter.h"
#include "management/views/desktop_services.h"

namespace qel {

/// What one program run gave.
struct CommandResult {
    bool started = false;   ///< false when the program is not installed (or cannot be started)
    bool timedOut = false;  ///< it was stopped after the time-out
    int exitStatus = -1;    ///< its exit status when it ended by itself
    std::string output;     ///< standard output and error, interleaved, at most 1 MiB
};

/// Runs a program found on PATH directly with its argument vector (no shell), standard input
/// closed, and waits at most `timeout` before killing it.
CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

/// The system report of the diagnostics archive: the kernel, the distribution, the USB devices,
/// the smart-card readers, the PKCS#11 modules and the versions of the packages the suite relies
/// on. A program that is missing or times out is noted as such; nothing else of the user's is read.
std::string systemReport(std::chrono::milliseconds timeoutPerProgram = std::chrono::seconds(5));

/// "KartelloStoreTraces-YYYY-MM-dd-HHmmss" in local time, where YYYY is the ISO week-based year.
std::string diagnosticsArchiveStem(std::chrono::system_clock::time_point when);

/// Writes a zip at `archivePath` (replacing it) whose folder `stem` holds `Kartello/` with the
/// regular files of `logFolder` (none when it does not exist) and `systeminfos.txt` with `report`.
/// The failure's description, or nothing on success.
std::optional<std::string> writeDiagnosticsArchive(const std::string& archivePath, const std::string& stem,
                                                   const std::string& logFolder, const std::string& report);

/// Where the diagnostics archive went, or why it could not be written.
struct DiagnosticsArchiveResult {
    /// The archive's path in the download folder (set once the folder was usable).
    std::string archivePath;
    /// The failure's description; empty on success.
    std::string error;
};

/// Writes the diagnostics archive "<stem>.zip" of the time `now` into the user's download folder
/// (created when missing), with the program logs and the system report. Blocks until every program
/// of the report has ended. Logs the outcome.
DiagnosticsArchiveResult writeDiagnosticsToDownloads(
    std::chrono::system_clock::time_point now, std::chrono::milliseconds timeoutPerProgram = std::chrono::seconds(5));

/// The maintenance view's export: the archive in the download folder, shown in the file manager
/// when `files` is given, then an alert that says where it is (or why it could not be written).
/// Blocks until every program has ended.
void exportDiagnostics(ui::AlertPresenter& alerts, std::chrono::system_clock::time_point now,
                       std::chrono::milliseconds timeoutPerProgram = std::chrono::seconds(5),
                       ui::FileRevealer* files = nullptr);

}  // namespace qel
