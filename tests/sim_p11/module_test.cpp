// The library through its C functions, over the fake card service.
#include <cstring>

#include "tests/sim_p11/module_fixture.h"

namespace qel::simp11::test {
namespace {

std::string padded(const CK_UTF8CHAR* field, std::size_t size) { return std::string(field, field + size); }

TEST_F(ModuleTest, CallsBeforeInitialiseAndBadInitialiseArgumentsAreRefused) {
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);

    CK_C_INITIALIZE_ARGS reserved{};
    reserved.pReserved = &count;
    EXPECT_EQ(p11->C_Initialize(&reserved), CKR_ARGUMENTS_BAD);
    CK_C_INITIALIZE_ARGS someMutexFunctions{};
    someMutexFunctions.CreateMutex = [](void**) -> CK_RV { return CKR_OK; };
    EXPECT_EQ(p11->C_Initialize(&someMutexFunctions), CKR_ARGUMENTS_BAD);
    CK_C_INITIALIZE_ARGS appLocksOnly{};
    appLocksOnly.CreateMutex = [](void**) -> CK_RV { return CKR_OK; };
    appLocksOnly.DestroyMutex = appLocksOnly.LockMutex =
        appLocksOnly.UnlockMutex = [](void*) -> CK_RV { return CKR_OK; };
    EXPECT_EQ(p11->C_Initialize(&appLocksOnly), CKR_CANT_LOCK);

