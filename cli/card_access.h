#pragma once
#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>
#include <vector>

#include "issuerlib/pkcs11_library.h"

namespace qel {
class Pkcs11Card;
class ServiceReportRecorder;
}  // namespace qel

namespace qel::cli {

/// One reader as the issuer library lists it.
struct ReaderEntry {
    CK_SLOT_ID slotId = 0;
    /// Without the surrounding control characters the library's descriptions may carry.
    std::string name;
    bool cardPresent = false;
};

/// The issuer library, loaded and initialised as the main window does it, and the readers it
/// lists. Throws CliError: kExitLibraryUnavailable when the library cannot be loaded or refuses
/// `C_Initialize`. Finalised when destroyed.
class CardAccess {
public:
    explicit CardAccess(ServiceReportRecorder* recorder = nullptr);

    /// The readers in the library's order; empty when there is none (or no smart-card service).
    const std::vector<ReaderEntry>& readers() const { return readers_; }

    /// The reader named `wanted`, or, when empty, the first reader that holds a card. Throws
    /// CliError kExitNoReader (no reader, or none with that name) or kExitNoCard.
    const ReaderEntry& chooseReader(const std::string& wanted) const;

    /// As `chooseReader`, but without a card the reader is returned all the same (nothing when
    /// `wanted` is empty and no reader holds a card). Throws kExitNoReader.
    const ReaderEntry* findReader(const std::string& wanted) const;

    /// Opens the card of a reader that holds one, as the main window reads it.
    std::shared_ptr<Pkcs11Card> openCard(const ReaderEntry& reader);

    Pkcs11Library& library() { return library_; }

private:
    Pkcs11Library library_;
    std::vector<ReaderEntry> readers_;
};

}  // namespace qel::cli
