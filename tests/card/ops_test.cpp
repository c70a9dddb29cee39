#include <gtest/gtest.h>

#include <optional>

#include "card/pin_pad.h"
#include "card/qel_card.h"
#include "card/qel_ops.h"
#include "card/status_words.h"
#include "fake_card.h"
#include "tests/support/token_code.h"

namespace qel {
namespace {

using test::hex;
using test::ScriptedCard;

std::string ff(std::size_t n, const char* byte = "AA") {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += byte;
    return s;
}

using test::tokenCode;

std::optional<CardError> tokenError(const std::function<void()>& f) {
    try {
        f();
    } catch (const CardError& e) {
        return e;
    }
    return std::nullopt;
}

// --- status words -------------------------------------------------------------------------------

TEST(StatusWords, SpecialCasesComeBeforeTheTable) {
    struct Case {
        std::uint16_t sw;
        CardStatus status;
        int tries;
    };
    const Case cases[] = {
        {0x9000, CardStatus::success, -1},      {0x63C0, CardStatus::triesLeft, 0},
        {0x63C3, CardStatus::triesLeft, 3},     {0x63CF, CardStatus::triesLeft, 15},
        {0x6983, CardStatus::blocked, -1},      {0x6982, CardStatus::securityStatusNotSatisfied, -1},
        {0x6A80, CardStatus::wrongData, -1},    {0x6A88, CardStatus::referenceNotFound, -1},
        {0x6A82, CardStatus::fileNotFound, -1}, {0x9404, CardStatus::gsmFileIdNotFound, -1},
        {0x63B0, CardStatus::other, -1},  // not a tries counter
        {0x6984, CardStatus::other, -1},        {0x0000, CardStatus::other, -1},
    };
    for (const Case& c : cases) {
        const StatusWordMeaning m = statusWordMeaning(c.sw);
        EXPECT_EQ(m.status, c.status) << std::hex << c.sw;
        EXPECT_EQ(m.triesLeft, c.tries) << std::hex << c.sw;
    }
}

// --- framing of SmartCard::send ---------------------------------------------------------------

TEST(SmartCardSend, ChainsLongDataAndFetchesRemaindersAndRetriesWrongLe) {
    ScriptedCard card;
    card.setCla(0x00);
    card.setUseCommandChaining(true);
    const std::string data = ff(255, "11") + ff(2, "22");
    card.expect("10 2A 80 86 FF" + ff(255, "11"), "9000")
        .expect("00 2A 80 86 02 2222 00", "AB 6102")
        .expect("00 C0 00 00 02", "CDEF 9000");
    CardResponse r = card.send(0x2A, 0x80, 0x86, hex(data), 256);
    EXPECT_EQ(r.sw, 0x9000);
    EXPECT_EQ(toHex(r.data), "ABCDEF");
    EXPECT_TRUE(card.done());

    ScriptedCard retry;
    retry.expect("00 B0 00 00 10", "6C04").expect("00 B0 00 00 04", "01020304 9000");
    r = retry.send(0xB0, 0, 0, {}, 16);
    EXPECT_EQ(toHex(r.data), "01020304");
    EXPECT_TRUE(retry.done());
}

TEST(SmartCardSend, RefusesLongDataWithoutChainingAndStopsAChainTheCardRefuses) {
    ScriptedCard card;
    card.setUseCommandChaining(false);
    EXPECT_EQ(card.send(0x2A, 0x80, 0x86, Bytes(256, 0x11), 0).sw, 0x6700);
    EXPECT_TRUE(card.sent.empty());

    ScriptedCard refusing;
    refusing.setUseCommandChaining(true);
    refusing.expect("10 2A 80 86 FF" + ff(255, "11"), "6A80");
    EXPECT_EQ(refusing.send(0x2A, 0x80, 0x86, Bytes(300, 0x11), 0).sw, 0x6A80);
    EXPECT_TRUE(refusing.done());
}

// --- READ BINARY ------------------------------------------------------------------------------

TEST(ReadBinary, ReadsInGenerationSizedChunks) {
    ScriptedCard qel3;
    qel3.expect("00 B0 00 00 E7", ff(231) + "9000")
        .expect("00 B0 00 E7 E7", ff(231) + "9000")
        .expect("00 B0 01 CE E7", ff(231) + "9000")
        .expect("00 B0 02 B5 07", ff(7) + "9000");
    QELOps ops3(qel3, QELType::QEL3);
    ReadResult r = ops3.readBinaryData(700);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data.size(), 700u);
    EXPECT_TRUE(qel3.done());

