// Signatures, card removal, the APDU pass-through, slot events, the trace and concurrent callers.
#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/user_dirs.h"
#include "sim/p11/card_layout.h"
#include "sim/p11/mechanisms.h"
#include "sim/p11/qelsim_pkcs11.h"
#include "sim/p11/trace.h"
#include "tests/sim_p11/module_fixture.h"

namespace qel::simp11::test {
namespace {

class SigningTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        card = insert(CardGeneration::QEL3);
        initialize();
        h = open();
        ASSERT_EQ(login(h, "1234"), CKR_OK);
        std::string label = "Cle de Signature QEL";
        auto keys = findByLabel(h, label);
        ASSERT_EQ(keys.size(), 2u) << "private and public key share the label";
        CK_OBJECT_CLASS priv = CKO_PRIVATE_KEY;
        Bytes id = attribute(h, keys[0], CKA_ID);
        privateKey = find(h, {{CKA_CLASS, &priv, sizeof priv}, {CKA_ID, id.data(), id.size()}}).at(0);
        CK_OBJECT_CLASS pub = CKO_PUBLIC_KEY;
        publicKey = find(h, {{CKA_CLASS, &pub, sizeof pub}, {CKA_ID, id.data(), id.size()}}).at(0);
    }

    Bytes sign(CK_MECHANISM_TYPE mechanism, const Bytes& data) {
        CK_MECHANISM mech{mechanism, nullptr, 0};
        EXPECT_EQ(p11->C_SignInit(h, &mech, privateKey), CKR_OK);
        CK_ULONG length = 0;
        EXPECT_EQ(p11->C_Sign(h, const_cast<CK_BYTE*>(data.data()), data.size(), nullptr, &length), CKR_OK);
        Bytes signature(length);
        EXPECT_EQ(p11->C_Sign(h, const_cast<CK_BYTE*>(data.data()), data.size(), signature.data(), &length), CKR_OK);
        signature.resize(length);
        return signature;
    }
    CK_RV verify(CK_MECHANISM_TYPE mechanism, const Bytes& data, const Bytes& signature) {
        CK_MECHANISM mech{mechanism, nullptr, 0};
        EXPECT_EQ(p11->C_VerifyInit(h, &mech, publicKey), CKR_OK);
        return p11->C_Verify(h, const_cast<CK_BYTE*>(data.data()), data.size(), const_cast<CK_BYTE*>(signature.data()),
                             signature.size());
    }

    std::shared_ptr<FakeCardState> card;
    CK_SESSION_HANDLE h = 0;
    CK_OBJECT_HANDLE privateKey = 0, publicKey = 0;
};

Bytes sha256(const Bytes& data) {
    Bytes out(32);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha256(), nullptr);
    return out;
}

TEST_F(SigningTest, HashingMechanismSendsTheHashAndVerifies) {
    Bytes data = bytesOf("document to sign");
    Bytes signature = sign(CKM_SHA256_RSA_PKCS, data);
    ASSERT_EQ(signature.size(), 128u);
    ASSERT_EQ(card->signRequests.size(), 1u);
    EXPECT_EQ(card->signRequests[0].hash, HashAlg::sha256);
    EXPECT_EQ(card->signRequests[0].input, sha256(data));
    EXPECT_EQ(card->signRequests[0].role, KeyRole::sign);
    EXPECT_EQ(card->signRequests[0].keyReference, 1);

    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, data, signature), CKR_OK);
    Bytes tampered = signature;
    tampered[10] ^= 0x01;
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, data, tampered), CKR_SIGNATURE_INVALID);
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, data, Bytes(signature.begin(), signature.end() - 1)),
              CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(verify(CKM_SHA1_RSA_PKCS, data, signature), CKR_SIGNATURE_INVALID);
}

