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
    /// Back to a card that was never used (full tries, the profile's PIN, no written file, the
    /// profile's hostile rules), then power-on. A card kept in a folder saves that state there.
    virtual void restoreFreshState() = 0;
};

/// As loadCardModel, with the richer interface.
std::unique_ptr<QelCardModel> loadQelCardModel(const std::string& profileDir, ReaderKind kind);

/// A profile folder read once (profile, keys, certificates), from which fresh cards are made
/// without going back to the folder: for fuzzing and benchmarks, which need a new card per run.
/// Each card starts from the profile's fresh state, not from a state saved in the folder, and keeps
/// its changes in memory only.
class QelCardBlueprint {
public:
    /// Throws std::runtime_error naming the folder when the profile, a key or a certificate is
    /// missing or malformed.
    explicit QelCardBlueprint(const std::string& profileDir);
    QelCardBlueprint(QelCardBlueprint&&) noexcept;
    ~QelCardBlueprint();

    std::unique_ptr<QelCardModel> makeCard(ReaderKind kind) const;
    const Profile& profile() const;

private:
    struct Loaded;
    std::unique_ptr<Loaded> loaded_;
};

}  // namespace qel::sim