    ScriptedCard qel4;
    qel4.expect("01 B0 00 00 FF", ff(255) + "9000")
        .expect("01 B0 00 FF FF", ff(255) + "9000")
        .expect("01 B0 01 FE BE", ff(190) + "9000");
    QELOps ops4(qel4, QELType::QEL4);
    r = ops4.readBinaryData(700);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data.size(), 700u);
    EXPECT_TRUE(qel4.done());
}

TEST(ReadBinary, ShortAnswersAreReadOnFromWhereTheyEnded) {
    ScriptedCard card;
    card.expect("00 B0 00 00 E7", ff(100, "01") + "9000")
        .expect("00 B0 00 64 C8", ff(150, "02") + "9000")
        .expect("00 B0 00 FA 32", ff(60, "03") + "9000");  // more than asked: only 50 count
    QELOps ops(card, QELType::QEL3CL);
    ReadResult r = ops.readBinaryData(300);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data, hex(ff(100, "01") + ff(150, "02") + ff(50, "03")));
}

TEST(ReadBinary, RefusalsEmptyAnswersAndOversizedFilesFail) {
    test::LogCapture log;
    ScriptedCard refused;
    refused.expect("00 B0 00 00 0A", "6B00");
    EXPECT_FALSE(QELOps(refused, QELType::QEL3).readBinaryData(10).ok);
    EXPECT_TRUE(log.contains("QEL Card Operations : Read Binary - Failed to read file : result 0x6b00"));

    ScriptedCard empty;  // 9000 with no data would loop for ever
    empty.expect("00 B0 00 00 0A", "9000");
    EXPECT_FALSE(QELOps(empty, QELType::QEL3).readBinaryData(10).ok);
    EXPECT_TRUE(empty.done());

    ScriptedCard big;  // the last chunk would start past offset 65,535: nothing is sent
    EXPECT_FALSE(QELOps(big, QELType::QEL4).readBinaryData(70000).ok);
    EXPECT_TRUE(big.sent.empty());
}

TEST(ReadBinary, TransportFailureBecomesCommunicationError) {
    test::LogCapture log;
    ScriptedCard card;
    card.expect("00 B0 00 00 E7", ff(231) + "9000").expectThrow("00 B0 00 E7 13", TransportError::Kind::cardRemoved);
    QELOps ops(card, QELType::QEL3);
    try {
        ops.readBinaryData(250);
        FAIL() << "no error";
    } catch (const CardError& e) {
        EXPECT_EQ(e.code(), CardError::communicationError);
        EXPECT_TRUE(e.fromTransport());
        EXPECT_TRUE(e.cardRemoved());
    }
    EXPECT_TRUE(log.contains("QEL Card Operations : readBinary - An error occurred : card pulled out"));
}

// --- SELECT and file size -----------------------------------------------------------------------

TEST(Select, PathFormsPerGenerationAndOutcomes) {
    test::LogCapture log;
    QELFiles files;
    files.configure(QELType::QEL3);
    ScriptedCard qel3;
    qel3.expect("00 A4 09 04 06 3F00 0001 7002 00", "6204 8002 012C 9000");
    QELOps ops3(qel3, QELType::QEL3);
    SelectResult s = ops3.selectFile(files.prkd, false);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(ops3.fileSizeFromSelectResponse(s.response), 300);
    EXPECT_TRUE(log.contains("QEL Card Operations : Select path [3F0000017002] : result 0x9000"));
    EXPECT_TRUE(log.contains("QEL Card Operations : Path [3F0000017002] successfully selected"));

    files.configure(QELType::QEL4);
    ScriptedCard qel4;
    qel4.expect("01 A4 08 00 04 3F00 0001 00", "6A82")
        .expectThrow("01 A4 08 00 04 3F00 0001 00", TransportError::Kind::communication);
    QELOps ops4(qel4, QELType::QEL4);
    EXPECT_FALSE(ops4.selectFile(files.ef, false).ok);
    EXPECT_TRUE(log.contains("QEL Card Operations : Failed to select path [3F000001] : result 0x6a82"));
    EXPECT_EQ(tokenCode([&] { ops4.selectFile(files.ef, false); }), CardError::communicationError);
    EXPECT_TRUE(log.contains("QEL Card Operations : selectFile - An error occurred : card pulled out"));
}

