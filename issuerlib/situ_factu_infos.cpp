#include "issuerlib/situ_factu_infos.h"

#include "common/logger.h"
#include "issuerlib/code_labels.h"
#include "issuerlib/qel_tlv.h"

namespace qel {
namespace {

constexpr std::size_t kFirstContainer = 1;
const char* const kNotDefined = "Non défini";

// Part of a code text, empty when the text is too short to hold it.
std::string part(const std::string& text, std::size_t position, std::size_t count) {
    if (position + count > text.size()) return {};
    return text.substr(position, count);
}

// The last `count` characters of a code text, empty when the text is shorter.
std::string lastCharacters(const std::string& text, std::size_t count) {
    if (text.size() < count) return {};
    return text.substr(text.size() - count);
}

std::string labelOr(const LabelTable& table, const std::string& code, const char* fallback) {
    return lookupLabel(table, code).value_or(fallback);
}

// The situation number of a billing block: decimal digits only; nothing otherwise.
std::optional<std::size_t> situationNumber(const std::string& text) {
    if (text.empty() || text.size() > 6) return std::nullopt;
    std::size_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    return n;
}

}  // namespace

bool permissionFlag(char c) { return (c >= '1' && c <= '9') || c == 'Y' || c == 'y' || c == 'T' || c == 't'; }

std::string agreementText(const std::string& codes) {
    const LabelTable& table = agreementLabels();
    const std::string none = table.at("00");
    const std::string undefined = table.at("99");
    auto ends = [&](const std::string& label) { return label == none || label == undefined; };

    const std::string a = lookupLabel(table, part(codes, 0, 2)).value_or(kNotDefined);
    if (ends(a)) return a;
    // A code the table lacks keeps its (empty) place in the list: only "00" and "99" end it.
    const std::string b = lookupLabel(table, part(codes, 2, 2)).value_or("");
    if (ends(b)) return a;
    const std::string c = lookupLabel(table, lastCharacters(codes, 2)).value_or("");
    if (ends(c)) return a + ", " + b;
    return a + ", " + b + ", " + c;
}

void SituFactuInfos::decodeQelActivity(const Bytes& data) {
    QELTLVSequence top = parseTLV(data);
    SituFactuStruct situation;
    situation.modeExercice = labelOr(practiceModeLabels(), getHexString(top, QELTLVTAG::TAG_QEL_80, kFirstContainer),
                                     "Mode d'exercice non défini");

    std::string section = getString(top, QELTLVTAG::TAG_QEL_82, kFirstContainer);
    if (section != kNotDefined) situation.tableauPharma = labelOr(pharmacistSectionLabels(), section, "");

    situation.raisonSociale = getString(top, QELTLVTAG::TAG_QEL_84, kFirstContainer);

    std::string structureId = getString(top, QELTLVTAG::TAG_QEL_85, kFirstContainer);
    std::string type = labelOr(structureIdTypeLabels(), part(structureId, 0, 1), kNotDefined);
    situation.identifiantSitu = type != kNotDefined ? type + " " + structureId.substr(1) : kNotDefined;

    situation.secteurActivite =
        labelOr(activitySectorLabels(), getString(top, QELTLVTAG::TAG_QEL_86, kFirstContainer), kNotDefined);

    situFactuTab.push_back(std::move(situation));
}

void SituFactuInfos::decodeQelSitFact(const Bytes& data) {
    QELTLVSequence top = parseTLV(data);
    if (top.seqList.empty()) return;
    const QELTLVSequence& blocks = top.seqList.front();
    for (std::size_t i = 1; i <= blocks.seqList.size(); ++i) {
        auto n = situationNumber(getBcdString(blocks, QELTLVTAG::TAG_QEL_80, i));
        if (!n || *n > situFactuTab.size()) return;
        // Situations count from 1: a block naming 0 belongs to none of them.
        if (*n == 0) continue;
        SituFactuStruct& situation = situFactuTab[*n - 1];
        situation.hasFactu = true;
        situation.identifiantFactu = getBcdString(blocks, QELTLVTAG::TAG_QEL_81, i);

        std::string s = getBcdString(blocks, QELTLVTAG::TAG_QEL_82, i);
        situation.specialite = labelOr(specialityLabels(), part(s, 0, 2), "Non définie");
        situation.convention = labelOr(conventionLabels(), part(s, 2, 1), "Etablissement ou Centre de Santé");
        situation.zoneTarifaire = labelOr(tariffZoneLabels(), part(s, 3, 2), "Zone tarifaire non définie");
        situation.indemKilometre =
            labelOr(mileageLabels(), lastCharacters(s, 1), "Indemnités kilométriques non définies");

        situation.agrement = agreementText(getBcdString(blocks, QELTLVTAG::TAG_QEL_83, i));

        std::string u = getBcdString(blocks, QELTLVTAG::TAG_QEL_84, i);
        situation.permissionFSE = !u.empty() && permissionFlag(u.front());
        situation.permissionLot = !u.empty() && permissionFlag(u.back());
    }
}

}  // namespace qel
