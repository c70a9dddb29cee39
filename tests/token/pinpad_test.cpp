// The keypad reader of the testbed with Sigilla, the issuer library's stand-in and `qel`: the PIN is
// typed on the reader (the card daemon says what is typed), never handed to the module.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/pcsc/slot_manager.h"
#include "tests/support/testbed_client.h"
#include "tests/token/integration_support.h"

namespace qel::sigillatest {
namespace {

const std::string kPinPadReader = "Virtual PinPad 00 00";
const std::string kOnKeypad = "--slot-description " + quoted(kPinPadReader);

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

class PinPad : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testbed::daemonRuns()) << "no card daemon in the testbed";
        profile_ = freshProfile("qel3-default");
        testbed::control("swap pinpad " + profile_);
        pcsc::SlotManager slots;
        auto slot = slots.waitForCard(kPinPadReader, std::chrono::seconds(5));
        ASSERT_TRUE(slot && slot->state == pcsc::SlotState::cardPresent) << "no card in " << kPinPadReader;
    }
    void type(const std::string& entry) { testbed::control("pinpad " + entry); }

    std::string profile_;
};

CK_SLOT_ID slotOfReader(const LoadedModule& module, const std::string& reader) {
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    if (module->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) return kNoSlot;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_SLOT_INFO info{};
        if (module->C_GetSlotInfo(slots[i], &info) != CKR_OK) continue;
        std::string description(reinterpret_cast<const char*>(info.slotDescription), sizeof info.slotDescription);
        if (description.rfind(reader, 0) == 0) return slots[i];
    }
    return kNoSlot;
}

CK_FLAGS tokenFlags(const LoadedModule& module, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    EXPECT_EQ(module->C_GetTokenInfo(slot, &info), CKR_OK);
    return info.flags;
}