TEST(Select, FileSizeScanStaysInsideTheAnswer) {
    ScriptedCard card;
    QELOps ops(card, QELType::QEL3);
    const std::pair<const char*, int> cases[] = {
        {"62 06 80 02 01 2C 82 01", 300},
        {"6F 02 12 34", 0x1234},  // no 80: length byte at position 1
        {"62 03 80 01 07", 7},
        {"62 02 80 00", 0},
        {"", 0},
        {"80", 0},                 // length byte missing
        {"62 04 80 03 01 02", 0},  // size bytes missing
        {"6F FF 01", 0},
        {"80 05 FF FF FF FF FF", 0},  // no card holds such a file
        {"80 04 00 01 00 00", 65536},
    };
    for (const auto& [answer, size] : cases) {
        SCOPED_TRACE(answer);
        EXPECT_EQ(ops.fileSizeFromSelectResponse(hex(answer)), size);
    }
}

// --- recognition ----------------------------------------------------------------------------------

TEST(QELCardRecognition, SelectsTheApplicationOfAFourthGenerationCardOnly) {
    ScriptedCard qel4(test::kAtrQel4);
    qel4.setCla(0x00);
    qel4.expect("01 A4 04 04 08 8025000001FF0100 00", "9000");
    QELCard card4(qel4, qel4.atr());
    EXPECT_EQ(card4.type(), QELType::QEL4);
    EXPECT_EQ(qel4.cla(), 0x01);
    EXPECT_TRUE(qel4.done());

    ScriptedCard qel4b(test::kAtrQel4b);
    qel4b.expect("01 A4 04 04 08 8025000001FF0100 00", "6A82");
    EXPECT_EQ(tokenCode([&] { QELCard c(qel4b, qel4b.atr()); }), CardError::communicationError);

    ScriptedCard qel3(test::kAtrQel3);
    qel3.setCla(0x42);
    EXPECT_EQ(QELCard(qel3, qel3.atr()).type(), QELType::QEL3);
    EXPECT_EQ(qel3.cla(), 0x00);
    EXPECT_FALSE(qel3.useCommandChaining());
    EXPECT_TRUE(qel3.sent.empty());

    test::LogCapture log;
    ScriptedCard cl(test::kAtrQel3CL);
    EXPECT_EQ(QELCard(cl, cl.atr()).type(), QELType::QEL3CL);
    EXPECT_TRUE(log.contains("Found Sigilla.QELType.QEL3CL card"));
}

TEST(QELCardRecognition, RefusesAnyOtherAtrBeforeSendingAnything) {
    for (const Bytes& known : {test::kAtrQel3, test::kAtrQel3CL, test::kAtrQel4, test::kAtrQel4b}) {
        for (std::size_t i = 0; i < known.size(); i += 5) {
            Bytes atr = known;
            atr[i] ^= 0x01;
            ScriptedCard sc(atr);
            EXPECT_EQ(tokenCode([&] { QELCard c(sc, atr); }), CardError::badParameter) << toHex(atr);
            EXPECT_TRUE(sc.sent.empty());
        }
    }
    ScriptedCard none;
    EXPECT_EQ(tokenCode([&] { QELCard c(none, {}); }), CardError::badParameter);
    Bytes longer = test::kAtrQel3;
    longer.push_back(0x00);
    EXPECT_EQ(tokenCode([&] { QELCard c(none, longer); }), CardError::badParameter);
}

// --- PIN state --------------------------------------------------------------------------------

constexpr const char* kGetData = "00 CB 3F FF 0A 4D08 7006 BF810102 A080 E7";

