#include "cli/qel_cli.h"

#include <exception>
#include <ostream>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "common/logger.h"

namespace qel::cli {
namespace {

struct Invocation {
    Options options;
    std::vector<std::string> words;
    bool help = false;
    bool version = false;
};

int parseDescriptor(const std::string& text) {
    std::size_t used = 0;
    int fd = -1;
    try {
        fd = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || fd < 0)
        throw CliError(kExitUsage, "--pin-fd takes a file descriptor number, not \"" + text + "\"");
    return fd;
}

Invocation parse(const std::vector<std::string>& arguments) {
    Invocation call;
    bool pinFdGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        auto value = [&](const std::string& option) -> std::string {
            const std::string prefix = option + "=";
            if (word.rfind(prefix, 0) == 0) return word.substr(prefix.size());
            if (i + 1 >= arguments.size()) throw CliError(kExitUsage, option + " needs a value");
            return arguments[++i];
        };
        auto is = [&](const char* option) { return word == option || word.rfind(std::string(option) + "=", 0) == 0; };
        if (word == "--json") {
            call.options.json = true;
        } else if (word == "--yes" || word == "-y") {
            call.options.yes = true;
        } else if (word == "--help" || word == "-h") {
            call.help = true;
        } else if (word == "--version") {
            call.version = true;
        } else if (is("--reader")) {
            call.options.reader = value("--reader");
            if (call.options.reader.empty()) throw CliError(kExitUsage, "--reader needs a reader name");
        } else if (is("--pin-fd")) {
            call.options.pinFd = parseDescriptor(value("--pin-fd"));
            pinFdGiven = true;
        } else if (is("--pin") || is("--puk")) {
            // A code on the command line is seen by every user of the machine (ps, /proc).
            throw CliError(kExitUsage,
                           "codes are never taken from the command line: type the PIN when asked, or give "
                           "it on a file descriptor with --pin-fd N");
        } else if (word.size() > 1 && word[0] == '-') {
            throw CliError(kExitUsage, "unknown option " + word);
        } else {
            call.words.push_back(word);
        }
    }
    if (pinFdGiven && (call.words.empty() || call.words[0] != "services-test"))
        throw CliError(kExitUsage, "--pin-fd goes with services-test only");
    if (call.options.yes && (call.words.size() < 2 || call.words[0] != "trust"))
        throw CliError(kExitUsage, "--yes goes with trust install only");
    return call;
}

void expectWords(const Invocation& call, std::size_t minimum, std::size_t maximum) {
    if (call.words.size() < minimum || call.words.size() > maximum)
        throw CliError(kExitUsage, "wrong number of arguments for " + call.words[0] + " (see qel --help)");
}

CommandResult dispatch(const Invocation& call, Context& context) {
    const std::vector<std::string>& w = call.words;
    const std::string& command = w[0];
    if (command == "info") {
        expectWords(call, 1, 1);
        return infoCommand(context);
    }
    if (command == "pin-status") {
        expectWords(call, 1, 1);
        return pinStatusCommand(context);
    }
    if (command == "services-test") {
        expectWords(call, 1, 1);
        return servicesTestCommand(context);
    }
    if (command == "diag") {
        expectWords(call, 1, 1);
        return diagCommand(context);
    }
    if (command == "cache" && w.size() >= 2 && w[1] == "clear") {
        expectWords(call, 2, 3);
        return cacheClearCommand(context, w.size() == 3 ? w[2] : std::string());
    }
    if (command == "trust" && w.size() >= 2 && w[1] == "install") {
        expectWords(call, 2, 2);
        return trustInstallCommand(context);
    }
    if (command == "update" && w.size() >= 2 && w[1] == "check") {
        expectWords(call, 2, 3);
        return updateCheckCommand(context, w.size() == 3 ? w[2] : std::string());
    }
    throw CliError(kExitUsage,
                   "unknown command \"" + command + (w.size() > 1 ? " " + w[1] : "") + "\" (see qel --help)");
}

}  // namespace

