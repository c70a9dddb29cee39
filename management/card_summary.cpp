#include "management/card_summary.h"

#include "management/card_tables.h"

namespace qel {

CardLockState cardLockState(CK_FLAGS tokenFlags) {
    CardLockState state;
    state.definitivelyBlocked = (tokenFlags & CKF_SO_PIN_LOCKED) != 0;
    state.blocked = (tokenFlags & CKF_USER_PIN_LOCKED) != 0 || state.definitivelyBlocked;
    state.pinFinalTry = (tokenFlags & CKF_USER_PIN_FINAL_TRY) != 0;
    state.pinCountLow = (tokenFlags & CKF_USER_PIN_COUNT_LOW) != 0;
    state.pukFinalTry = (tokenFlags & CKF_SO_PIN_FINAL_TRY) != 0;
    return state;
}

HolderSummary holderSummary(const HolderInfos& holder, std::chrono::system_clock::time_point now) {
    HolderSummary summary;
    summary.name = holder.nomPatronym + " " + holder.prenomUsuel;
    summary.job = holder.profession.empty() ? holder.metier : holder.profession;
    summary.identifier = holder.identifiant;
    summary.cardNumber = holder.idCarte;
    summary.validFrom = holder.debutValidite;
    summary.validUntil = holder.finValidite;
    summary.valid = expiresAfter(holder.finValidite, now);
    summary.expiryText = summary.valid ? "Expire le " + holder.finValidite : "Carte expirée";
    summary.isTestCard = holder.isTestCard;
    summary.professionKey = professionKey(holder);
    return summary;
}

}  // namespace qel