TEST(PinState, ThirdGenerationReadsTheCountersFromTheStatusObject) {
    struct Case {
        const char* answer;
        int code;
        const char* logLine;
    };
    const Case cases[] = {
        {"9B 01 03 9D 01 00 9000", CardError::communicationError, "QELAuthOperation : QEL card definitively locked "},
        {"9B 01 00 9D 01 0A 9000", CardError::communicationError, "QELAuthOperation : QEL card is locked "},
        {"9B 01 00 9D 02 00 00 9000", CardError::communicationError, "definitively locked"},  // low byte of two
        {"9B 01 03 9D 02 00 05 9000", 0, nullptr},
        {"A0 04 01 02 03 04 9000", 0, nullptr},  // neither tag
        {"9000", 0, nullptr},                    // empty answer
        {"9B 01 00 9000", CardError::communicationError, "QEL card is locked "},
        {"01 9B 01 9000", 0, nullptr},  // counter would lie past the end
        {"9D 02 00 9000", 0, nullptr},  // two-byte counter cut short
        {"9D 01 9000", 0, nullptr},
        {"9D 03 00 00 9B 01 02 9000", 0, nullptr},  // other length form leaves it unchanged
        {"9B 01 00 9B 01 03 9000", 0, nullptr},     // a later match overwrites
        {"6A88", 0, nullptr},                       // refused: silent
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        test::LogCapture log;
        ScriptedCard sc;
        sc.expect(kGetData, c.answer);
        QELOps ops(sc, QELType::QEL3);
        EXPECT_EQ(tokenCode([&] { ops.checkPinStatus(); }), c.code);
        if (c.logLine) {
            EXPECT_TRUE(log.contains(c.logLine)) << log.text();
        }
    }
}

TEST(PinState, TriesCounterAndVerifyFollowTheirStatusWords) {
    test::LogCapture log;
    ScriptedCard sc(test::kAtrQel4);
    sc.expect("01 A4 04 04 08 8025000001FF0100 00", "9000")
        .expect("01 20 00 01", "63C1")
        .expect("01 20 00 01", "6983")
        .expect("01 20 00 01 04 31323334", "63C2")
        .expect("01 20 00 01 04 31323334", "9000");
    QELCard card(sc, sc.atr());
    EXPECT_EQ(tokenCode([&] { card.checkPin(); }), 0);
    EXPECT_TRUE(log.contains("QELAuthOperation : remaining tries 1"));
    // The refusals keep the card's answer, so that a blocked PIN is told from a wrong one.
    auto blocked = tokenError([&] { card.checkPin(); });
    ASSERT_TRUE(blocked);
    EXPECT_EQ(blocked->code(), CardError::communicationError);
    EXPECT_EQ(blocked->statusWord(), 0x6983);
    auto refused = tokenError([&] { card.verifyPin("1234"); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code(), CardError::communicationError);
    EXPECT_EQ(refused->statusWord(), 0x63C2);
    EXPECT_FALSE(refused->fromTransport());
    EXPECT_TRUE(log.contains("QELAuthOperation : QEL card is locked (0x63c2)"));
    EXPECT_EQ(tokenCode([&] { card.verifyPin("1234"); }), 0);
    EXPECT_TRUE(log.contains("QELAuthOperation : User is now authenticated "));
    EXPECT_EQ(log.text().find("31323334"), std::string::npos);
    EXPECT_EQ(log.text().find("1234"), std::string::npos);
    EXPECT_TRUE(card.ops().apduOps().verifyPin.data.empty());
}

TEST(PinState, ThirdGenerationSelectsTheMasterFileAndPadsThePin) {
    ScriptedCard sc(test::kAtrQel3);
    sc.expect("00 A4 09 04 02 3F00 00", "6A82")  // outcome not examined
        .expect(kGetData, "9B 01 03 9D 01 0A 9000")
        .expect("00 20 00 01 08 31323334 FFFFFFFF", "9000")
        .expectThrow("00 A4 09 04 02 3F00 00", TransportError::Kind::cardRemoved)
        .expectThrow("00 A4 09 04 02 3F00 00", TransportError::Kind::communication)
        .expect("00 A4 09 04 02 3F00 00", "9000")
        .expect(kGetData, "9B 01 00 9D 01 0A 9000");
    QELCard card(sc, sc.atr());
    card.checkPin();
    card.verifyPin("1234");
    // The same code for a failed selection and a blocked card; only the first is a transport failure.
    auto removed = tokenError([&] { card.checkPin(); });
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->code(), CardError::communicationError);
    EXPECT_TRUE(removed->fromTransport());
    EXPECT_TRUE(removed->cardRemoved());
    auto broken = tokenError([&] { card.checkPin(); });
    ASSERT_TRUE(broken);
    EXPECT_TRUE(broken->fromTransport());
    EXPECT_FALSE(broken->cardRemoved());
    auto blocked = tokenError([&] { card.checkPin(); });
    ASSERT_TRUE(blocked);
    EXPECT_EQ(blocked->code(), CardError::communicationError);
    EXPECT_FALSE(blocked->fromTransport());
    EXPECT_TRUE(sc.done());
}

