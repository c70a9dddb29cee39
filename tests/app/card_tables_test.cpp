#include <gtest/gtest.h>

#include "management/card_tables.h"
#include "app/pin_fields.h"

namespace qel::test {
namespace {

TEST(CardTables, ProfessionKeyPictureAndColour) {
    struct Case {
        const char* cardType;
        const char* prof;
        const char* metier;
        const char* picture;
        const char* colour;
    };
    const Case cases[] = {
        {"00", "10", "", "top-card-medecin", "medecin"}, {"00", "21", "", "top-card-pharma", "pharma"},
        {"01", "", "21", "top-card-Fpharma", "Fpharma"}, {"01", "", "10", "top-card-Fmed", "Fmed"},
        {"01", "", "60", "top-card-empty", "empty"},  // no student picture for nurses
        {"02", "", "", "top-card-etabli", "etabli"},     {"00", "99", "", "top-card-empty", "empty"},
        {"07", "", "", "top-card-empty", "empty"},       {"", "", "", "top-card-empty", "empty"},
    };
    for (const auto& c : cases) {
        HolderInfos h;
        h.codeTypeCarte = c.cardType;
        h.codeProf = c.prof;
        h.codeMetier = c.metier;
        const std::string key = professionKey(h);
        EXPECT_EQ(cardPicture(key), c.picture) << c.cardType << "/" << c.prof << "/" << c.metier;
        EXPECT_EQ(jobColour(key), c.colour) << c.cardType << "/" << c.prof << "/" << c.metier;
    }
    EXPECT_EQ(cardPicture("00"), "top-card-empty");
    EXPECT_EQ(jobColour("99"), "empty");
}

TEST(CardTables, CardDatesParseOnlyRealDates) {
    EXPECT_TRUE(parseCardDate("29/02/2024"));
    const char* bad[] = {"",           "31/02/2024", "29/02/2023", "1/01/2024",  "01-01-2024",
                         "aa/bb/cccc", "00/01/2024", "01/13/2024", "01/01/2024 "};
    for (const char* text : bad) EXPECT_FALSE(parseCardDate(text)) << text;
    const auto now = std::chrono::system_clock::now();
    EXPECT_FALSE(expiresAfter("garbage", now));
    EXPECT_FALSE(expiresAfter("01/01/2000", now));
    EXPECT_TRUE(expiresAfter("01/01/2999", now));
    EXPECT_TRUE(expiresAfter("31/12/9999", now));
    EXPECT_FALSE(expiresAfter("01/01/0001", now));
}

TEST(CardTables, TrimsControlCharactersAtBothEnds) {
    EXPECT_EQ(trimControlCharacters(std::string("Virtual PCD 00 00\0", 18)), "Virtual PCD 00 00");
    EXPECT_EQ(trimControlCharacters("\t\n Reader \r"), " Reader ");
    EXPECT_EQ(trimControlCharacters(std::string("\0\0", 2)), "");
}

TEST(PinFields, KeystrokeFilterKeepsDigitsUpToTheLength) {
    struct Case {
        const char* typed;
        std::size_t max;
        const char* kept;
    };
    const Case cases[] = {{"123", 4, "123"}, {"12a", 4, "12"},   {"12345", 4, "1234"},         {"", 4, ""},
                          {"1é", 4, "1"},    {"12a4", 4, "124"}, {"123456789", 8, "12345678"}, {"１２", 4, ""}};
    for (const auto& c : cases) EXPECT_EQ(filteredCode(c.typed, c.max), c.kept) << c.typed;
}

}  // namespace
}  // namespace qel::test
