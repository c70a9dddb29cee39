// The commands that read the card: info, pin-status, services-test.
#include <iostream>
#include <map>
#include <optional>
#include <ostream>

#include "management/card_summary.h"
#include "management/card_tables.h"
#include "management/scard/card_readers.h"
#include "management/scard/scard.h"
#include "management/services_test.h"
#include "cli/card_access.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/pin_input.h"
#include "common/secret_bytes.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_error.h"
#include "issuerlib/pkcs11_slot.h"
#include "issuerlib/token_text.h"
#include "issuerlib/service_report.h"
#include "platform/pcsc/pcsc_api.h"
#include "platform/pcsc/slot_manager.h"

namespace qel::cli {
namespace {

using Json = nlohmann::ordered_json;

const char* lockStateName(const CardLockState& lock) {
    if (lock.definitivelyBlocked) return "definitively-blocked";
    if (lock.blocked) return "blocked";
    if (lock.pinFinalTry) return "last-try";
    return "ok";
}

const char* lockStateText(const CardLockState& lock) {
    if (lock.definitivelyBlocked) return "PIN and PUK blocked: the card cannot be unblocked any more";
    if (lock.blocked) return "blocked: unblock it with the PUK in Kartello";
    if (lock.pinFinalTry) return "usable, last try before the card blocks";
    if (lock.pinCountLow) return "usable, a wrong PIN was presented";
    return "usable";
}

Json lockJson(const CardLockState& lock) {
    return Json{{"state", lockStateName(lock)},
                {"blocked", lock.blocked},
                {"definitivelyBlocked", lock.definitivelyBlocked},
                {"lastTry", lock.pinFinalTry},
                {"wrongPinPresented", lock.pinCountLow},
                {"pukLastTry", lock.pukFinalTry}};
}

Json cardJson(const Pkcs11Card& card) {
    return Json{{"label", card.label},           {"serial", card.serial},
                {"cardNumber", card.cardNumber}, {"cardFullNumber", card.cardFullNumber},
                {"model", card.model},           {"contact", card.contactQEL}};
}

/// The contactless cards only the smart-card service sees (the issuer library does not).
struct Survey {
    pcsc::SlotManager slots{pcsc::systemPcscApi()};
    PcscCardReaders readers{slots};
    ServiceAbsenceLog absence;
    Scard scard{readers, absence};
    ScanResult found = scard.scan();