TEST(PinState, TransportErrorsOfPinCommandsArePassedOnUnchanged) {
    ScriptedCard sc(test::kAtrQel3CL);
    sc.expectThrow("00 20 00 01", TransportError::Kind::cardRemoved)
        .expectThrow("00 20 00 01 04 31323334", TransportError::Kind::cardRemoved);
    QELCard card(sc, sc.atr());
    EXPECT_THROW(card.checkPin(), TransportError);
    EXPECT_THROW(card.verifyPin("1234"), TransportError);
    EXPECT_TRUE(card.ops().apduOps().verifyPin.data.empty());
}

// ---- Keypad readers: the feature list, the PIN structures and what the reader builds of them.

SecretBytes digits(const char* text) { return SecretBytes(std::string_view(text)); }

Bytes filled(const Bytes& structure, bool modify, const char* oldDigits, const char* newDigits = "") {
    auto parsed = modify ? parseModifyStructure(structure) : parseVerifyStructure(structure);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        ADD_FAILURE() << "structure refused: " << *error;
        return {};
    }
    auto command = fillPinCommand(std::get<PinEntryRequest>(parsed), digits(oldDigits), digits(newDigits));
    if (auto* sw = std::get_if<std::uint16_t>(&command))
        return {static_cast<std::uint8_t>(*sw >> 8), static_cast<std::uint8_t>(*sw)};
    const SecretBytes& apdu = std::get<SecretBytes>(command);
    return Bytes(apdu.begin(), apdu.end());
}

TEST(PinPadFeatures, ReadsTheKnownFeaturesAndStopsAtABrokenElement) {
    // Verify, an unknown tag, modify, properties.
    PinPadFeatures f = parseFeatureList(hex("06044200 0DAE 1204420 00DB4 0704420 00DAF 0A04420 00DB2"));
    EXPECT_EQ(f.verifyPinDirect, 0x42000DAEu);
    EXPECT_EQ(f.modifyPinDirect, 0x42000DAFu);
    EXPECT_EQ(f.pinProperties, 0x42000DB2u);
    EXPECT_EQ(parseFeatureList(encodeFeatureList(f)).modifyPinDirect, f.modifyPinDirect);

    // Cut short in the value, a length other than 4, a lone tag: what came before stays.
    EXPECT_TRUE(parseFeatureList(hex("0604420 00DAE 070442")).canVerify());
    EXPECT_FALSE(parseFeatureList(hex("0604420 00DAE 070442")).canModify());
    PinPadFeatures wrongLength = parseFeatureList(hex("060542000DAE00 0704420 00DAF"));
    EXPECT_FALSE(wrongLength.canVerify());
    EXPECT_FALSE(wrongLength.canModify());
    EXPECT_FALSE(parseFeatureList(hex("06")).canVerify());
    EXPECT_FALSE(parseFeatureList({}).canVerify());
    EXPECT_FALSE(parseFeatureList(hex("06FF42000DAE")).canVerify());
}

TEST(PinPadStructures, TheReaderBuildsEachGenerationsCommand) {
    const auto qel3 = pinCommandFormat(QELType::QEL3, false);
    ASSERT_TRUE(qel3);
    const Bytes verify3 = buildVerifyStructure(*qel3);
    EXPECT_EQ(verify3.size(), pinpad::kVerifyHeaderSize + 13);
    EXPECT_EQ(filled(verify3, false, "1234"), hex("0020000108 31323334 FFFFFFFF"));
    // QEL3 takes exactly four digits: the reader refuses other lengths before the card sees them.
    EXPECT_EQ(filled(verify3, false, "123"), hex("6403"));
    EXPECT_EQ(filled(verify3, false, "12345"), hex("6403"));

    // The bare form: Lc follows the entry.
    const auto qel4 = pinCommandFormat(QELType::QEL4, false);
    ASSERT_TRUE(qel4);
    EXPECT_EQ(filled(buildVerifyStructure(*qel4), false, "123456"), hex("0120000106 313233343536"));
    EXPECT_EQ(filled(buildVerifyStructure(*qel4), false, "123456789"), hex("6403"));

    const auto change3 = pinCommandFormat(QELType::QEL3, true);
    ASSERT_TRUE(change3);
    EXPECT_EQ(filled(buildModifyStructure(*change3), true, "1234", "5678"),
              hex("0024000110 31323334FFFFFFFF 35363738FFFFFFFF"));
    EXPECT_EQ(filled(buildModifyStructure(*change3), true, "1234", "56"), hex("6403"));
    // The unblock: the PUK fills its block, the new PIN is padded in the next one.
    const auto unblock3 = unblockCommandFormat(QELType::QEL3);
    ASSERT_TRUE(unblock3);
    EXPECT_EQ(filled(buildModifyStructure(*unblock3), true, "12345678", "5678"),
              hex("002C000110 3132333435363738 35363738FFFFFFFF"));
    EXPECT_EQ(filled(buildModifyStructure(*unblock3), true, "123456789", "5678"), hex("6403"));
    // Old and new PIN of the bare form have no fixed width: no keypad change for those cards.
    EXPECT_FALSE(pinCommandFormat(QELType::QEL4, true));
    EXPECT_FALSE(unblockCommandFormat(QELType::QEL4));
    EXPECT_FALSE(pinCommandFormat(QELType::UNKNOWN, false));
}

