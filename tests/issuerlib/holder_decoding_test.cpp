#include <gtest/gtest.h>

#include "issuerlib/code_labels.h"
#include "issuerlib/holder_infos.h"
#include "issuerlib/situ_factu_infos.h"
#include "tests/support/card_records.h"

namespace qel {
namespace {

using test::billing;
using test::billingBlock;
using test::bytesOf;
using test::concat;
using test::tlv;

TEST(HolderDecoding, CardIdentity) {
    HolderInfos infos;
    infos.decodeQelIdCard(test::sampleIdCard(0x80));
    EXPECT_EQ(infos.idEmeteur, "8025000001");
    EXPECT_EQ(infos.idCarte, "1234567890");
    EXPECT_TRUE(infos.isTestCard);
    EXPECT_EQ(infos.debutValidite, "15/01/2020");
    EXPECT_EQ(infos.finValidite, "31/12/2024");

    infos.decodeQelIdCard(test::sampleIdCard(0x00));
    EXPECT_FALSE(infos.isTestCard);
    infos.decodeQelIdCard(test::sampleIdCard(0x7F));
    EXPECT_FALSE(infos.isTestCard);
}

TEST(HolderDecoding, TestFlagUntouchedWithoutItsFieldAndBadDatesEmpty) {
    HolderInfos infos;
    infos.isTestCard = true;
    infos.decodeQelIdCard(
        tlv(0xE3, concat({tlv(0x82, {}), tlv(0x83, {0x20, 0x24, 0x02, 0x30}), tlv(0x84, {0x20, 0x24, 0x1F, 0xFF})})));
    EXPECT_TRUE(infos.isTestCard);
    EXPECT_EQ(infos.debutValidite, "");
    EXPECT_EQ(infos.finValidite, "");
    EXPECT_EQ(infos.idEmeteur, "");
}

TEST(HolderDecoding, NameWithFirstNamesSplitAtFiller) {
    HolderInfos infos;
    infos.decodeQelNameData(test::sampleName());
    EXPECT_EQ(infos.civilite, "Monsieur");
    EXPECT_EQ(infos.nomPatronym, "DUPONT");
    EXPECT_EQ(infos.nomMarital, "MARTIN");
    EXPECT_EQ(infos.prenomUsuel, "JEAN");
    EXPECT_EQ(infos.prenoms, (std::vector<std::string>{"JEAN", "PAUL"}));
}

TEST(HolderDecoding, FirstNameEdgeShapes) {
    const std::pair<Bytes, std::vector<std::string>> cases[] = {
        {{0xFF, 0xFF}, {}},
        {{}, {}},
        {bytesOf("ANNE"), {"ANNE"}},
        {concat({{0xFF}, bytesOf("A"), {0xFF, 0xFF, 0xFF}, bytesOf("B")}), {"A", "B"}},
    };
    for (const auto& [value, expected] : cases) {
        HolderInfos infos;
        infos.decodeQelNameData(tlv(0xE4, tlv(0x83, value)));
        EXPECT_EQ(infos.prenoms, expected);
    }
}

TEST(HolderDecoding, MissingNameFieldsAndUnknownCivility) {
    HolderInfos infos;
    infos.decodeQelNameData(tlv(0xE4, tlv(0x80, {0x63})));
    EXPECT_EQ(infos.civilite, "99");  // shown as the card has it
    EXPECT_EQ(infos.nomPatronym, "Non défini");
    EXPECT_EQ(infos.prenomUsuel, "Non défini");
    EXPECT_TRUE(infos.prenoms.empty());

    HolderInfos none;
    none.decodeQelNameData(tlv(0xE4, {}));
    EXPECT_EQ(none.civilite, "");
}

TEST(HolderDecoding, InformationWithProfessionAndMetier) {
    HolderInfos infos;
    infos.decodeQelInfoPS(test::sampleInfo());
    EXPECT_EQ(infos.codeTypeCarte, "00");
    EXPECT_EQ(infos.typeCarte, "Carte de professionnel de santé");
    EXPECT_EQ(infos.identifiant, "810001234567");
    EXPECT_EQ(infos.codeProf, "10");
    EXPECT_EQ(infos.profession, "Médecin");
    EXPECT_EQ(infos.codeMetier, "21");
    EXPECT_EQ(infos.metier, "Pharmacien");
    EXPECT_EQ(infos.nomExercice, "DR DUPONT");
    EXPECT_EQ(infos.Langue, "");
    EXPECT_EQ(infos.idNatPS, "");
}

TEST(HolderDecoding, InformationUnknownAndMissingCodes) {
    HolderInfos infos;
    infos.decodeQelInfoPS(tlv(0xED, concat({tlv(0x80, {0x09, 0x01}), tlv(0x82, {0x0B})})));
    EXPECT_EQ(infos.codeTypeCarte, "09");  // first two characters of "0901"
    EXPECT_EQ(infos.typeCarte, "09");
    EXPECT_EQ(infos.codeProf, "11");
    EXPECT_EQ(infos.profession, "11");
    EXPECT_EQ(infos.codeMetier, "");
    EXPECT_EQ(infos.metier, "");
    EXPECT_EQ(infos.identifiant, "Non défini");
}

TEST(SituationDecoding, ActivityFields) {
    SituFactuInfos infos;
    infos.decodeQelActivity(test::sampleActivity());
    infos.decodeQelActivity(test::sampleActivity(0x07, "9XYZ", "SA99"));
    infos.decodeQelActivity(tlv(0xEE, tlv(0x80, {0x02})));
    ASSERT_EQ(infos.situFactuTab.size(), 3u);

    const auto& first = infos.situFactuTab[0];
    EXPECT_FALSE(first.hasFactu);
    EXPECT_EQ(first.modeExercice, "Libéral, exploitant ou commerçant");
    EXPECT_EQ(first.tableauPharma, "Pharmacien adjoint officine");
    EXPECT_EQ(first.raisonSociale, "CABINET DUPONT");
    EXPECT_EQ(first.identifiantSitu, "FINESS 123456789");
    EXPECT_EQ(first.secteurActivite, "Cabinet individuel");

    const auto& second = infos.situFactuTab[1];
    EXPECT_EQ(second.modeExercice, "Non rétribué");
    EXPECT_EQ(second.identifiantSitu, "Non défini");
    EXPECT_EQ(second.secteurActivite, "Non défini");

    const auto& bare = infos.situFactuTab[2];
    EXPECT_EQ(bare.modeExercice, "Mode d'exercice non défini");
    EXPECT_EQ(bare.tableauPharma, "");
    EXPECT_EQ(bare.raisonSociale, "Non défini");
    EXPECT_EQ(bare.identifiantSitu, "Non défini");
}

SituFactuInfos threeSituations() {
    SituFactuInfos infos;
    for (int i = 0; i < 3; ++i) infos.decodeQelActivity(test::sampleActivity());
    return infos;
}

TEST(SituationDecoding, BillingBlockCompletesItsSituation) {
    SituFactuInfos infos = threeSituations();
    infos.decodeQelSitFact(billing({billingBlock(0x02)}));
    EXPECT_FALSE(infos.situFactuTab[0].hasFactu);
    const auto& s = infos.situFactuTab[1];
    EXPECT_TRUE(s.hasFactu);
    EXPECT_EQ(s.identifiantFactu, "12345678");
    EXPECT_EQ(s.specialite, "Médecine générale");
    EXPECT_EQ(s.convention, "Conventionné avec honoraires libres");
    EXPECT_EQ(s.zoneTarifaire, "Zone A");
    EXPECT_EQ(s.indemKilometre, "Indemnités kilométriques non définies");
    EXPECT_EQ(s.agrement, "A, B, C, E, F, G, H, J, K");
    EXPECT_TRUE(s.permissionFSE);
    EXPECT_FALSE(s.permissionLot);
}

TEST(SituationDecoding, BillingFallbacksForUnknownCodes) {
    SituFactuInfos infos = threeSituations();
    infos.decodeQelSitFact(billing({billingBlock(0x01, {0x52, 0x51, 0x27}, {0x42}, {0xF0})}));
    const auto& s = infos.situFactuTab[0];
    EXPECT_EQ(s.specialite, "Non définie");
    EXPECT_EQ(s.convention, "Etablissement ou Centre de Santé");
    EXPECT_EQ(s.zoneTarifaire, "Zone tarifaire non définie");
    EXPECT_EQ(s.indemKilometre, "Indemnités kilométriques non définies");
    EXPECT_EQ(s.agrement, "Non défini, , ");
    EXPECT_FALSE(s.permissionFSE);  // "?"
    EXPECT_FALSE(s.permissionLot);  // "0"
}

TEST(SituationDecoding, ShortSpecialityTextsStillGiveTheMileageFromTheLastCharacter) {
    SituFactuInfos infos = threeSituations();
    infos.decodeQelSitFact(
        billing({billingBlock(0x01, {0x01, 0x32}), billingBlock(0x02, {0x01}), billingBlock(0x03, {})}));
    EXPECT_EQ(infos.situFactuTab[0].specialite, "Médecine générale");
    EXPECT_EQ(infos.situFactuTab[0].zoneTarifaire, "Zone tarifaire non définie");
    EXPECT_EQ(infos.situFactuTab[0].indemKilometre, "Indemnités kilométriques montagne");
    EXPECT_EQ(infos.situFactuTab[1].indemKilometre, "Indemnités kilométriques plaine");
    EXPECT_EQ(infos.situFactuTab[2].indemKilometre, "Indemnités kilométriques non définies");
}

TEST(SituationDecoding, AgreementCombinations) {
    const std::pair<const char*, const char*> cases[] = {
        {"020304", "A, B, C, E, F, G, H, J, K"},
        {"029999", "A, B, C, E, F"},
        {"990000", "Agrément non défini"},
        {"000102", "Aucun"},
        {"010500", "D ou DDASS, L"},
        {"010599", "D ou DDASS, L"},
        {"0106", "D ou DDASS, M, M"},   // the third code is the last two characters, even here
        {"010642", "D ou DDASS, M, "},  // an unknown code keeps its empty place
        {"014206", "D ou DDASS, , M"},
        {"4299", "Non défini"},
        {"42", "Non défini, , "},
        {"4", "Non défini, , "},
        {"", "Non défini, , "},
    };
    for (const auto& [codes, expected] : cases) EXPECT_EQ(agreementText(codes), expected) << codes;
}

TEST(SituationDecoding, PermissionCharacters) {
    for (char c : std::string("123456789YyTt")) EXPECT_TRUE(permissionFlag(c)) << c;
    for (char c : std::string("0?NnFf :")) EXPECT_FALSE(permissionFlag(c)) << c;
}

TEST(SituationDecoding, BlockNamingMissingSituationEndsDecoding) {
    SituFactuInfos infos = threeSituations();
    infos.decodeQelSitFact(billing({billingBlock(0x01), billingBlock(0x05), billingBlock(0x03)}));
    EXPECT_TRUE(infos.situFactuTab[0].hasFactu);
    EXPECT_FALSE(infos.situFactuTab[2].hasFactu);
}

TEST(SituationDecoding, BlockNumbersThatAreNotUsable) {
    SituFactuInfos infos = threeSituations();
    // Situation 0 is skipped; a number that is not a number ends the decoding.
    infos.decodeQelSitFact(billing({billingBlock(0x00), billingBlock(0x03), billingBlock(0x1F), billingBlock(0x01)}));
    EXPECT_TRUE(infos.situFactuTab[2].hasFactu);
    EXPECT_FALSE(infos.situFactuTab[0].hasFactu);
}

TEST(SituationDecoding, HostileBillingLeavesSituationsIntact) {
    const Bytes cases[] = {
        {},
        {0xE0},
        {0xE0, 0x80, 0x00},
        tlv(0xE0, {}),
        tlv(0xE0, tlv(0xA0, {})),                       // block without a number
        tlv(0xE0, tlv(0xA0, tlv(0x80, {0x01, 0x00}))),  // "0100": larger than the situations
        tlv(0xE0, tlv(0xA0, tlv(0x80, Bytes(4000, 0x00)))),
    };
    for (const auto& data : cases) {
        SituFactuInfos infos = threeSituations();
        infos.decodeQelSitFact(data);
        ASSERT_EQ(infos.situFactuTab.size(), 3u);
        for (const auto& s : infos.situFactuTab) EXPECT_FALSE(s.hasFactu);
    }
}

TEST(SituationDecoding, TruncatedBlockKeepsEarlierBlocks) {
    SituFactuInfos infos = threeSituations();
    Bytes data = billing({billingBlock(0x01), billingBlock(0x02)});
    data.resize(data.size() - 3);
    data[1] = static_cast<std::uint8_t>(data.size() - 2);
    infos.decodeQelSitFact(data);
    EXPECT_TRUE(infos.situFactuTab[0].hasFactu);
    EXPECT_FALSE(infos.situFactuTab[1].hasFactu);
}

TEST(CodeLabels, TablesAsListed) {
    const std::pair<const LabelTable*, std::size_t> sizes[] = {
        {&civilityLabels(), 3},
        {&cardTypeLabels(), 4},
        {&professionLabels(), 22},
        {&practiceModeLabels(), 4},
        {&pharmacistSectionLabels(), 17},
        {&structureIdTypeLabels(), 5},
        {&activitySectorLabels(), 59},
        {&specialityLabels(), 63},
        {&conventionLabels(), 5},
        {&tariffZoneLabels(), 24},
        {&mileageLabels(), 5},
        {&agreementLabels(), 8},
    };
    for (const auto& [table, rows] : sizes) EXPECT_EQ(table->size(), rows);

    for (const char* zone : {"10", "11", "31", "40", "81"}) EXPECT_EQ(*lookupLabel(tariffZoneLabels(), zone), "Zone A");
    EXPECT_EQ(lookupLabel(specialityLabels(), "1"), std::nullopt);
    EXPECT_EQ(lookupLabel(pharmacistSectionLabels(), "da"), std::nullopt);
    EXPECT_EQ(*lookupLabel(professionLabels(), "50"), "Sage - Femme");
    EXPECT_EQ(*lookupLabel(professionLabels(), "40"), "Chirurgien - Dentiste");
    EXPECT_EQ(*lookupLabel(specialityLabels(), "36"), "Chirurgie dentaire(spéc.O.D.F.)");
    EXPECT_EQ(*lookupLabel(activitySectorLabels(), "SA46"),
              "Fabrication, Exploitation, Importation, Répartition, Distribution médicaments et dispositifs "
              "médicaux");
    EXPECT_EQ(*lookupLabel(activitySectorLabels(), "SA59"), "Laboratoire de biologie médicale hors catégorie standard");
}

}  // namespace
}  // namespace qel
