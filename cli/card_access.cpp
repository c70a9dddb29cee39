#include "cli/card_access.h"

#include "management/card_tables.h"
#include "cli/cli_error.h"
#include "common/format.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_error.h"
#include "issuerlib/pkcs11_slot.h"

namespace qel::cli {
namespace {

std::string readerList(const std::vector<ReaderEntry>& readers) {
    std::string list;
    for (const ReaderEntry& reader : readers) list += (list.empty() ? "" : ", ") + ("\"" + reader.name + "\"");
    return list;
}

const char* const kNoReaderMessage = "no card reader found (is the smart-card service pcscd running?)";

}  // namespace

CardAccess::CardAccess(ServiceReportRecorder* recorder) : library_(configuredPkcs11LibraryPath(), recorder) {
    if (!library_.isLoaded())
        throw CliError(kExitLibraryUnavailable,
                       "cannot load the issuer PKCS#11 library " + library_.path() + ": " + library_.loadError());
    const CK_RV rv = library_.initialize();
    if (rv != CKR_OK)
        throw CliError(kExitLibraryUnavailable, format("the issuer PKCS#11 library refused to start (C_Initialize: %s)",
                                                       pkcs11ReturnName(rv).c_str()));
    std::vector<CK_SLOT_ID> ids;
    if (library_.getSlotList(ids) != CKR_OK) return;
    for (CK_SLOT_ID id : ids) {
        Pkcs11Slot slot(library_, id);
        if (slot.refreshSlot() != CKR_OK) continue;
        readers_.push_back(ReaderEntry{id, trimControlCharacters(slot.name), slot.cardPresent});
    }
}

const ReaderEntry* CardAccess::findReader(const std::string& wanted) const {
    if (readers_.empty()) throw CliError(kExitNoReader, kNoReaderMessage);
    for (const ReaderEntry& reader : readers_) {
        if (wanted.empty() ? reader.cardPresent : reader.name == wanted) return &reader;
    }
    if (!wanted.empty())
        throw CliError(kExitNoReader, "no reader named \"" + wanted + "\"; the readers are " + readerList(readers_));
    return nullptr;
}

const ReaderEntry& CardAccess::chooseReader(const std::string& wanted) const {
    const ReaderEntry* reader = findReader(wanted);
    if (!reader) throw CliError(kExitNoCard, "no card in the readers " + readerList(readers_));
    if (!reader->cardPresent) throw CliError(kExitNoCard, "no card in the reader \"" + reader->name + "\"");
    return *reader;
}

std::shared_ptr<Pkcs11Card> CardAccess::openCard(const ReaderEntry& reader) {
    return std::make_shared<Pkcs11Card>(library_, reader.slotId, false);
}

}  // namespace qel::cli