TEST(PinPadStructures, BcdRightJustifiedAndLengthFieldsArePlacedInTheirBlock) {
    // A format 2 block: control nibble 2, the length in the next nibble, BCD digits, F filler.
    Bytes s = hex("1E1E 89 48 04 0804 02 01 0C04 00 000000 0D000000 0020000108 2FFFFFFFFFFFFFFF");
    EXPECT_EQ(filled(s, false, "12345"), hex("0020000108 25 12345F FFFFFFFF"));
    // ASCII right-justified in the block, no length field.
    Bytes right = hex("1E1E 86 08 00 0804 02 01 0C04 00 000000 0D000000 0020000108 FFFFFFFFFFFFFFFF");
    EXPECT_EQ(filled(right, false, "1234"), hex("0020000108 FFFFFFFF31323334"));
}

TEST(PinPadStructures, HostileFieldsAreRefusedWithoutReadingOutsideTheStructure) {
    const Bytes verify = buildVerifyStructure(*pinCommandFormat(QELType::QEL3, false));
    const Bytes modify = buildModifyStructure(*pinCommandFormat(QELType::QEL3, true));
    auto refused = [](const std::variant<PinEntryRequest, std::string>& parsed) {
        return std::holds_alternative<std::string>(parsed);
    };
    EXPECT_TRUE(refused(parseVerifyStructure(Bytes(verify.begin(), verify.begin() + 18))));
    EXPECT_TRUE(refused(parseModifyStructure(Bytes(modify.begin(), modify.begin() + 23))));
    EXPECT_TRUE(refused(parseVerifyStructure(Bytes(verify.begin(), verify.end() - 1))));  // data length says more
    Bytes hugeLength = verify;
    hugeLength[15] = hugeLength[16] = hugeLength[17] = hugeLength[18] = 0xFF;
    EXPECT_TRUE(refused(parseVerifyStructure(hugeLength)));
    Bytes wrongLc = verify;
    wrongLc[pinpad::kVerifyHeaderSize + 4] = 0x20;
    EXPECT_TRUE(refused(parseVerifyStructure(wrongLc)));
    Bytes pinPastBlock = verify;
    pinPastBlock[2] = 0x80 | (7 << 3) | 0x02;  // position 7 in an 8-byte block, 4 ASCII digits
    EXPECT_TRUE(refused(parseVerifyStructure(pinPastBlock)));
    Bytes newPastCommand = modify;
    newPastCommand[6] = 0xF0;  // bInsertionOffsetNew
    EXPECT_TRUE(refused(parseModifyStructure(newPastCommand)));
    Bytes lengthPastBlock = verify;
    lengthPastBlock[3] = 0x88;         // an 8-bit length field...
    lengthPastBlock[4] = 0x10 | 0x0F;  // ...at byte 15 of an 8-byte block
    EXPECT_TRUE(refused(parseVerifyStructure(lengthPastBlock)));
    Bytes noRange = verify;
    noRange[5] = 2;  // max below min
    EXPECT_TRUE(refused(parseVerifyStructure(noRange)));
    Bytes unknownEncoding = verify;
    unknownEncoding[2] = 0x83;
    EXPECT_TRUE(refused(parseVerifyStructure(unknownEncoding)));

    // Every header byte of both structures set to edge values: whatever is accepted is filled with
    // the shortest and the longest entry allowed within its command (ASan watches the writes).
    for (const bool isModify : {false, true}) {
        const Bytes& base = isModify ? modify : verify;
        const std::size_t header = isModify ? pinpad::kModifyHeaderSize : pinpad::kVerifyHeaderSize;
        for (std::size_t at = 0; at < header - 4; ++at) {
            for (std::uint8_t value : {0x00, 0x01, 0x07, 0x08, 0x0F, 0x10, 0x47, 0x7F, 0x80, 0xF8, 0xFF}) {
                Bytes s = base;
                s[at] = value;
                auto parsed = isModify ? parseModifyStructure(s) : parseVerifyStructure(s);
                if (refused(parsed)) continue;
                const PinEntryRequest& r = std::get<PinEntryRequest>(parsed);
                for (std::size_t n : {std::size_t{r.minDigits}, std::size_t{r.maxDigits}}) {
                    std::string typed(n, '7');
                    auto command = fillPinCommand(r, digits(typed.c_str()), digits(typed.c_str()));
                    if (auto* apdu = std::get_if<SecretBytes>(&command))
                        EXPECT_EQ(apdu->size(), (r.blockString & 0x0F) == 0 ? 5 + n : r.command.size())
                            << "byte " << at << " = " << int(value);
                }
            }
        }
    }
}

