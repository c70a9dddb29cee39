#pragma once
#include <memory>
#include <string>
#include <vector>

#include "sim/card/card_model.h"
#include "sim/card/hostile.h"
#include "sim/card/profile.h"

namespace qel::sim {

/// The ATRs the virtual card presents.
Bytes qel3ContactAtr();
Bytes qel3ContactlessAtr();
Bytes qel4ContactAtr();
Bytes qel4ContactlessAtr();

/// A virtual QEL card loaded from a profile folder, with the controls tests need besides the
/// reader-facing interface. Not thread-safe: one caller at a time, as with a real card.
class QelCardModel : public CardModel {
  public:
    /// Replaces the hostile rules (those of the profile until then); an empty list makes the card
    /// behave again.
    virtual void setHostileRules(std::vector<HostileRule> rules) = 0;
    virtual const Profile& profile() const = 0;
    virtual ReaderKind readerKind() const = 0;
    /// The persistent state as it stands (PIN tries, written files...).
    virtual const CardState& state() const = 0;
};

/// As loadCardModel, with the richer interface.
std::unique_ptr<QelCardModel> loadQelCardModel(const std::string& profileDir, ReaderKind kind);

}  // namespace qel::sim