    CK_C_INITIALIZE_ARGS osLocking{};
    osLocking.flags = CKF_OS_LOCKING_OK;
    EXPECT_EQ(p11->C_Initialize(&osLocking), CKR_OK);
    EXPECT_EQ(p11->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
}

TEST_F(ModuleTest, NullOutputPointersAreArgumentErrors) {
    insert(CardGeneration::QEL3);
    initialize();
    CK_SESSION_HANDLE h = open();
    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_BYTE data[4] = {};
    CK_ATTRIBUTE nullValue{CKA_LABEL, nullptr, 5};
    EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSlotInfo(0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetTokenInfo(0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSessionInfo(h, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_Login(h, CKU_USER, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_FindObjectsInit(h, &nullValue, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_FindObjectsInit(h, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_SignInit(h, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_Sign(h, data, sizeof data, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GenerateRandom(h, nullptr, 8), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSlotInfo(7, reinterpret_cast<CK_SLOT_INFO*>(data)), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(p11->C_SignInit(h + 100, &mech, 1), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(p11->C_OpenSession(0, 0, nullptr, nullptr, &h), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
}

TEST_F(ModuleTest, SlotsFollowReaderOrderWithNulTerminatedDescriptions) {
    insert(CardGeneration::QEL4, kReaderB);
    initialize();
    CK_ULONG count = 0;
    ASSERT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    CK_SLOT_ID slots[2] = {};
    count = 1;
    EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(p11->C_GetSlotList(CK_FALSE, slots, &count), CKR_OK);
    EXPECT_EQ(slots[0], 0u);
    EXPECT_EQ(slots[1], 1u);
    count = 2;
    ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(slots[0], 1u);

    CK_SLOT_INFO info{};
    ASSERT_EQ(p11->C_GetSlotInfo(1, &info), CKR_OK);
    std::string description = padded(info.slotDescription, sizeof info.slotDescription);
    EXPECT_EQ(description, std::string(kReaderB) + '\0' + std::string(64 - std::strlen(kReaderB) - 1, ' '));
    EXPECT_NE(info.flags & CKF_TOKEN_PRESENT, 0u);
    ASSERT_EQ(p11->C_GetSlotInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags & CKF_TOKEN_PRESENT, 0u);
    CK_TOKEN_INFO token{};
    EXPECT_EQ(p11->C_GetTokenInfo(0, &token), CKR_TOKEN_NOT_PRESENT);
}

TEST_F(ModuleTest, TokenInfoNamesTheCard) {
    insert(CardGeneration::QEL3);
    insert(CardGeneration::QEL4, kReaderB);
    initialize();
    CK_TOKEN_INFO info{};
    ASSERT_EQ(p11->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(padded(info.label, 32), "QEL3-1234567890K" + std::string(16, ' '));
    EXPECT_EQ(padded(info.serialNumber, 16), "1234567890Z     ");
    EXPECT_EQ(padded(info.model, 16), "QEL3            ");
    EXPECT_EQ(info.flags & (CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED), CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED);
    ASSERT_EQ(p11->C_GetTokenInfo(1, &info), CKR_OK);
    EXPECT_EQ(padded(info.label, 32).substr(0, 16), "QEL4-1234567890K");
}

TEST_F(ModuleTest, PinFlagsFollowTheCardCounters) {
    auto card = insert(CardGeneration::QEL3);
    initialize();
    struct Case {
        int pinTries, pukTries;
        CK_FLAGS expected;
    };
    const Case cases[] = {
        {3, 10, 0},
        {2, 10, CKF_USER_PIN_COUNT_LOW},
        {1, 10, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY},
        {0, 10, CKF_USER_PIN_LOCKED},
        {0, 1, CKF_USER_PIN_LOCKED | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_COUNT_LOW},
        {0, 0, CKF_USER_PIN_LOCKED | CKF_SO_PIN_LOCKED},
    };
    const CK_FLAGS counterFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED |
                                  CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED;
    for (const Case& c : cases) {
        card->pinTries = c.pinTries;
        card->pukTries = c.pukTries;
        CK_TOKEN_INFO info{};
        ASSERT_EQ(p11->C_GetTokenInfo(0, &info), CKR_OK);
        EXPECT_EQ(info.flags & counterFlags, c.expected) << "pin " << c.pinTries << " puk " << c.pukTries;
    }
}

TEST_F(ModuleTest, PrivateDataObjectsAppearOnlyAfterLogin) {
    insert(CardGeneration::QEL3);
    initialize();
    CK_SESSION_HANDLE h = open();
    ASSERT_EQ(findByLabel(h, "QEL_ID_CARD").size(), 1u);
    ASSERT_EQ(findByLabel(h, "QEL_NAME_PS").size(), 1u);
    EXPECT_TRUE(findByLabel(h, "QEL_ACTIVITY_01_PS").empty());
    EXPECT_TRUE(findByLabel(h, "QEL_SIT_FACT").empty());

    ASSERT_EQ(login(h, "1234"), CKR_OK);
    EXPECT_EQ(findByLabel(h, "QEL_ACTIVITY_01_PS").size(), 1u);
    EXPECT_EQ(findByLabel(h, "QEL_ACTIVITY_02_PS").size(), 1u);
    EXPECT_TRUE(findByLabel(h, "QEL_ACTIVITY_03_PS").empty());
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    auto privateData = find(h, {{CKA_CLASS, &data, sizeof data}, {CKA_PRIVATE, &yes, 1}});
    EXPECT_EQ(privateData.size(), 3u);
    auto sitFact = findByLabel(h, "QEL_SIT_FACT");
    ASSERT_EQ(sitFact.size(), 1u);
    EXPECT_EQ(attribute(h, sitFact[0], CKA_VALUE), tlv(0xE0, tlv(0xA0, tlv(0x80, {0x01}))));

    ASSERT_EQ(p11->C_Logout(h), CKR_OK);
    EXPECT_TRUE(findByLabel(h, "QEL_SIT_FACT").empty());
    CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(p11->C_GetAttributeValue(h, sitFact[0], &value, 1), CKR_USER_NOT_LOGGED_IN)
        << "the handle stays valid; only the login is missing";
    ASSERT_EQ(login(h, "1234"), CKR_OK);
    EXPECT_EQ(attribute(h, sitFact[0], CKA_VALUE), tlv(0xE0, tlv(0xA0, tlv(0x80, {0x01}))));
}

TEST_F(ModuleTest, CertificatesAndKeysPairByIdentifier) {
    insert(CardGeneration::QEL3);
    initialize();
    CK_SESSION_HANDLE h = open();
    CK_OBJECT_CLASS cert = CKO_CERTIFICATE, priv = CKO_PRIVATE_KEY, pub = CKO_PUBLIC_KEY;
    auto certs = findClass(h, cert);
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_EQ(text(h, certs[0], CKA_LABEL), "Certificat d'Authentification QEL");
    EXPECT_EQ(text(h, certs[1], CKA_LABEL), "Certificat de Signature QEL");
    EXPECT_TRUE(findClass(h, priv).empty()) << "private keys are private objects";
    EXPECT_EQ(findClass(h, pub).size(), 2u);

    ASSERT_EQ(login(h, "1234"), CKR_OK);
    Bytes id = attribute(h, certs[1], CKA_ID);
    auto keys = find(h, {{CKA_CLASS, &priv, sizeof priv}, {CKA_ID, id.data(), id.size()}});
    ASSERT_EQ(keys.size(), 1u);
    auto pubs = find(h, {{CKA_CLASS, &pub, sizeof pub}, {CKA_ID, id.data(), id.size()}});
    ASSERT_EQ(pubs.size(), 1u);
    EXPECT_EQ(attribute(h, keys[0], CKA_MODULUS), attribute(h, pubs[0], CKA_MODULUS));
    EXPECT_FALSE(attribute(h, certs[1], CKA_SUBJECT).empty());
    EXPECT_FALSE(attribute(h, certs[1], CKA_ISSUER).empty());
    EXPECT_EQ(attribute(h, certs[1], CKA_SERIAL_NUMBER), (Bytes{0x02, 0x02, 0x10, 0x92}));
    Bytes der = attribute(h, certs[1], CKA_VALUE);
    ASSERT_GT(der.size(), 4u);
    EXPECT_EQ(der[0], 0x30) << "the file's trailing filler is not part of the certificate";
    EXPECT_NE(der.back(), 0x00);
}

TEST_F(ModuleTest, ContactlessCardHasTechnicalCertificateAndNoIdentityObject) {
    insert(CardGeneration::QEL3CL);
    initialize();
    CK_SESSION_HANDLE h = open();
    EXPECT_TRUE(findByLabel(h, "QEL_ID_CARD").empty());
    EXPECT_EQ(findByLabel(h, "QEL_INFO_PS").size(), 1u);
    CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
    auto certs = findClass(h, cert);
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(text(h, certs[0], CKA_LABEL), "Certificat Technique QEL");
}

TEST_F(ModuleTest, GetAttributeValueFollowsTheSizeRules) {
    insert(CardGeneration::QEL3);
    initialize();
    CK_SESSION_HANDLE h = open();
    ASSERT_EQ(login(h, "1234"), CKR_OK);
    CK_OBJECT_CLASS priv = CKO_PRIVATE_KEY;
    auto keys = findClass(h, priv);
    ASSERT_FALSE(keys.empty());

    char small[3];
    CK_BYTE label[64];
    CK_BBOOL sign = CK_FALSE;
    CK_ATTRIBUTE templ[] = {
        {CKA_LABEL, nullptr, 0},            // size query
        {CKA_PRIVATE_EXPONENT, label, 64},  // sensitive
        {CKA_LABEL, small, sizeof small},   // too small
        {0x7FFF0001UL, label, 64},          // unknown type
        {CKA_SIGN, &sign, 1},               // fits
    };
    EXPECT_NE(p11->C_GetAttributeValue(h, keys[0], templ, 5), CKR_OK);
    EXPECT_EQ(templ[0].ulValueLen, std::strlen("Cle d'Authentification QEL"));
    EXPECT_EQ(templ[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(templ[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(templ[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(templ[4].ulValueLen, 1u);
    EXPECT_EQ(sign, CK_TRUE);

    struct Single {
        CK_ATTRIBUTE_TYPE type;
        CK_ULONG length;
        CK_RV expected;
    };
    for (const Single& s :
         {Single{CKA_PRIVATE_EXPONENT, 64, CKR_ATTRIBUTE_SENSITIVE}, Single{CKA_LABEL, 3, CKR_BUFFER_TOO_SMALL},
          Single{0x7FFF0001UL, 64, CKR_ATTRIBUTE_TYPE_INVALID}, Single{CKA_LABEL, 64, CKR_OK}}) {
        CK_ATTRIBUTE a{s.type, label, s.length};
        EXPECT_EQ(p11->C_GetAttributeValue(h, keys[0], &a, 1), s.expected) << std::hex << s.type;
    }
    CK_ATTRIBUTE any{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(p11->C_GetAttributeValue(h, 999999, &any, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ModuleTest, UserLoginStateMachine) {
    auto card = insert(CardGeneration::QEL3);
    initialize();
    CK_SESSION_HANDLE ro = open();
    CK_SESSION_INFO info{};

    EXPECT_EQ(login(ro, "123"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(login(ro, "12a4"), CKR_PIN_INCORRECT);
    EXPECT_EQ(card->verifyCalls, 0) << "codes that cannot be right cost no try";
    EXPECT_EQ(p11->C_Logout(ro), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(login(ro, "1234", 7), CKR_USER_TYPE_INVALID);

    EXPECT_EQ(login(ro, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(card->pinTries, 2);
    EXPECT_EQ(login(ro, "1234"), CKR_OK);
    EXPECT_EQ(card->pinTries, 3);
    EXPECT_EQ(login(ro, "1234"), CKR_USER_ALREADY_LOGGED_IN);
    CK_SESSION_HANDLE rw = open(0, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    ASSERT_EQ(p11->C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS) << "login is shared by every session of the token";
    ASSERT_EQ(p11->C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(login(rw, "12345678", CKU_SO), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);

    EXPECT_EQ(p11->C_CloseSession(ro), CKR_OK);
    EXPECT_EQ(p11->C_CloseSession(rw), CKR_OK);
    CK_SESSION_HANDLE again = open();
    ASSERT_EQ(p11->C_GetSessionInfo(again, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION) << "closing the last session logs out";

    EXPECT_EQ(login(again, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(again, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(again, "0000"), CKR_PIN_LOCKED) << "the try that blocks the card";
    EXPECT_EQ(login(again, "1234"), CKR_PIN_LOCKED);
}

TEST_F(ModuleTest, SecurityOfficerUnblocksWithThePuk) {
    auto card = insert(CardGeneration::QEL4);
    card->pinTries = 0;
    initialize();
    CK_SESSION_HANDLE ro = open();
    CK_SESSION_HANDLE rw = open(0, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(login(rw, "12345678", CKU_SO), CKR_SESSION_READ_ONLY_EXISTS);
    ASSERT_EQ(p11->C_CloseSession(ro), CKR_OK);
    EXPECT_EQ(login(rw, "1234567", CKU_SO), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(login(rw, "87654321", CKU_SO), CKR_PIN_INCORRECT);
    EXPECT_EQ(card->pukTries, 9);
    CK_UTF8CHAR newPin[] = "4321";
    EXPECT_EQ(p11->C_InitPIN(rw, newPin, 4), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(login(rw, "12345678", CKU_SO), CKR_OK);
    CK_SESSION_HANDLE roWhileSo = 0;
    EXPECT_EQ(p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &roWhileSo),
              CKR_SESSION_READ_WRITE_SO_EXISTS);
    EXPECT_EQ(p11->C_InitPIN(rw, newPin, 2), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(p11->C_InitPIN(rw, newPin, 4), CKR_OK);
    EXPECT_EQ(card->pin, "4321");
    EXPECT_EQ(card->pinTries, 3);
    ASSERT_EQ(p11->C_Logout(rw), CKR_OK);
    EXPECT_EQ(login(rw, "4321"), CKR_OK);
}

TEST_F(ModuleTest, SetPinChangesThePinOrUnblocksWithThePuk) {
    auto card = insert(CardGeneration::QEL3);
    initialize();
    CK_SESSION_HANDLE h = open();
    CK_UTF8CHAR oldPin[] = "1234", wrong[] = "9999", newPin[] = "5678";
    EXPECT_EQ(p11->C_SetPIN(h, wrong, 4, newPin, 4), CKR_PIN_INCORRECT);
    EXPECT_EQ(p11->C_SetPIN(h, oldPin, 4, newPin, 3), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(login(h, "1234"), CKR_OK);
    ASSERT_EQ(p11->C_SetPIN(h, oldPin, 4, newPin, 4), CKR_OK) << "read-only sessions may change the PIN";
    EXPECT_EQ(card->pin, "5678");

    // An eight-digit old code is the PUK: it unblocks and sets the new PIN.
    card->pinTries = 0;
    CK_UTF8CHAR wrongPuk[] = "87654321", puk[] = "12345678", unblocked[] = "2468";
    EXPECT_EQ(p11->C_SetPIN(h, wrongPuk, 8, unblocked, 4), CKR_PIN_INCORRECT);
    EXPECT_EQ(card->pukTries, 9);
    ASSERT_EQ(p11->C_SetPIN(h, puk, 8, unblocked, 4), CKR_OK);
    EXPECT_EQ(card->pinTries, 3);
    EXPECT_EQ(card->pukTries, 10);
    EXPECT_EQ(card->pin, "2468");
}

}  // namespace
}  // namespace qel::simp11::test