TEST(PinPadStructures, StatusWordsMapAsTheTypedPinsDo) {
    EXPECT_EQ(pinPadResult(0x9000).outcome, PinPadOutcome::verified);
    const PinPadResult wrong = pinPadResult(0x63C2);
    EXPECT_EQ(wrong.outcome, PinPadOutcome::wrongPin);
    EXPECT_EQ(wrong.triesLeft, 2);
    EXPECT_EQ(pinPadResult(0x63C0).outcome, PinPadOutcome::blocked);
    EXPECT_EQ(pinPadResult(0x6983).outcome, PinPadOutcome::blocked);
    EXPECT_EQ(pinPadResult(0x6400).outcome, PinPadOutcome::timedOut);
    EXPECT_EQ(pinPadResult(0x6401).outcome, PinPadOutcome::cancelled);
    EXPECT_EQ(pinPadResult(0x6402).outcome, PinPadOutcome::entriesDiffer);
    EXPECT_EQ(pinPadResult(0x6403).outcome, PinPadOutcome::wrongLength);
    EXPECT_EQ(pinPadResult(0x6700).outcome, PinPadOutcome::wrongLength);
    EXPECT_EQ(pinPadResult(0x6A80).outcome, PinPadOutcome::failed);
}

// A reader that answers control requests from a script and counts them.
class KeypadCard : public ScriptedCard {
public:
    Bytes features;
    Bytes entryAnswer = hex("9000");
    int featureRequests = 0;
    Bytes lastStructure;
    std::optional<Bytes> readerControl(std::uint32_t code, const Bytes& input) override {
        if (code == pinpad::kGetFeatureRequest) {
            ++featureRequests;
            return features;
        }
        lastStructure = input;
        return entryAnswer;
    }
};

TEST(PinPadReader, FeaturesAreAskedOnceAndTheAnswerDecides) {
    KeypadCard card;
    card.features = hex("0604420 00DAE");
    EXPECT_TRUE(PinPad::available(card));
    card.entryAnswer = hex("63C1");
    const PinPadResult r = PinPad::verifyPin(card, QELType::QEL3);
    EXPECT_EQ(r.outcome, PinPadOutcome::wrongPin);
    EXPECT_EQ(r.triesLeft, 1);
    EXPECT_EQ(card.lastStructure, buildVerifyStructure(*pinCommandFormat(QELType::QEL3, false)));
    EXPECT_EQ(card.featureRequests, 1);
    // Without the modify feature there is no keypad change; a reader answering no status word is a
    // transport failure, not a verdict on the PIN.
    EXPECT_EQ(tokenCode([&] { PinPad::changePin(card, QELType::QEL3); }), CardError::notImplemented);
    card.entryAnswer = hex("90");
    EXPECT_THROW(PinPad::verifyPin(card, QELType::QEL3), TransportError);

    KeypadCard plain;
    EXPECT_FALSE(PinPad::available(plain));
    EXPECT_EQ(tokenCode([&] { PinPad::verifyPin(plain, QELType::QEL3); }), CardError::notImplemented);
}

}  // namespace
}  // namespace qel
