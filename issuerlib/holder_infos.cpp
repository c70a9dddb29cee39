#include "issuerlib/holder_infos.h"

#include <algorithm>
#include <cctype>

#include "common/logger.h"
#include "issuerlib/code_labels.h"
#include "issuerlib/qel_tlv.h"

namespace qel {
namespace {

constexpr std::size_t kFirstContainer = 1;

// A code the table lacks is shown as it stands rather than as nothing, so that the holder and the
// support team still see what the card says.
std::string labelOrCode(const LabelTable& table, const std::string& code) {
    if (code.empty()) return {};
    return lookupLabel(table, code).value_or(code);
}

const QELTLVOctetString* firstContainerField(const QELTLVSequence& top, QELTLVTAG tag) {
    if (top.seqList.empty()) return nullptr;
    for (const auto& object : top.seqList.front().objectList) {
        if (object.type == tag) return object.value ? &object : nullptr;
    }
    return nullptr;
}

}  // namespace

void HolderInfos::decodeQelIdCard(const Bytes& data) {
    QELTLVSequence top = parseTLV(data);
    idEmeteur = getBcdString(top, QELTLVTAG::TAG_QEL_80, kFirstContainer);
    idCarte = getBcdString(top, QELTLVTAG::TAG_QEL_81, kFirstContainer);
    if (const auto* category = firstContainerField(top, QELTLVTAG::TAG_QEL_82); category && !category->value->empty()) {
        isTestCard = (category->value->front() & 0x80) != 0;
        logDebug(isTestCard ? "Catégorie Carte : QEL de TEST" : "Catégorie Carte : QEL");
    }
    debutValidite = toDisplayDate(getBcdString(top, QELTLVTAG::TAG_QEL_83, kFirstContainer));
    finValidite = toDisplayDate(getBcdString(top, QELTLVTAG::TAG_QEL_84, kFirstContainer));
}

void HolderInfos::decodeQelNameData(const Bytes& data) {
    QELTLVSequence top = parseTLV(data);
    civilite = labelOrCode(civilityLabels(), getHexString(top, QELTLVTAG::TAG_QEL_80, kFirstContainer));
    nomPatronym = getString(top, QELTLVTAG::TAG_QEL_81, kFirstContainer);
    nomMarital = getString(top, QELTLVTAG::TAG_QEL_82, kFirstContainer);
    if (const auto* names = firstContainerField(top, QELTLVTAG::TAG_QEL_83)) {
        const Bytes& value = *names->value;
        auto pieceStart = value.begin();
        while (pieceStart != value.end()) {
            auto pieceEnd = std::find(pieceStart, value.end(), 0xFF);
            if (pieceEnd != pieceStart) {
                prenoms.push_back(asciiText(&*pieceStart, static_cast<std::size_t>(pieceEnd - pieceStart)));
            }
            pieceStart = pieceEnd == value.end() ? pieceEnd : pieceEnd + 1;
        }
    }
    prenomUsuel = getString(top, QELTLVTAG::TAG_QEL_84, kFirstContainer);
}

void HolderInfos::decodeQelInfoPS(const Bytes& data) {
    QELTLVSequence top = parseTLV(data);
    codeTypeCarte = getHexString(top, QELTLVTAG::TAG_QEL_80, kFirstContainer).substr(0, 2);
    std::transform(codeTypeCarte.begin(), codeTypeCarte.end(), codeTypeCarte.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (!codeTypeCarte.empty()) typeCarte = labelOrCode(cardTypeLabels(), codeTypeCarte);
    identifiant = getString(top, QELTLVTAG::TAG_QEL_81, kFirstContainer);
    codeProf = getHexString(top, QELTLVTAG::TAG_QEL_82, kFirstContainer);
    if (!codeProf.empty()) profession = labelOrCode(professionLabels(), codeProf);
    codeMetier = getHexString(top, QELTLVTAG::TAG_QEL_83, kFirstContainer);
    if (!codeMetier.empty()) metier = labelOrCode(professionLabels(), codeMetier);
    nomExercice = getString(top, QELTLVTAG::TAG_QEL_84, kFirstContainer);
}

}  // namespace qel