TEST_F(PinPad, SigillaLogsInAndChangesThePinOnTheKeypad) {
    LoadedModule module;
    ASSERT_EQ(module->C_Initialize(nullptr), CKR_OK);
    const CK_SLOT_ID slot = slotOfReader(module, kPinPadReader);
    ASSERT_NE(slot, kNoSlot);
    EXPECT_TRUE(tokenFlags(module, slot) & CKF_PROTECTED_AUTHENTICATION_PATH);
    const CK_SLOT_ID contact = slotOfReader(module, testbed::kContactReader);
    ASSERT_NE(contact, kNoSlot);
    EXPECT_FALSE(tokenFlags(module, contact) & CKF_PROTECTED_AUTHENTICATION_PATH);

    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(module->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);

    // A wrong PIN costs a try, which the flags show; Cancel and a time-out cost none.
    type("9999");
    EXPECT_EQ(module->C_Login(session, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);
    EXPECT_TRUE(tokenFlags(module, slot) & CKF_USER_PIN_COUNT_LOW);
    EXPECT_FALSE(tokenFlags(module, slot) & CKF_USER_PIN_FINAL_TRY);
    type("cancel 50");
    EXPECT_EQ(module->C_Login(session, CKU_USER, nullptr, 0), CKR_FUNCTION_CANCELED);
    type("timeout");
    EXPECT_EQ(module->C_Login(session, CKU_USER, nullptr, 0), CKR_FUNCTION_FAILED);
    type("123");
    EXPECT_EQ(module->C_Login(session, CKU_USER, nullptr, 0), CKR_PIN_LEN_RANGE);
    EXPECT_TRUE(tokenFlags(module, slot) & CKF_USER_PIN_COUNT_LOW);

    type("1234 200");
    ASSERT_EQ(module->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    EXPECT_FALSE(tokenFlags(module, slot) & CKF_USER_PIN_COUNT_LOW);
    const CK_OBJECT_HANDLE key = module.privateKey(session);
    Bytes signature;
    EXPECT_EQ(module.signSha256(session, key, Bytes{'k', 'e', 'y', 'p', 'a', 'd'}, signature), CKR_OK);
    EXPECT_FALSE(signature.empty());
    ASSERT_EQ(module->C_Logout(session), CKR_OK);

    // A change: current PIN, new PIN, confirmation. A confirmation that differs changes nothing.
    type("1234,5678,5679");
    EXPECT_EQ(module->C_SetPIN(session, nullptr, 0, nullptr, 0), CKR_PIN_INVALID);
    type("1234,5678");
    ASSERT_EQ(module->C_SetPIN(session, nullptr, 0, nullptr, 0), CKR_OK);
    CK_UTF8CHAR typed[] = {'5', '6', '7', '8'};
    EXPECT_EQ(module->C_SetPIN(session, typed, 4, typed, 4), CKR_FUNCTION_NOT_SUPPORTED);
    type("1234");
    EXPECT_EQ(module->C_Login(session, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);
    type("5678");
    EXPECT_EQ(module->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);

    // No keypad in the contact reader: a login without a PIN stays what it was.
    CK_SESSION_HANDLE plain = 0;
    ASSERT_EQ(module->C_OpenSession(contact, CKF_SERIAL_SESSION, nullptr, nullptr, &plain), CKR_OK);
    EXPECT_EQ(module->C_Login(plain, CKU_USER, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(module->C_Finalize(nullptr), CKR_OK);
}

TEST_F(PinPad, Pkcs11ToolSignsAfterAKeypadEntry) {
    const Outcome listing = pkcs11Tool(kOnKeypad + " -L");
    ASSERT_EQ(listing.status, 0) << listing.output;
    EXPECT_NE(listing.output.find("PIN pad present"), std::string::npos) << listing.output;
    const Outcome objects = pkcs11Tool(kOnKeypad + " -O");
    ASSERT_EQ(objects.status, 0) << objects.output;
    // The private keys show after the login only: the signature key goes by its public key's ID.
    const std::vector<std::string> ids = objectIds(objects.output, "Public Key Object");
    ASSERT_FALSE(ids.empty()) << objects.output;
    const std::string id = ids.front();

    writeFile("data", "Typed on the reader.\n");
    type("1234 100");
    const Outcome sign = pkcs11Tool(kOnKeypad + " --login -m SHA256-RSA-PKCS --sign --id " + id + " -i data -o sig");
    ASSERT_EQ(sign.status, 0) << sign.output;
    // pkcs11-tool handed no PIN: the login took the keypad's entry.
    EXPECT_NE(testbed::control("status").find("next keypad entry none"), std::string::npos);
    const Outcome cert = pkcs11Tool(kOnKeypad + " --read-object --type cert --id " + id + " -o cert.der");
    ASSERT_EQ(cert.status, 0) << cert.output;
    ASSERT_EQ(run("openssl x509 -inform DER -in cert.der -pubkey -noout -out pub.pem").status, 0);
    const Outcome verify = run("openssl dgst -sha256 -verify pub.pem -signature sig data");
    EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;

    type("cancel");
    const Outcome cancelled = pkcs11Tool(kOnKeypad + " --login -O");
    EXPECT_NE(cancelled.status, 0);
    EXPECT_NE(cancelled.output.find("CKR_FUNCTION_CANCELED"), std::string::npos) << cancelled.output;
    type("0000");
    const Outcome wrong = pkcs11Tool(kOnKeypad + " --login -O");
    EXPECT_NE(wrong.output.find("CKR_PIN_INCORRECT"), std::string::npos) << wrong.output;
    // The try is counted on the card: the issuer's library reads its counter there.
    const Outcome counted = pkcs11Tool(kOnKeypad + " -L", env("QELSIM_MODULE"));
    EXPECT_NE(counted.output.find("user PIN count low"), std::string::npos) << counted.output;
}

TEST_F(PinPad, TheIssuerStandInAndQelUseTheKeypad) {
    const std::string standIn = env("QELSIM_MODULE");
    ASSERT_FALSE(standIn.empty());
    const Outcome listing = pkcs11Tool(kOnKeypad + " -L", standIn);
    EXPECT_NE(listing.output.find("PIN pad present"), std::string::npos) << listing.output;
    type("1234");
    const Outcome login = pkcs11Tool(kOnKeypad + " --login -O", standIn);
    EXPECT_EQ(login.status, 0) << login.output;
    type("cancel");
    EXPECT_NE(pkcs11Tool(kOnKeypad + " --login -O", standIn).output.find("CKR_FUNCTION_CANCELED"), std::string::npos);

    // qel speaks to the issuer library and asks the reader itself for its keypad.
    // qel carries its own sanitizer runtime: the one preloaded for foreign programs is taken off.
    const std::string qel = "env -u LD_PRELOAD QEL_PKCS11_LIBRARY=" + quoted(standIn) + " " + quoted(env("QEL_CLI"));
    const Outcome info = run(qel + " info --reader " + quoted(kPinPadReader));
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find(kPinPadReader + " (card, keypad: PIN entry and change)"), std::string::npos)
        << info.output;
    EXPECT_NE(info.output.find("Keypad:      PIN entry and change on the reader"), std::string::npos) << info.output;
    const Outcome contact = run(qel + " info --reader " + quoted(testbed::kContactReader));
    EXPECT_NE(contact.output.find("Keypad:      none"), std::string::npos) << contact.output;

    // The services test reads no PIN from the descriptor: the wrong one given there is never used.
    type("1234 100");
    writeFile("wrong-pin", "9999\n");
    const Outcome test =
        run(qel + " services-test --json --reader " + quoted(kPinPadReader) + " --pin-fd 3 3<wrong-pin </dev/null");
    EXPECT_NE(test.output.find("type the PIN on the keypad of the reader"), std::string::npos) << test.output;
    EXPECT_NE(test.output.find("\"login\": \"CKR_OK\""), std::string::npos) << test.output;
}

}  // namespace
}  // namespace qel::sigillatest