const char* exitCodeName(ExitCode code) {
    switch (code) {
        case kExitOk:
            return "ok";
        case kExitFailure:
            return "failure";
        case kExitUsage:
            return "usage";
        case kExitNoReader:
            return "no-reader";
        case kExitNoCard:
            return "no-card";
        case kExitWrongPin:
            return "wrong-pin";
        case kExitCardBlocked:
            return "card-blocked";
        case kExitServiceFailure:
            return "service-failure";
        case kExitLibraryUnavailable:
            return "library-unavailable";
    }
    return "failure";
}

std::string helpText() {
    return R"(usage: qel [--json] [--reader NAME] COMMAND

Support commands for the QEL card, over the same libraries as Kartello.

Commands:
  info                 the readers, the card, its holder summary and validity
  pin-status           whether the PIN is usable, at its last try or blocked
  services-test        the services test of Kartello's maintenance view, with its report;
                       asks for the PIN on the terminal (no echo), or reads it from
                       --pin-fd N (up to the first line feed); on a reader with a
                       keypad it is typed there instead
  diag                 writes the diagnostics archive (logs and system report) into the
                       download folder
  cache clear [SERIAL] clears the card file cache of the card with that serial (as info
                       shows it), or of every card
  trust install        installs the issuer chain of the card's first certificate into the
                       user's NSS database and trusts its root (asks first; --yes agrees)
  update check [SERIAL]
                       asks the update service whether an update waits for the card in the
                       reader, or for the card with that serial

Options:
  --json               one JSON document on standard output, with "status" and, on failure,
                       "error"; nothing is asked on the terminal except the PIN
  --reader NAME        use that reader (its name as info lists it); default: the first
                       reader that holds a card
  --pin-fd N           services-test: read the PIN from file descriptor N
  --yes, -y            trust install: trust the issuer's root without asking
  --help, -h           this text
  --version            the version

The PIN is never taken from the command line and never written to any log.

Exit status:
  0  success
  1  the operation failed (files, certificate database, archive)
  2  usage error or bad input (unknown command or option, a PIN that is not 4 digits)
  3  no card reader, or the smart-card service (pcscd) is not running
  4  no card in the reader
  5  wrong PIN
  6  card blocked (PIN blocked; pin-status and services-test)
  7  service failure (a failing call in the services test, the update service)
  8  the issuer PKCS#11 library cannot be loaded or started
)";
}

int runQel(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           const std::string& version) {
    bool json = false;
    for (const std::string& word : arguments) json = json || word == "--json";
    CommandResult result;
    try {
        const Invocation call = parse(arguments);
        if (call.help) {
            out << helpText();
            return kExitOk;
        }
        if (call.version) {
            out << "qel " << version << "\n";
            return kExitOk;
        }
        if (call.words.empty()) throw CliError(kExitUsage, "no command given (see qel --help)");
        Context context{call.options, out, version, [] { return std::chrono::system_clock::now(); }};
        logInfo("qel " + call.words[0] + (call.words.size() > 1 ? " " + call.words[1] : ""));
        result = dispatch(call, context);
    } catch (const CliError& e) {
        result.code = e.code();
        result.message = e.what();
    } catch (const std::exception& e) {
        result.code = kExitFailure;
        result.message = e.what();
    }
    if (result.code != kExitOk) logError("qel : " + result.message);
    if (json) {
        nlohmann::ordered_json document = nlohmann::ordered_json::object();
        document["status"] = exitCodeName(result.code);
        document["exitCode"] = static_cast<int>(result.code);
        if (!result.message.empty()) document["error"] = result.message;
        for (auto& [key, value] : result.data.items()) document[key] = value;
        out << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    } else if (!result.message.empty()) {
        err << "qel: " << result.message << "\n";
    }
    out.flush();
    return result.code;
}

}  // namespace qel::cli