    const ReaderInfo* qel4In(const std::string& readerName) const {
        for (const ReaderInfo& reader : found.readers)
            if (trimControlCharacters(reader.readerName) == readerName) return &reader;
        return nullptr;
    }
};

CommandResult contactlessInfo(Context& context, Survey& survey, const ReaderInfo& reader, CommandResult result) {
    const ContactlessIdentity identity = survey.scard.readContactlessIdentity(reader.readerName);
    const std::string name = trimControlCharacters(reader.readerName);
    result.data["reader"] = name;
    result.data["contactless"] = Json{{"serialNumber", identity.serialNumber},
                                      {"cardNumber", identity.cardNumber},
                                      {"identifier", identity.identifier}};
    context << "QEL4 card in " << name << ", seen through its contactless application only\n"
            << "  Serial number: " << identity.serialNumber << "\n"
            << "  Card number:   " << identity.cardNumber << "\n"
            << "  Identifier:    " << identity.identifier << "\n";
    return result;
}

void setLoginFailure(CK_RV rv, CommandResult& result) {
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return;
    // A card gone during the login is told as the login's failure, as it always was.
    const ExitCode code = exitCodeForReturnValue(rv, kExitServiceFailure);
    if (code == kExitWrongPin) {
        result.code = code;
        result.message = "the card refused the PIN";
    } else if (code == kExitCardBlocked) {
        result.code = code;
        result.message = "the card is blocked: unblock it with the PUK in Kartello";
    } else {
        result.code = kExitServiceFailure;
        result.message = "the PIN could not be checked (C_Login: " + pkcs11ReturnName(rv) + ")";
    }
}

// The card's keys sign SHA-1 and SHA-256 digests only, while OpenSSH asks for rsa-sha2-512 first and
// does not fall back; ssh-agent loads modules from /usr/lib and /usr/local/lib only.
void printOtherProgramsHint(Context& context) {
    context << "Using the card in other programs:\n"
            << "  Browsers and mail: run sigilla-register once (Firefox, Thunderbird, Chromium)\n"
            << "  OpenSSH:           ssh-add -s " << SIGILLA_MODULE_PATH << "\n"
            << "                     ssh -o PubkeyAcceptedAlgorithms=rsa-sha2-256 HOST\n"
            << "                     (the card signs with SHA-256 at most; a module outside /usr/lib and\n"
            << "                     /usr/local/lib needs an agent started with ssh-agent -P 'PATH')\n";
}

// A card pulled out, swapped or reset by another program while it is read leaves the holder's records
// empty; such a summary (no name, "Validity: to (EXPIRED)") must never pass for the card's.
void checkWholeRead(CardAccess& access, const ReaderEntry& reader, const Pkcs11Card& card, const HolderInfos& infos,
                    CK_RV tokenRv) {
    const bool sameCard = tokenRv == CKR_OK &&
                          cardNumberFromTokenSerial(decodePaddedText(card.tokenInfo.serialNumber)) == card.cardNumber;
    if (sameCard && !card.label.empty() && !infos.nomPatronym.empty() && !infos.finValidite.empty()) return;
    Pkcs11Slot slot(access.library(), reader.slotId);
    const bool gone = exitCodeForReturnValue(tokenRv, kExitFailure) == kExitNoCard ||
                      (slot.refreshSlot() == CKR_OK && !slot.cardPresent);
    if (gone) throw CliError(kExitNoCard, "the card left the reader \"" + reader.name + "\" while it was read");
    throw CliError(kExitFailure, "the card in \"" + reader.name +
                                     "\" could not be read completely (taken out, or reset by another program, "
                                     "while it was read): try again");
}

}  // namespace

CommandResult infoCommand(Context& context) {
    CardAccess access;
    Survey survey;
    CommandResult result;
    Json readers = Json::array();
    // Only a reader that holds a card can be asked for its keypad.
    std::map<std::string, std::optional<PinPadFeatures>> keypads;
    for (const ReaderEntry& reader : access.readers())
        keypads[reader.name] = reader.cardPresent ? readerKeypad(reader.name) : std::nullopt;
    for (const ReaderEntry& reader : access.readers()) {
        const ReaderInfo* qel4 = survey.qel4In(reader.name);
        const auto& keypad = keypads[reader.name];
        readers.push_back(Json{{"name", reader.name},
                               {"card", reader.cardPresent},
                               {"qel4", qel4 != nullptr},
                               {"contactless", qel4 != nullptr && qel4->isContactless},
                               {"keypad", keypad ? Json(keypadText(keypad)) : Json(nullptr)}});
    }
    result.data["readers"] = readers;
    const ReaderEntry* chosen = access.findReader(context.options.reader);
    context << "Readers:\n";
    for (const ReaderEntry& reader : access.readers()) {
        const auto& keypad = keypads[reader.name];
        context << (chosen == &reader ? "  * " : "    ") << reader.name << (reader.cardPresent ? " (card" : "")
                << (keypad && keypad->canVerify() ? ", keypad: " + keypadText(keypad) : std::string())
                << (reader.cardPresent ? ")" : "") << "\n";
    }

    if (!chosen || !chosen->cardPresent) {
        // A QEL4 held to a contactless reader answers the smart-card service only.
        for (const ReaderInfo& reader : survey.found.readers) {
            if (!reader.isContactless) continue;
            if (chosen && trimControlCharacters(reader.readerName) != chosen->name) continue;
            return contactlessInfo(context, survey, reader, std::move(result));
        }
        result.code = kExitNoCard;
        result.message = chosen ? "no card in the reader \"" + chosen->name + "\"" : "no card in any reader";
        return result;
    }

    auto card = access.openCard(*chosen);
    const HolderInfos infos = card->getHolderInfos();
    // Read after the holder's records: the same card must still be there for the summary to stand.
    const CK_RV tokenRv = card->refreshTokenInfo();
    checkWholeRead(access, *chosen, *card, infos, tokenRv);
    const CardLockState lock = cardLockState(card->tokenInfo.flags);
    const HolderSummary holder = holderSummary(infos, context.now());
    result.data["reader"] = chosen->name;
    result.data["card"] = cardJson(*card);
    result.data["holder"] = Json{{"name", holder.name},
                                 {"profession", holder.job},
                                 {"identifier", holder.identifier},
                                 {"cardNumber", holder.cardNumber},
                                 {"validFrom", holder.validFrom},
                                 {"validUntil", holder.validUntil},
                                 {"valid", holder.valid},
                                 {"testCard", holder.isTestCard}};
    result.data["pin"] = lockJson(lock);
    context << "Card in " << chosen->name << ": " << card->label << (card->contactQEL ? " (contact)" : " (contactless)")
            << "\n"
            << "  Holder:      " << holder.name << "\n"
            << "  Profession:  " << holder.job << "\n"
            << "  Identifier:  " << holder.identifier << "\n"
            << "  Card number: " << holder.cardNumber << "\n"
            << "  Serial:      " << card->cardFullNumber << "\n"
            << "  Validity:    " << holder.validFrom << " to " << holder.validUntil
            << (holder.valid ? " (valid)" : " (EXPIRED)") << "\n"
            << "  Test card:   " << (holder.isTestCard ? "yes" : "no") << "\n"
            << "  PIN:         " << lockStateText(lock) << "\n"
            << "  Keypad:      "
            << (keypads[chosen->name] && keypads[chosen->name]->canVerify()
                    ? keypadText(keypads[chosen->name]) + " on the reader (the PIN is typed there)"
                    : keypadText(keypads[chosen->name]))
            << "\n";
    result.data["keypad"] = keypads[chosen->name] ? Json(keypadText(keypads[chosen->name])) : Json(nullptr);
    printOtherProgramsHint(context);
    return result;
}

CommandResult pinStatusCommand(Context& context) {
    CardAccess access;
    const ReaderEntry& reader = access.chooseReader(context.options.reader);
    auto card = access.openCard(reader);
    // Without the token's flags there is no PIN state to tell: "usable" would be a guess.
    if (const CK_RV rv = card->refreshTokenInfo(); rv != CKR_OK || card->label.empty()) {
        if (exitCodeForReturnValue(rv, kExitFailure) == kExitNoCard)
            throw CliError(kExitNoCard, "the card left the reader \"" + reader.name + "\" while it was read");
        throw CliError(kExitFailure, "the PIN state of the card in \"" + reader.name + "\" could not be read" +
                                         (rv != CKR_OK ? " (C_GetTokenInfo: " + pkcs11ReturnName(rv) + ")" : ""));
    }
    const CardLockState lock = cardLockState(card->tokenInfo.flags);
    CommandResult result;
    result.data["reader"] = reader.name;
    result.data["card"] = card->label;
    result.data["pin"] = lockJson(lock);
    context << "Card " << card->label << " in " << reader.name << "\n  PIN: " << lockStateText(lock) << "\n";
    if (lock.blocked) {
        result.code = kExitCardBlocked;
        result.message = lock.definitivelyBlocked ? "the card is blocked for good" : "the card is blocked";
    }
    return result;
}

CommandResult servicesTestCommand(Context& context) {
    ServiceReportRecorder recorder;
    CardAccess access(&recorder);
    const ReaderEntry reader = access.chooseReader(context.options.reader);
    // A reader with a keypad takes the PIN itself: it is never read here, from a descriptor or the
    // terminal, and the library is handed none.
    const std::optional<PinPadFeatures> keypad = readerKeypad(reader.name);
    const bool onKeypad = keypad && keypad->canVerify();
    SecretBytes pin;
    if (onKeypad) {
        std::cerr << "qel: type the PIN on the keypad of the reader \"" << reader.name << "\""
                  << (context.options.pinFd >= 0 ? " (--pin-fd is not read for a keypad reader)" : "") << "\n";
    } else {
        pin = readPin(PinSource{context.options.pinFd});
    }

    ServicesTest test(access.library(), recorder);
    test.prepare();
    const std::string date = servicesTestDate(context.now());
    std::string report =
        servicesReportHeader(context.version, date) + servicesSectionTitle(servicesteps::kInitialisation);
    context << report;
    // Human output follows the test step by step, as the window does.
    const ServicesTestOutcome outcome = test.run(
        reader.slotId, pin, [&](const std::string& lines, int, const char* nextStep, const std::string& title) {
            const std::string text = lines + (nextStep ? title : std::string());
            report += text;
            context << text;
            context.out.flush();
        });
    pin.clear();
    context << "\n";

    CommandResult result;
    result.data["reader"] = reader.name;
    result.data["date"] = date;
    result.data["login"] = outcome.login ? pkcs11ReturnName(*outcome.login) : "";
    result.data["failedCalls"] = outcome.failedCalls;
    result.data["keypad"] = onKeypad;
    result.data["report"] = report;
    if (outcome.login) setLoginFailure(*outcome.login, result);
    if (result.code == kExitWrongPin && outcome.card) {
        outcome.card->refreshTokenInfo();
        if (cardLockState(outcome.card->tokenInfo.flags).pinFinalTry)
            result.message += "; last try before the card blocks";
    }
    if (result.code == kExitOk) {
        for (const std::string& call : outcome.failedCalls) {
            if (result.message.empty()) result.message = "the services test found failing calls:";
            result.message += " " + call;
            result.code = kExitServiceFailure;
        }
    }
    return result;
}

}  // namespace qel::cli