TEST_F(SigningTest, RawMechanismTakesTheDigestInfoApart) {
    Bytes digestInfo = digestInfoPrefix(HashAlg::sha256);
    Bytes hash = sha256(bytesOf("x"));
    digestInfo.insert(digestInfo.end(), hash.begin(), hash.end());
    Bytes signature = sign(CKM_RSA_PKCS, digestInfo);
    ASSERT_EQ(card->signRequests.size(), 1u);
    EXPECT_EQ(card->signRequests[0].hash, HashAlg::sha256);
    EXPECT_EQ(card->signRequests[0].input, hash);
    EXPECT_EQ(verify(CKM_RSA_PKCS, digestInfo, signature), CKR_OK);
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, bytesOf("x"), signature), CKR_OK);

    // The signature key cannot sign a block that is no SHA-1 or SHA-256 DigestInfo.
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(h, &mech, privateKey), CKR_OK);
    CK_BYTE raw[20] = {1, 2, 3};
    CK_BYTE out[128];
    CK_ULONG length = sizeof out;
    EXPECT_EQ(p11->C_Sign(h, raw, sizeof raw, out, &length), CKR_DATA_INVALID);
    EXPECT_EQ(p11->C_Sign(h, raw, sizeof raw, out, &length), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(SigningTest, OperationRulesAroundSign) {
    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_MECHANISM unknown{CKM_MD5_RSA_PKCS, nullptr, 0};
    CK_BYTE param = 0;
    CK_MECHANISM withParameter{CKM_SHA256_RSA_PKCS, &param, 1};
    EXPECT_EQ(p11->C_SignInit(h, &unknown, privateKey), CKR_MECHANISM_INVALID);
    EXPECT_EQ(p11->C_SignInit(h, &withParameter, privateKey), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(p11->C_SignInit(h, &mech, publicKey), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(p11->C_SignInit(h, &mech, 424242), CKR_KEY_HANDLE_INVALID);

    ASSERT_EQ(p11->C_SignInit(h, &mech, privateKey), CKR_OK);
    EXPECT_EQ(p11->C_SignInit(h, &mech, privateKey), CKR_OPERATION_ACTIVE);
    CK_BYTE data[] = "abc";
    CK_BYTE small[16];
    CK_ULONG length = sizeof small;
    EXPECT_EQ(p11->C_Sign(h, data, 3, small, &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 128u);
    EXPECT_TRUE(card->signRequests.empty()) << "a buffer too small keeps the operation and asks nothing of the card";
    Bytes multi(128);
    ASSERT_EQ(p11->C_SignUpdate(h, data, 1), CKR_OK);
    ASSERT_EQ(p11->C_SignUpdate(h, data + 1, 2), CKR_OK);
    ASSERT_EQ(p11->C_SignFinal(h, multi.data(), &length), CKR_OK);
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, Bytes(data, data + 3), multi), CKR_OK);

    ASSERT_EQ(p11->C_Logout(h), CKR_OK);
    EXPECT_EQ(p11->C_SignInit(h, &mech, privateKey), CKR_USER_NOT_LOGGED_IN) << "the key is private again";
}

TEST_F(SigningTest, EveryEndOfTheLoginResetsTheCard) {
    ASSERT_EQ(p11->C_Logout(h), CKR_OK);
    EXPECT_EQ(card->resets, 1);
    EXPECT_FALSE(card->pinVerified) << "no other program may use the PIN verified for this one";
    EXPECT_EQ(p11->C_Logout(h), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(card->resets, 1) << "nothing of ours to end";

    // The last session closing ends the login, and C_Finalize too.
    ASSERT_EQ(login(h, "1234"), CKR_OK);
    CK_SESSION_HANDLE second = open();
    ASSERT_EQ(p11->C_CloseSession(h), CKR_OK);
    EXPECT_TRUE(card->pinVerified) << "a session of the login remains";
    ASSERT_EQ(p11->C_CloseSession(second), CKR_OK);
    EXPECT_EQ(card->resets, 2);
    EXPECT_FALSE(card->pinVerified);
    h = open();
    ASSERT_EQ(login(h, "1234"), CKR_OK);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(card->resets, 3);
    EXPECT_FALSE(card->pinVerified);

    // A login another program's reset ended already is not ours to end again: that reset may have
    // been followed by its own login.
    initialize();
    h = open();
    ASSERT_EQ(login(h, "1234"), CKR_OK);
    card->resetPending = true;
    EXPECT_EQ(p11->C_Logout(h), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(card->resets, 3);
}

TEST_F(SigningTest, ResetElsewhereSaysNotLoggedInAndKeepsTheHandles) {
    CK_OBJECT_CLASS priv = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE privateClass{CKA_CLASS, &priv, sizeof priv};
    card->resetPending = true;
    CK_ULONG count = 0;
    CK_OBJECT_HANDLE found[8];
    EXPECT_EQ(p11->C_FindObjectsInit(h, &privateClass, 1), CKR_USER_NOT_LOGGED_IN)
        << "a search must not quietly come back without the private objects";
    ASSERT_EQ(p11->C_FindObjectsInit(h, &privateClass, 1), CKR_OK) << "said once";
    ASSERT_EQ(p11->C_FindObjects(h, found, 8, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(p11->C_FindObjectsFinal(h), CKR_OK);

    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(p11->C_SignInit(h, &mech, privateKey), CKR_USER_NOT_LOGGED_IN);
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(p11->C_GetAttributeValue(h, privateKey, &label, 1), CKR_USER_NOT_LOGGED_IN);
    auto situations = findByLabel(h, "QEL_ACTIVITY_01_PS");
    EXPECT_TRUE(situations.empty());

    // Logged in again, the handles the program kept still name their objects.
    ASSERT_EQ(login(h, "1234"), CKR_OK);
    Bytes data = bytesOf("abc");
    EXPECT_EQ(verify(CKM_SHA256_RSA_PKCS, data, sign(CKM_SHA256_RSA_PKCS, data)), CKR_OK);
    EXPECT_EQ(findByLabel(h, "QEL_ACTIVITY_01_PS").size(), 1u);

    // A signature started before the reset ends with the same answer.
    ASSERT_EQ(p11->C_SignInit(h, &mech, privateKey), CKR_OK);
    card->resetPending = true;
    Bytes out(128);
    CK_ULONG length = out.size();
    EXPECT_EQ(p11->C_Sign(h, data.data(), data.size(), out.data(), &length), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(SigningTest, CardPulledDuringASignatureIsRemovedNotADeviceError) {
    card->pullDuringSign = true;
    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(h, &mech, privateKey), CKR_OK);
    CK_BYTE data[] = "abc";
    Bytes out(128);
    CK_ULONG length = out.size();
    EXPECT_EQ(p11->C_Sign(h, data, 3, out.data(), &length), CKR_DEVICE_REMOVED);
    EXPECT_EQ(p11->C_Sign(h, data, 3, out.data(), &length), CKR_SESSION_HANDLE_INVALID);
    CK_TOKEN_INFO token{};
    EXPECT_EQ(p11->C_GetTokenInfo(0, &token), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_HANDLE none = 0;
    EXPECT_EQ(p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &none), CKR_TOKEN_NOT_PRESENT);
}

TEST_F(SigningTest, CardThatForgotThePinLogsTheUserOut) {
    CK_MECHANISM mech{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(h, &mech, privateKey), CKR_OK);
    card->resetPending = true;
    CK_BYTE data[] = "abc";
    Bytes out(128);
    CK_ULONG length = out.size();
    EXPECT_EQ(p11->C_Sign(h, data, 3, out.data(), &length), CKR_USER_NOT_LOGGED_IN);
    CK_SESSION_INFO info{};
    ASSERT_EQ(p11->C_GetSessionInfo(h, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
}

TEST_F(ModuleTest, RemovalClosesTheSessionsAndReinsertionBuildsAFreshToken) {
    insert(CardGeneration::QEL3);
    initialize();
    CK_SESSION_HANDLE h = open();
    ASSERT_EQ(login(h, "1234"), CKR_OK);
    auto objects = findByLabel(h, "QEL_NAME_PS");
    ASSERT_EQ(objects.size(), 1u);

    world->remove(kReaderA);
    CK_SESSION_INFO info{};
    EXPECT_EQ(p11->C_GetSessionInfo(h, &info), CKR_DEVICE_REMOVED);
    EXPECT_EQ(p11->C_GetSessionInfo(h, &info), CKR_SESSION_HANDLE_INVALID);
    CK_TOKEN_INFO token{};
    EXPECT_EQ(p11->C_GetTokenInfo(0, &token), CKR_TOKEN_NOT_PRESENT);

    // Swapped between two calls: the session still dies, even though a card is present.
    insert(CardGeneration::QEL3);
    CK_SESSION_HANDLE second = open();
    insert(CardGeneration::QEL4);
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_FindObjectsInit(second, nullptr, 0), CKR_DEVICE_REMOVED);
    EXPECT_EQ(p11->C_FindObjects(second, nullptr, 0, &count), CKR_SESSION_HANDLE_INVALID);

    CK_SESSION_HANDLE third = open();
    ASSERT_EQ(p11->C_GetSessionInfo(third, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION) << "a new card starts logged out";
    CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(p11->C_GetAttributeValue(third, objects[0], &label, 1), CKR_OBJECT_HANDLE_INVALID);
    ASSERT_EQ(p11->C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(std::string(token.label, token.label + 4), "QEL4");
}

TEST_F(ModuleTest, TransmitMessageRelaysTheCommandAndRefreshesHolderData) {
    auto card = insert(CardGeneration::QEL3);
    initialize();
    CK_SESSION_HANDLE h = open();
    auto name = findByLabel(h, "QEL_NAME_PS");
    ASSERT_EQ(name.size(), 1u);

    CK_BYTE apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x0C};
    CK_BYTE response[512];
    CK_ULONG length = sizeof response;
    ASSERT_EQ(C_TransmitMessage(h, apdu, sizeof apdu, response, &length, CK_FALSE), CKR_OK);
    EXPECT_EQ(Bytes(response, response + length), (Bytes{0x01, 0x02, 0x90, 0x00}));
    ASSERT_EQ(card->rawCommands.size(), 1u);
    EXPECT_EQ(card->rawCommands[0], Bytes(apdu, apdu + sizeof apdu));
    length = 2;
    EXPECT_EQ(C_TransmitMessage(h, apdu, sizeof apdu, response, &length, CK_TRUE), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(C_TransmitMessage(h, apdu, 3, response, &length, CK_FALSE), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_TransmitMessage(h + 1, apdu, sizeof apdu, response, &length, CK_FALSE), CKR_SESSION_HANDLE_INVALID);

    // An update rewrote the name file: the same object shows the new value.
    card->files[holderFilePath(0xD002)] = tlv(0xE4, tlv(0x81, bytesOf("MARTIN")));
    EXPECT_EQ(attribute(h, name[0], CKA_VALUE), tlv(0xE4, tlv(0x81, bytesOf("MARTIN"))));
}

TEST_F(ModuleTest, RandomBytesComeFromTheCardInItsChunks) {
    auto card = insert(CardGeneration::QEL4);
    initialize();
    CK_SESSION_HANDLE h = open();
    Bytes random(20, 0x00);
    ASSERT_EQ(p11->C_GenerateRandom(h, random.data(), random.size()), CKR_OK);
    EXPECT_EQ(card->challenges, 3) << "the fake card hands out 8 bytes at a time";
    EXPECT_NE(random, Bytes(20, 0x00));
    EXPECT_EQ(p11->C_GenerateRandom(h, random.data(), 0), CKR_OK);
    EXPECT_EQ(card->challenges, 3);
}

TEST_F(ModuleTest, SlotEventsReportInsertionsAndRemovals) {
    initialize();
    CK_SLOT_ID slot = 99;
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    insert(CardGeneration::QEL3, kReaderB);
    ASSERT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    world->remove(kReaderB);
    ASSERT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 1u);
}

TEST_F(ModuleTest, TraceSwitchWritesOneLinePerCallWithoutThePin) {
    std::string dir = userdirs::configHome() + "/oberlane/QEL";
    ASSERT_TRUE(userdirs::makeDirs(dir));
    std::ofstream(dir + "/qel3_pkcs11.conf") << "Traces\n{\n  active = true;\n  debug = 10;\n}";
    std::remove(traceFilePath().c_str());
    insert(CardGeneration::QEL3);
    initialize();
    CK_SESSION_HANDLE h = open();
    EXPECT_EQ(login(h, "9876"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(h, "1234"), CKR_OK);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    std::ofstream(dir + "/qel3_pkcs11.conf") << "Traces\n{\n  active = false;\n  debug = 0;\n}";

    std::ifstream in(traceFilePath());
    std::stringstream text;
    text << in.rdbuf();
    std::string trace = text.str();
    EXPECT_NE(trace.find("C_OpenSession("), std::string::npos);
    EXPECT_NE(trace.find("C_Login(hSession=1, userType=1, pPin=FFFFFFFF) = CKR_PIN_INCORRECT"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find(") = CKR_OK"), std::string::npos);
    EXPECT_EQ(trace.find("9876"), std::string::npos);
    EXPECT_EQ(trace.find("1234"), std::string::npos);
}

TEST_F(ModuleTest, ConcurrentCallersOnTwoSlots) {
    insert(CardGeneration::QEL3, kReaderA);
    insert(CardGeneration::QEL4, kReaderB);
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(p11->C_Initialize(&args), CKR_OK);
    std::atomic<int> failures{0};
    auto worker = [&](CK_SLOT_ID slot) {
        for (int i = 0; i < 20; ++i) {
            CK_SESSION_HANDLE h = 0;
            if (p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK) ++failures;
            CK_TOKEN_INFO info{};
            if (p11->C_GetTokenInfo(slot, &info) != CKR_OK) ++failures;
            CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
            CK_ATTRIBUTE templ{CKA_CLASS, &cert, sizeof cert};
            CK_OBJECT_HANDLE found[4];
            CK_ULONG n = 0;
            if (p11->C_FindObjectsInit(h, &templ, 1) != CKR_OK || p11->C_FindObjects(h, found, 4, &n) != CKR_OK ||
                p11->C_FindObjectsFinal(h) != CKR_OK || n != 2)
                ++failures;
            if (p11->C_CloseSession(h) != CKR_OK) ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(worker, static_cast<CK_SLOT_ID>(t % 2));
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace qel::simp11::test
