// The support commands: diagnostics archive, card file cache, issuer chain, update check.
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <stdexcept>

#include "management/diagnostics_archive.h"
#include "management/trust/authority_store.h"
#include "management/trust/nss_certificate_store.h"
#include "management/trust/trust_installer.h"
#include "card/card_cache.h"
#include "card/qel_card_file.h"
#include "cli/card_access.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/terminal_alerts.h"
#include "common/user_dirs.h"
#include "issuerlib/pkcs11_card.h"
#include "update/tmaj_manager.h"

namespace qel::cli {

CommandResult diagCommand(Context& context) {
    const DiagnosticsArchiveResult archive = writeDiagnosticsToDownloads(context.now());
    if (!archive.error.empty()) throw CliError(kExitFailure, "cannot write the diagnostics archive: " + archive.error);
    CommandResult result;
    result.data["archive"] = archive.archivePath;
    context << "Diagnostics archive written: " << archive.archivePath << "\n";
    return result;
}

CommandResult cacheClearCommand(Context& context, const std::string& serial) {
    // The same test as the cache's own: only plain hexadecimal serials name a card's folder.
    if (!serial.empty() && !cacheDirectory(serial)) {
        if (userdirs::cacheHome().empty())
            throw CliError(kExitFailure, "no cache folder: neither XDG_CACHE_HOME nor HOME is set");
        throw CliError(kExitUsage, "not a card serial: \"" + serial + "\" (hexadecimal, as `qel info` shows it)");
    }
    CommandResult result;
    int removed = 0;
    try {
        removed = serial.empty() ? cardcache::clearAll() : cardcache::clearCard(serial);
    } catch (const std::runtime_error& e) {
        throw CliError(kExitFailure, std::string("cannot clear the card file cache: ") + e.what());
    }
    result.data["serial"] = serial;
    result.data["cardsCleared"] = removed;
    if (!serial.empty())
        context << (removed ? "Cache of card " + serial + " cleared\n" : "No cache for card " + serial + "\n");
    else
        context << "Cache cleared (" << removed << (removed == 1 ? " card)\n" : " cards)\n");
    return result;
}

CommandResult trustInstallCommand(Context& context) {
    CardAccess access;
    const ReaderEntry& reader = access.chooseReader(context.options.reader);
    auto card = access.openCard(reader);
    card->loadCertificates();
    if (!card->x509Certs || card->x509Certs->empty())
        throw CliError(kExitFailure, "the card in \"" + reader.name + "\" holds no certificate");

    AuthorityStore authorities(authorityDirectory());
    NssCertificateStore store;
    TerminalAlerts alerts(context.options.yes, context.options.json);
    TrustCertificatesInstaller installer(authorities, store, alerts);
    const TrustInstallOutcome outcome = installer.installChainOf(*card->x509Certs->front());

    CommandResult result;
    result.data["reader"] = reader.name;
    result.data["database"] = store.directory();
    result.data["chain"] = outcome.chain;
    result.data["added"] = outcome.added;
    result.data["trustedRoot"] = outcome.trustedRoot;
    using Status = TrustInstallOutcome::Status;
    switch (outcome.status) {
        case Status::done:
            context << "Issuer chain of the card in " << reader.name << " installed in " << store.directory() << "\n";
            for (const std::string& name : outcome.chain) {
                const bool added = std::find(outcome.added.begin(), outcome.added.end(), name) != outcome.added.end();
                context << "  " << name << (added ? ": added" : ": already there")
                        << (name == outcome.trustedRoot ? ", now a trusted authority" : "") << "\n";
            }
            break;
        case Status::noMatchingAuthority:
            result.code = kExitFailure;
            result.message = "no authority certificate in " + authorityDirectory() + " issued the card's certificate";
            break;
        case Status::refused:
            result.code = kExitFailure;
            result.message = "the issuer's root was not trusted, nothing was installed (--yes agrees without asking)";
            break;
        case Status::storeFailed:
            result.code = kExitFailure;
            result.message = "the certificate database " + store.directory() + " could not be changed (see the log)";
            break;
    }
    return result;
}

CommandResult updateCheckCommand(Context& context, const std::string& givenSerial) {
    std::string serial = givenSerial;
    CommandResult result;
    if (serial.empty()) {
        CardAccess access;
        const ReaderEntry& reader = access.chooseReader(context.options.reader);
        auto card = access.openCard(reader);
        // As the main window: contactless cards are not updated, and a card without serial cannot be asked about.
        if (!card->contactQEL)
            throw CliError(kExitFailure, "the card in \"" + reader.name +
                                             "\" is read without contact: updates need a contact reader");
        if (card->serial.empty()) throw CliError(kExitFailure, "the card in \"" + reader.name + "\" has no serial");
        serial = card->serial;
        result.data["reader"] = reader.name;
    }
    TmajManager manager;
    const int status = manager.checkTmaj(serial);
    result.data["serial"] = serial;
    result.data["service"] = manager.endpoint().baseAddress;
    if (status == TmajManager::kCheckFailed) {
        result.code = kExitServiceFailure;
        result.message =
            "the update service " + manager.endpoint().baseAddress + " did not answer the check (see the log)";
        return result;
    }
    result.data["updateAvailable"] = status == TmajManager::kUpdateAvailable;
    context << "Card " << serial << ": "
            << (status == TmajManager::kUpdateAvailable ? "an update is available (run it from Kartello)"
                                                        : "up to date")
            << "\n";
    return result;
}

}  // namespace qel::cli
