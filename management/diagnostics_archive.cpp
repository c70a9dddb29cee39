#include "management/diagnostics_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/logger.h"
#include "common/user_dirs.h"

extern char** environ;

namespace qel {
namespace {

constexpr std::size_t kMaxOutput = 1 << 20;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    CommandResult result;
    if (argv.empty()) return result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
    Fd readEnd{pipeFds[0]}, writeEnd{pipeFds[1]};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return result;
    result.started = true;
    ::close(writeEnd.fd);
    writeEnd.fd = -1;

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p{readEnd.fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            result.timedOut = true;
            break;
        }
        const ssize_t n = ::read(readEnd.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // every writer closed its end
        if (result.output.size() < kMaxOutput)
            result.output.append(buffer,
                                 std::min<std::size_t>(static_cast<std::size_t>(n), kMaxOutput - result.output.size()));
    }
    if (result.timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!result.timedOut && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

std::string systemReport(std::chrono::milliseconds timeoutPerProgram) {
    std::string report = "Kartello - rapport système\n";
    auto section = [&](const std::string& title, const std::vector<std::string>& argv) {
        report += "\n===== " + title + " =====\n";
        const CommandResult r = runCommand(argv, timeoutPerProgram);
        if (!r.started) {
            report += "absent : " + argv[0] + " n'est pas installé\n";
            return false;
        }
        report += r.output;
        if (!r.output.empty() && r.output.back() != '\n') report += "\n";
        if (r.timedOut)
            report += "(arrêté après le délai d'attente)\n";
        else if (r.exitStatus != 0)
            report += "(code de sortie " + std::to_string(r.exitStatus) + ")\n";
        return true;
    };
    section("uname -a", {"uname", "-a"});
    report += "\n===== /etc/os-release =====\n";
    const std::string osRelease = readWhole("/etc/os-release");
    report += osRelease.empty() ? "absent : /etc/os-release illisible\n" : osRelease;
    section("lsusb", {"lsusb"});
    // Either tool lists the readers; the first one installed is enough.
    if (!section("pcsc_scan -r", {"pcsc_scan", "-r"})) section("opensc-tool -l", {"opensc-tool", "-l"});
    section("p11-kit list-modules", {"p11-kit", "list-modules"});
    section("dpkg-query", {"dpkg-query", "-W", "-f", "${Package} ${Version}\\n", "pcscd", "libpcsclite1", "libccid",
                           "opensc", "p11-kit", "libnss3", "libqt6widgets6", "libcurl4", "libssl3"});
    return report;
}

std::string diagnosticsArchiveStem(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "%G-%m-%d-%H%M%S", &local);
    return std::string("KartelloStoreTraces-") + text;
}

std::optional<std::string> writeDiagnosticsArchive(const std::string& archivePath, const std::string& stem,
                                                   const std::string& logFolder, const std::string& report) {
    std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(), archive_write_free);
    if (!zip) return std::string("libarchive indisponible");
    auto failure = [&] {
        return std::string(archive_error_string(zip.get()) ? archive_error_string(zip.get()) : "erreur inconnue");
    };
    if (archive_write_set_format_zip(zip.get()) != ARCHIVE_OK) return failure();
    const std::string temporary = archivePath + ".part";
    if (archive_write_open_filename(zip.get(), temporary.c_str()) != ARCHIVE_OK) return failure();

    const std::time_t now = std::time(nullptr);
    auto add = [&](const std::string& name, const std::string& data) -> bool {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(entry.get(), name.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0600);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
        archive_entry_set_mtime(entry.get(), now, 0);
        if (archive_write_header(zip.get(), entry.get()) != ARCHIVE_OK) return false;
        return data.empty() ||
               archive_write_data(zip.get(), data.data(), data.size()) == static_cast<la_ssize_t>(data.size());
    };

    std::error_code ec;
    bool ok = true;
    if (std::filesystem::is_directory(logFolder, ec)) {
        for (const auto& file : std::filesystem::directory_iterator(logFolder, ec)) {
            // Only the folder's own files: a link could lead anywhere in the user's home.
            if (!file.is_regular_file(ec) || file.is_symlink(ec)) continue;
            ok = ok && add(stem + "/Kartello/" + file.path().filename().string(), readWhole(file.path().string()));
        }
    } else {
        logWarning("Impossible de copier les fichiers de traces : " + logFolder + " absent");
    }
    ok = ok && add(stem + "/systeminfos.txt", report);
    std::string error = ok ? std::string() : failure();
    if (archive_write_close(zip.get()) != ARCHIVE_OK && error.empty()) error = failure();
    if (error.empty()) {
        std::filesystem::rename(temporary, archivePath, ec);
        if (ec) error = ec.message();
    }
    if (!error.empty()) {
        std::filesystem::remove(temporary, ec);
        return error;
    }
    return std::nullopt;
}

DiagnosticsArchiveResult writeDiagnosticsToDownloads(std::chrono::system_clock::time_point now,
                                                     std::chrono::milliseconds timeoutPerProgram) {
    DiagnosticsArchiveResult result;
    const std::string downloads = userdirs::downloadDir();
    const std::string stem = diagnosticsArchiveStem(now);
    if (downloads.empty() || !userdirs::makeDirs(downloads)) {
        result.error = "Dossier de téléchargement inaccessible : " + downloads;
        logError("Erreur lors de la génération du zip : " + result.error);
        return result;
    }
    result.archivePath = downloads + "/" + stem + ".zip";
    const std::string logs = userdirs::stateHome().empty() ? std::string() : userdirs::stateHome() + "/kartello/Logs";
    if (auto error = writeDiagnosticsArchive(result.archivePath, stem, logs, systemReport(timeoutPerProgram))) {
        result.error = *error;
        logError("Erreur lors de la génération du zip : " + result.error);
        return result;
    }
    logInfo("Archive de diagnostic créée : " + result.archivePath);
    return result;
}

void exportDiagnostics(ui::AlertPresenter& alerts, std::chrono::system_clock::time_point now,
                       std::chrono::milliseconds timeoutPerProgram, ui::FileRevealer* files) {
    const DiagnosticsArchiveResult result = writeDiagnosticsToDownloads(now, timeoutPerProgram);
    if (!result.error.empty()) {
        alerts.runModal(ui::Alert{ui::Alert::Style::critical, "Erreur lors de la génération du zip", result.error, {}});
        return;
    }
    // Where the user will look for it to attach it to a support request.
    if (files && !files->reveal(result.archivePath))
        logWarning("Impossible d'afficher l'archive dans le gestionnaire de fichiers");
    alerts.runModal(ui::Alert{ui::Alert::Style::informational,
                              "Archive de diagnostic créée",
                              "Elle se trouve dans votre dossier de téléchargement :\n" + result.archivePath,
                              {"Fermer"}});
}

}  // namespace qel
