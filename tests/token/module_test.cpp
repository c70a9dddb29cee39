// The PKCS#11 module through its exported functions, over readers in memory holding virtual cards.
#include <gtest/gtest.h>

#include <openssl/sha.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <future>
#include <thread>

#include "card/qel_card.h"
#include "card/card_error.h"
#include "common/logger.h"
#include "tests/token/fake_readers.h"
#include "tests/token/pin_free_signature.h"
#include "tests/token/virtual_cards.h"
#include "token/p11/module_registry.h"

namespace qel {
namespace {

using sim::Generation;
using sim::ReaderKind;

const char* kContact = "Contact reader 00";
const char* kOther = "Contactless reader 01";

CK_FUNCTION_LIST_PTR functions() {
    CK_FUNCTION_LIST_PTR f = nullptr;
    C_GetFunctionList(&f);
    return f;
}

std::shared_ptr<sim::QelCardModel> newCard(Generation g, ReaderKind kind = ReaderKind::contact) {
    return sim::loadQelCardModel(testing::VirtualCards::instance().card(g), kind);
}

Bytes attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (C_GetAttributeValue(s, o, &a, 1) != CKR_OK) return {};
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    C_GetAttributeValue(s, o, &a, 1);
    return value;
}

std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE> tmpl) {
    std::vector<CK_OBJECT_HANDLE> found(64);
    CK_ULONG n = 0;
    EXPECT_EQ(C_FindObjectsInit(s, tmpl.data(), tmpl.size()), CKR_OK);
    EXPECT_EQ(C_FindObjects(s, found.data(), found.size(), &n), CKR_OK);
    EXPECT_EQ(C_FindObjectsFinal(s), CKR_OK);
    found.resize(n);
    return found;
}

std::vector<CK_OBJECT_HANDLE> ofClass(CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
    return find(s, {{CKA_CLASS, &cls, sizeof cls}});
}

// Another program's connection to the same card: its commands reach the card as they are.
class SharedConnection : public SmartCard {
public:
    explicit SharedConnection(sim::QelCardModel& model) : model_(model) {}
    Bytes atr() const override { return model_.atr(); }
    Bytes transmit(const Bytes& apdu) override { return model_.processApdu(apdu); }
    void beginSession() override {}
    void endSession() override {}

private:
    sim::QelCardModel& model_;
};

// The same, through a connection of its own to the model.
int signatureWithoutPin(sim::QelCardModel& model) {
    SharedConnection connection(model);
    return sigillatest::signatureWithoutPin(connection);
}

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        readers_ = std::make_shared<testing::FakeReaders>();
        readers_->addReader(kContact);
        readers_->addReader(kOther);
        auto readers = readers_;
        p11::setReaderServiceFactory([readers] { return readers; });
        ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override {
        C_Finalize(nullptr);
        p11::setReaderServiceFactory(nullptr);
    }

    CK_SESSION_HANDLE open(CK_SLOT_ID slot = 0) {
        CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
        EXPECT_EQ(C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_OK);
        return s;
    }
    CK_RV login(CK_SESSION_HANDLE s, const char* pin = "1234") {
        return C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
    }
    CK_RV sign(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM mechanism, Bytes data, Bytes& signature) {
        if (CK_RV rv = C_SignInit(s, &mechanism, key); rv != CKR_OK) return rv;
        CK_ULONG len = 0;
        if (CK_RV rv = C_Sign(s, data.data(), data.size(), nullptr, &len); rv != CKR_OK) return rv;
        signature.resize(len);
        CK_RV rv = C_Sign(s, data.data(), data.size(), signature.data(), &len);
        signature.resize(rv == CKR_OK ? len : 0);
        return rv;
    }
    // The private key whose certificate allows the given usage: the first one, or one that deciphers.
    CK_OBJECT_HANDLE privateKey(CK_SESSION_HANDLE s, bool decipher = false) {
        for (CK_OBJECT_HANDLE k : ofClass(s, CKO_PRIVATE_KEY))
            if (!decipher || attribute(s, k, CKA_DECRYPT) == Bytes{CK_TRUE}) return k;
        return CK_INVALID_HANDLE;
    }
    Bytes certificateOf(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key) {
        Bytes id = attribute(s, key, CKA_ID);
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        auto certs = find(s, {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id.data(), id.size()}});
        return certs.size() == 1 ? attribute(s, certs[0], CKA_VALUE) : Bytes{};
    }

    std::shared_ptr<testing::FakeReaders> readers_;
};

TEST(ModuleBoundary, ChecksItsArgumentsAndItsState) {
    CK_INFO info;
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_NE(functions(), nullptr);
    EXPECT_EQ(functions()->version.major, 2);
    EXPECT_EQ(functions()->version.minor, 40);
    EXPECT_EQ(functions()->C_WaitForSlotEvent, &C_WaitForSlotEvent);
    EXPECT_EQ(C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);

    auto fakeCreate = [](CK_VOID_PTR_PTR) -> CK_RV { return CKR_OK; };
    auto fakeMutex = [](CK_VOID_PTR) -> CK_RV { return CKR_OK; };
    CK_C_INITIALIZE_ARGS args{};
    args.pReserved = &args;
    EXPECT_EQ(C_Initialize(&args), CKR_ARGUMENTS_BAD);
    args = CK_C_INITIALIZE_ARGS{};
    args.CreateMutex = fakeCreate;
    EXPECT_EQ(C_Initialize(&args), CKR_ARGUMENTS_BAD);
    args.DestroyMutex = fakeMutex;
    args.LockMutex = fakeMutex;
    args.UnlockMutex = fakeMutex;
    EXPECT_EQ(C_Initialize(&args), CKR_CANT_LOCK);
    args.flags = CKF_OS_LOCKING_OK;
    auto readers = std::make_shared<testing::FakeReaders>();
    p11::setReaderServiceFactory([readers] { return readers; });
    ASSERT_EQ(C_Initialize(&args), CKR_OK);
    EXPECT_EQ(C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);

    CK_SESSION_HANDLE session;
    CK_SLOT_ID slot;
    CK_ULONG len = 0;
    EXPECT_EQ(C_GetInfo(nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetSlotInfo(0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetTokenInfo(0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(C_WaitForSlotEvent(0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_WaitForSlotEvent(0, &slot, &slot), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Login(1, CKU_USER, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_FindObjectsInit(1, nullptr, 2), CKR_ARGUMENTS_BAD);
    CK_ATTRIBUTE noValue{CKA_LABEL, nullptr, 3};
    EXPECT_EQ(C_FindObjectsInit(1, &noValue, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_FindObjects(1, nullptr, 4, &len), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_SignInit(1, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Sign(1, nullptr, 4, nullptr, &len), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Sign(1, nullptr, 0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Decrypt(1, nullptr, 0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_CloseSession(99), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_GenerateRandom(1, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GenerateRandom(1, nullptr, 0), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
    EXPECT_EQ(C_Finalize(&args), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
    p11::setReaderServiceFactory(nullptr);
}

// Hosts ask for the newest interface first and fall back to the function list of 2.40.
TEST(ModuleBoundary, OffersThePkcs11InterfaceInVersionsThreeAndTwoForty) {
    CK_ULONG count = 0;
    EXPECT_EQ(C_GetInterfaceList(nullptr, nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_GetInterfaceList(nullptr, &count), CKR_OK);
    ASSERT_EQ(count, 2u);
    CK_INTERFACE list[2];
    count = 1;
    EXPECT_EQ(C_GetInterfaceList(list, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(C_GetInterfaceList(list, &count), CKR_OK);
    for (const CK_INTERFACE& i : list) EXPECT_STREQ(reinterpret_cast<const char*>(i.pInterfaceName), "PKCS 11");

    // No name and no version: the newest. Each version by name, the older one being C_GetFunctionList's.
    CK_INTERFACE_PTR found = nullptr;
    EXPECT_EQ(C_GetInterface(nullptr, nullptr, nullptr, 0), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(C_GetInterface(nullptr, nullptr, &found, 0), CKR_OK);
    const auto* v30 = static_cast<CK_FUNCTION_LIST_3_0*>(found->pFunctionList);
    EXPECT_EQ(v30->version.major, 3);
    EXPECT_EQ(v30->version.minor, 0);
    CK_UTF8CHAR name[] = "PKCS 11";
    CK_VERSION version{3, 0};
    ASSERT_EQ(C_GetInterface(name, &version, &found, 0), CKR_OK);
    EXPECT_EQ(found->pFunctionList, v30);
    version = {2, 40};
    ASSERT_EQ(C_GetInterface(name, &version, &found, 0), CKR_OK);
    EXPECT_EQ(found->pFunctionList, functions());
    // What is not offered: another name, another version, a fork-safe interface.
    CK_UTF8CHAR other[] = "Vendor";
    EXPECT_EQ(C_GetInterface(other, nullptr, &found, 0), CKR_ARGUMENTS_BAD);
    version = {2, 20};
    EXPECT_EQ(C_GetInterface(name, &version, &found, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_GetInterface(nullptr, nullptr, &found, CKF_INTERFACE_FORK_SAFE), CKR_ARGUMENTS_BAD);

    // The 3.0 list holds the 2.40 functions and the new ones; the message functions need an
    // initialised module like any other, and the card has none of them.
    EXPECT_EQ(v30->C_Sign, &C_Sign);
    EXPECT_EQ(v30->C_WaitForSlotEvent, &C_WaitForSlotEvent);
    EXPECT_EQ(v30->C_LoginUser, &C_LoginUser);
    EXPECT_EQ(v30->C_MessageVerifyFinal, &C_MessageVerifyFinal);
    CK_INFO info;
    EXPECT_EQ(v30->C_SessionCancel(1, CKF_SIGN), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(v30->C_MessageSignInit(1, nullptr, 1), CKR_CRYPTOKI_NOT_INITIALIZED);
    auto readers = std::make_shared<testing::FakeReaders>();
    p11::setReaderServiceFactory([readers] { return readers; });
    ASSERT_EQ(v30->C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(v30->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 3);
    EXPECT_EQ(info.cryptokiVersion.minor, 0);
    ASSERT_EQ(functions()->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    CK_BYTE data[4] = {};
    CK_ULONG length = sizeof data;
    EXPECT_EQ(v30->C_MessageEncryptInit(1, nullptr, 1), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(v30->C_DecryptMessage(1, nullptr, 0, nullptr, 0, data, 4, data, &length), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(v30->C_SignMessageNext(1, nullptr, 0, data, 4, data, &length), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(v30->C_MessageVerifyFinal(1), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(v30->C_SessionCancel(1, CKF_SIGN), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(v30->C_Finalize(nullptr), CKR_OK);
    p11::setReaderServiceFactory(nullptr);
}

TEST_F(ModuleTest, PublishesCertificateAndKeyPairsSharingTheirId) {
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    CK_SESSION_HANDLE s;
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s), CKR_TOKEN_NOT_PRESENT);

    readers_->insert(kContact, newCard(Generation::QEL3));
    CK_SLOT_ID slots[4];
    count = 4;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(slots[0], 0u);
    CK_TOKEN_INFO token;
    ASSERT_EQ(C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.label), 25), "QEL3 80250000011234567890");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.serialNumber), 16), "0000011234567890");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.model), 4), "QEL3");
    EXPECT_TRUE(token.flags & CKF_LOGIN_REQUIRED);
    EXPECT_TRUE(token.flags & CKF_TOKEN_INITIALIZED);

    s = open();
    // Keys that need the PIN are private objects: applications see them once logged in.
    EXPECT_TRUE(ofClass(s, CKO_PRIVATE_KEY).empty());
    ASSERT_EQ(login(s), CKR_OK);
    const auto certificates = ofClass(s, CKO_CERTIFICATE);
    const auto privateKeys = ofClass(s, CKO_PRIVATE_KEY);
    const auto publicKeys = ofClass(s, CKO_PUBLIC_KEY);
    ASSERT_GE(certificates.size(), 2u);
    EXPECT_EQ(privateKeys.size(), certificates.size());
    EXPECT_EQ(publicKeys.size(), certificates.size());
    for (std::size_t i = 0; i < certificates.size(); ++i) {
        const Bytes id = attribute(s, certificates[i], CKA_ID);
        EXPECT_EQ(attribute(s, privateKeys[i], CKA_ID), id);
        EXPECT_EQ(attribute(s, publicKeys[i], CKA_ID), id);
        EXPECT_FALSE(attribute(s, certificates[i], CKA_SUBJECT).empty());
        EXPECT_FALSE(attribute(s, certificates[i], CKA_ISSUER).empty());
        EXPECT_EQ(attribute(s, certificates[i], CKA_SERIAL_NUMBER).at(0), 0x02);
        EXPECT_EQ(attribute(s, privateKeys[i], CKA_MODULUS), attribute(s, publicKeys[i], CKA_MODULUS));
        EXPECT_EQ(attribute(s, privateKeys[i], CKA_MODULUS).size(), 128u);
        EXPECT_EQ(attribute(s, privateKeys[i], CKA_SIGN), Bytes{CK_TRUE});
        EXPECT_EQ(attribute(s, privateKeys[i], CKA_PRIVATE), Bytes{CK_TRUE});
        EXPECT_EQ(attribute(s, certificates[i], CKA_PRIVATE), Bytes{CK_FALSE});
        // Clients pick keys by usage: the public half follows the certificate (signature:
        // non-repudiation only; authentication: also key encipherment).
        EXPECT_EQ(attribute(s, publicKeys[i], CKA_VERIFY), Bytes{CK_TRUE});
        EXPECT_EQ(attribute(s, publicKeys[i], CKA_ENCRYPT), attribute(s, privateKeys[i], CKA_DECRYPT));
        const Bytes value = attribute(s, certificates[i], CKA_VALUE);
        unsigned char sha1[SHA_DIGEST_LENGTH];
        SHA1(value.data(), value.size(), sha1);
        EXPECT_EQ(attribute(s, certificates[i], CKA_CHECK_VALUE), Bytes(sha1, sha1 + 3));
        EXPECT_EQ(attribute(s, certificates[i], CKA_START_DATE).size(), 8u);
        EXPECT_EQ(attribute(s, certificates[i], CKA_END_DATE), attribute(s, publicKeys[i], CKA_END_DATE));
        CK_ULONG bits = 0;
        CK_ATTRIBUTE bitsAttr{CKA_MODULUS_BITS, &bits, sizeof bits};
        EXPECT_EQ(C_GetAttributeValue(s, publicKeys[i], &bitsAttr, 1), CKR_OK);
        EXPECT_EQ(bits, 1024u);
    }
    EXPECT_NE(attribute(s, publicKeys[0], CKA_ENCRYPT), attribute(s, publicKeys[1], CKA_ENCRYPT));
    // Random bytes come from the card, in as many GET CHALLENGEs as needed.
    Bytes random(37, 0);
    ASSERT_EQ(C_GenerateRandom(s, random.data(), random.size()), CKR_OK);
    EXPECT_NE(random, Bytes(37, 0));
    EXPECT_EQ(C_SeedRandom(s, random.data(), 4), CKR_RANDOM_SEED_NOT_SUPPORTED);
    EXPECT_TRUE(token.flags & CKF_RNG);
    CK_MECHANISM_INFO mechanism{};
    ASSERT_EQ(C_GetMechanismInfo(0, CKM_RSA_PKCS, &mechanism), CKR_OK);
    EXPECT_EQ(mechanism.flags, CKF_HW | CKF_SIGN | CKF_DECRYPT);
    EXPECT_EQ(mechanism.ulMinKeySize, 1024u);
    EXPECT_EQ(mechanism.ulMaxKeySize, 1024u);
    EXPECT_EQ(C_GetMechanismInfo(0, CKM_SHA256_RSA_PKCS_PSS, &mechanism), CKR_MECHANISM_INVALID);
    CK_ATTRIBUTE secret{CKA_PRIVATE_EXPONENT, nullptr, 0};
    EXPECT_EQ(C_GetAttributeValue(s, privateKeys[0], &secret, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(secret.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    CK_BYTE small[2];
    CK_ATTRIBUTE label{CKA_LABEL, small, sizeof small};
    EXPECT_EQ(C_GetAttributeValue(s, privateKeys[0], &label, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(C_GetAttributeValue(s, 424242, &label, 1), CKR_OBJECT_HANDLE_INVALID);
    // Pairing by identifier: an application asks for the key of a certificate.
    Bytes id = attribute(s, certificates[1], CKA_ID);
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    EXPECT_EQ(find(s, {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id.data(), id.size()}}),
              std::vector<CK_OBJECT_HANDLE>{privateKeys[1]});
}

TEST_F(ModuleTest, LoginGuardsTheKeysAndSignaturesVerify) {
    readers_->insert(kContact, newCard(Generation::QEL3));
    CK_SESSION_HANDLE s = open();
    EXPECT_EQ(login(s, "12"), CKR_PIN_LEN_RANGE);
    // The third generation's VERIFY block holds a 4-character PIN and its FF filler, nothing longer.
    const int exchanges = readers_->exchanges();
    EXPECT_EQ(login(s, "12345"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(login(s, "12345678"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(readers_->exchanges(), exchanges);
    CK_TOKEN_INFO token;
    ASSERT_EQ(C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(token.ulMinPinLen, 4u);
    EXPECT_EQ(token.ulMaxPinLen, 4u);
    EXPECT_EQ(login(s, "4321"), CKR_PIN_INCORRECT);
    EXPECT_EQ(C_Login(s, CKU_SO, (CK_UTF8CHAR_PTR) "1234", 4), CKR_USER_TYPE_INVALID);
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_EQ(login(s), CKR_USER_ALREADY_LOGGED_IN);
    const CK_OBJECT_HANDLE key = privateKey(s);
    const Bytes certificate = certificateOf(s, key);
    Bytes signature;
    CK_SESSION_INFO info;
    ASSERT_EQ(C_GetSessionInfo(s, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);

    const Bytes message{'q', 'e', 'l'};
    ASSERT_EQ(sign(s, key, {CKM_SHA256_RSA_PKCS, nullptr, 0}, message, signature), CKR_OK);
    EXPECT_TRUE(testing::verifySignature(certificate, testing::sha("SHA256", message), signature, "SHA256", false));

    // CKM_RSA_PKCS takes the DigestInfo and signs the hash it carries.
    Bytes digestInfo{0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    const Bytes sha1 = testing::sha("SHA1", message);
    digestInfo.insert(digestInfo.end(), sha1.begin(), sha1.end());
    ASSERT_EQ(sign(s, key, {CKM_RSA_PKCS, nullptr, 0}, digestInfo, signature), CKR_OK);
    EXPECT_TRUE(testing::verifySignature(certificate, sha1, signature, "SHA1", false));
    EXPECT_EQ(sign(s, key, {CKM_RSA_PKCS, nullptr, 0}, message, signature), CKR_DATA_INVALID);

    // Several parts, and the two-call convention.
    CK_MECHANISM mechanism{CKM_SHA1_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(C_SignInit(s, &mechanism, key), CKR_OK);
    EXPECT_EQ(C_SignInit(s, &mechanism, key), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(C_SignUpdate(s, const_cast<CK_BYTE*>(message.data()), 1), CKR_OK);
    ASSERT_EQ(C_SignUpdate(s, const_cast<CK_BYTE*>(message.data()) + 1, 2), CKR_OK);
    CK_BYTE shortBuffer[16];
    CK_ULONG len = sizeof shortBuffer;
    EXPECT_EQ(C_SignFinal(s, shortBuffer, &len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 128u);
    signature.assign(len, 0);
    ASSERT_EQ(C_SignFinal(s, signature.data(), &len), CKR_OK);
    EXPECT_TRUE(testing::verifySignature(certificate, sha1, signature, "SHA1", false));
    EXPECT_EQ(C_Sign(s, signature.data(), 1, signature.data(), &len), CKR_OPERATION_NOT_INITIALIZED);

    ASSERT_EQ(C_Logout(s), CKR_OK);
    EXPECT_EQ(sign(s, key, {CKM_SHA256_RSA_PKCS, nullptr, 0}, message, signature), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(C_GetAttributeValue(s, key, nullptr, 0), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ModuleTest, RefusedMechanismsReachNoCard) {
    readers_->insert(kContact, newCard(Generation::QEL3));
    CK_SESSION_HANDLE s = open();
    ASSERT_EQ(login(s), CKR_OK);
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    const int before = readers_->exchanges();
    for (CK_OBJECT_HANDLE key : ofClass(s, CKO_PRIVATE_KEY)) {
        CK_MECHANISM mechanisms[] = {{CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss},
                                     {CKM_RSA_PKCS_PSS, &pss, sizeof pss},
                                     {CKM_SHA384_RSA_PKCS, nullptr, 0},
                                     {CKM_ECDSA, nullptr, 0}};
        for (CK_MECHANISM& m : mechanisms) EXPECT_EQ(C_SignInit(s, &m, key), CKR_MECHANISM_INVALID) << m.mechanism;
    }
    CK_OBJECT_HANDLE certificate = ofClass(s, CKO_CERTIFICATE).front();
    CK_MECHANISM m{CKM_SHA256_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(C_SignInit(s, &m, certificate), CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ(readers_->exchanges(), before);

    CK_MECHANISM_TYPE types[16];
    CK_ULONG count = 16;
    ASSERT_EQ(C_GetMechanismList(0, types, &count), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> offered(types, types + count);
    EXPECT_EQ(std::count(offered.begin(), offered.end(), CKM_RSA_PKCS_PSS), 0);
    EXPECT_EQ(std::count(offered.begin(), offered.end(), CKM_SHA256_RSA_PKCS), 1);
}

TEST_F(ModuleTest, FourthGenerationSignsWithPssAndDeciphers) {
    readers_->insert(kContact, newCard(Generation::QEL4));
    CK_SESSION_HANDLE s = open();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_OBJECT_HANDLE key = privateKey(s, true);
    const Bytes certificate = certificateOf(s, key);
    const Bytes message{'t', 'l', 's'};
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    Bytes signature;
    ASSERT_EQ(sign(s, key, {CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss}, message, signature), CKR_OK);
    EXPECT_TRUE(testing::verifySignature(certificate, testing::sha("SHA256", message), signature, "SHA256", true));
    ASSERT_EQ(sign(s, key, {CKM_RSA_PKCS_PSS, &pss, sizeof pss}, testing::sha("SHA256", message), signature), CKR_OK);
    EXPECT_TRUE(testing::verifySignature(certificate, testing::sha("SHA256", message), signature, "SHA256", true));
    CK_RSA_PKCS_PSS_PARAMS saltless{CKM_SHA256, CKG_MGF1_SHA256, 0};
    EXPECT_EQ(sign(s, key, {CKM_RSA_PKCS_PSS, &saltless, sizeof saltless}, message, signature),
              CKR_MECHANISM_PARAM_INVALID);

    Bytes cryptogram = testing::encryptFor(certificate, {'k', 'e', 'y'});
    CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(C_DecryptInit(s, &rsa, key), CKR_OK);
    CK_BYTE tiny[1];
    CK_ULONG len = sizeof tiny;
    EXPECT_EQ(C_Decrypt(s, cryptogram.data(), cryptogram.size(), tiny, &len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 3u);
    Bytes plain(len);
    ASSERT_EQ(C_Decrypt(s, cryptogram.data(), cryptogram.size(), plain.data(), &len), CKR_OK);
    EXPECT_EQ(plain, (Bytes{'k', 'e', 'y'}));

    // A block whose padding is wrong is an invalid cryptogram, whatever is wrong with it.
    Bytes forged(cryptogram.size(), 0x5A);
    forged[0] = 0x00;
    forged[1] = 0x01;
    forged[forged.size() - 4] = 0x00;
    const Bytes badCryptogram = testing::rawEncryptFor(certificate, forged);
    ASSERT_EQ(C_DecryptInit(s, &rsa, key), CKR_OK);
    len = plain.size();
    EXPECT_EQ(C_Decrypt(s, const_cast<CK_BYTE*>(badCryptogram.data()), badCryptogram.size(), plain.data(), &len),
              CKR_ENCRYPTED_DATA_INVALID);

    // In parts: the cryptogram is gathered, the plain text comes at the end.
    ASSERT_EQ(C_DecryptInit(s, &rsa, key), CKR_OK);
    CK_ULONG partLen = 99;
    ASSERT_EQ(C_DecryptUpdate(s, cryptogram.data(), 100, nullptr, &partLen), CKR_OK);
    EXPECT_EQ(partLen, 0u);
    ASSERT_EQ(C_DecryptUpdate(s, cryptogram.data() + 100, cryptogram.size() - 100, nullptr, &partLen), CKR_OK);
    len = plain.size();
    ASSERT_EQ(C_DecryptFinal(s, plain.data(), &len), CKR_OK);
    EXPECT_EQ(plain, (Bytes{'k', 'e', 'y'}));
}

TEST_F(ModuleTest, ABlockedCardIsReportedLockedWithoutTakingThePin) {
    readers_->insert(kContact, newCard(Generation::QEL4));
    CK_SESSION_HANDLE s = open();
    CK_TOKEN_INFO token;
    ASSERT_EQ(C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(token.ulMaxPinLen, 8u);
    // The fourth generation takes longer PINs as they are: a wrong one is a wrong PIN.
    for (const char* pin : {"0000", "00000", "00000000"}) EXPECT_EQ(login(s, pin), CKR_PIN_INCORRECT) << pin;
    EXPECT_EQ(login(s), CKR_PIN_LOCKED);
    ASSERT_EQ(C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_TRUE(token.flags & CKF_USER_PIN_LOCKED);
}

TEST_F(ModuleTest, LoginTellsABlockedPinFromAFailedExchange) {
    auto card = newCard(Generation::QEL3);
    readers_->insert(kContact, card);
    CK_SESSION_HANDLE s = open();
    auto pinLocked = [] {
        CK_TOKEN_INFO token;
        EXPECT_EQ(C_GetTokenInfo(0, &token), CKR_OK);
        return (token.flags & CKF_USER_PIN_LOCKED) != 0;
    };

    // The master-file selection of the PIN check gets a one-byte answer: the card said nothing
    // about its PIN.
    sim::HostileRule brokenSelect;
    brokenSelect.ins = 0xA4;
    brokenSelect.path = "3F00";
    brokenSelect.action = sim::HostileRule::Action::raw;
    brokenSelect.bytes = Bytes{0x6F};
    brokenSelect.times = 1;
    card->setHostileRules({brokenSelect});
    EXPECT_EQ(login(s), CKR_DEVICE_ERROR);
    EXPECT_FALSE(pinLocked());

    // VERIFY itself finds the PIN blocked (the status object said otherwise a moment before).
    sim::HostileRule blockedVerify;
    blockedVerify.ins = 0x20;
    blockedVerify.action = sim::HostileRule::Action::status;
    blockedVerify.sw = 0x6983;
    blockedVerify.times = 1;
    card->setHostileRules({blockedVerify});
    EXPECT_EQ(login(s), CKR_PIN_LOCKED);
    EXPECT_TRUE(pinLocked());
    card->setHostileRules({});
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_FALSE(pinLocked());
    ASSERT_EQ(C_Logout(s), CKR_OK);

    // The card leaves during the same selection, answering one byte as it goes.
    readers_->removeAfter(kContact, 0, true);
    EXPECT_EQ(login(s), CKR_DEVICE_REMOVED);
    CK_SESSION_INFO info;
    EXPECT_EQ(C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(ModuleTest, ContactlessThirdGenerationSignsWithoutLoginAndNeverDeciphers) {
    readers_->insert(kOther, newCard(Generation::QEL3, ReaderKind::contactless));
    CK_SESSION_HANDLE s = open(1);
    CK_TOKEN_INFO token;
    ASSERT_EQ(C_GetTokenInfo(1, &token), CKR_OK);
    EXPECT_FALSE(token.flags & CKF_LOGIN_REQUIRED);
    for (CK_OBJECT_HANDLE key : ofClass(s, CKO_PRIVATE_KEY)) {
        Bytes signature;
        EXPECT_EQ(sign(s, key, {CKM_SHA256_RSA_PKCS, nullptr, 0}, {1}, signature), CKR_OK);
        EXPECT_EQ(attribute(s, key, CKA_DECRYPT), Bytes{CK_FALSE});
        CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
        EXPECT_EQ(C_DecryptInit(s, &rsa, key), CKR_KEY_FUNCTION_NOT_PERMITTED);
    }
}

TEST_F(ModuleTest, ACardPulledOutMidSignatureClosesTheSlotSessionsAndTheNextCardIsFresh) {
    readers_->insert(kContact, newCard(Generation::QEL3));
    CK_SESSION_HANDLE s = open();
    CK_SESSION_HANDLE other = open();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_OBJECT_HANDLE key = privateKey(s);
    readers_->removeAfter(kContact, 1);
    Bytes signature;
    EXPECT_EQ(sign(s, key, {CKM_SHA256_RSA_PKCS, nullptr, 0}, {1}, signature), CKR_DEVICE_REMOVED);
    CK_SESSION_INFO info;
    EXPECT_EQ(C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(C_GetSessionInfo(other, &info), CKR_SESSION_HANDLE_INVALID);
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 0u);

    readers_->insert(kContact, newCard(Generation::QEL4));
    CK_TOKEN_INFO token;
    ASSERT_EQ(C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(token.model), 4), "QEL4");
    s = open();
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_EQ(C_GetAttributeValue(s, key, nullptr, 0), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(sign(s, privateKey(s), {CKM_SHA256_RSA_PKCS, nullptr, 0}, {1}, signature), CKR_OK);

    // A reader that hands back a broken answer as the card leaves gives the same outcome.
    readers_->removeAfter(kContact, 2, true);
    EXPECT_EQ(sign(s, privateKey(s), {CKM_SHA256_RSA_PKCS, nullptr, 0}, {1}, signature), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);
    readers_->insert(kContact, newCard(Generation::QEL4));
    s = open();

    // A card swapped between two calls is noticed before it is used.
    readers_->remove(kContact);
    readers_->insert(kContact, newCard(Generation::QEL4));
    EXPECT_EQ(C_FindObjectsInit(s, nullptr, 0), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);
}

// A child forked while another thread of its parent logs must find the logger free: it initialises
// the module and logs. A child stuck on a lock held at the fork is ended by its alarm.
// A host that keeps the module for hours sees pcscd restart under it: the session it held ends as
// a removal (its login went with the card's power), and the next session signs on a fresh token.
TEST_F(ModuleTest, TheSmartCardServiceRestartingEndsTheSessionsAndTheNextSessionSigns) {
    readers_->insert(kContact, newCard(Generation::QEL3));
    CK_SESSION_HANDLE s = open();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_MECHANISM sha256{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_OBJECT_HANDLE key = privateKey(s);
    Bytes signature;
    ASSERT_EQ(sign(s, key, sha256, Bytes{1}, signature), CKR_OK);

    readers_->restartService();
    EXPECT_EQ(sign(s, key, sha256, Bytes{2}, signature), CKR_DEVICE_REMOVED);
    CK_SESSION_INFO info;
    EXPECT_EQ(C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);

    s = open();
    ASSERT_EQ(login(s), CKR_OK);
    key = privateKey(s);
    ASSERT_EQ(sign(s, key, sha256, Bytes{3}, signature), CKR_OK);
    EXPECT_TRUE(
        testing::verifySignature(certificateOf(s, key), testing::sha("SHA256", Bytes{3}), signature, "SHA256", false));
}

TEST_F(ModuleTest, AChildForkedWhileAnotherThreadLogsInitialisesAndLogs) {
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) logDebug("Sigilla : a line of the parent");
    });
    int stuckOrFailed = 0;
    for (int i = 0; i < 30; ++i) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(30);
            if (C_Initialize(nullptr) != CKR_OK) _exit(2);
            logInfo("Sigilla : a line of the child");
            CK_ULONG count = 0;
            if (C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_OK) _exit(3);
            C_Finalize(nullptr);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++stuckOrFailed;
    }
    stop = true;
    busy.join();
    EXPECT_EQ(stuckOrFailed, 0);
}

class ServiceThatCannotCancel : public testing::FakeReaders {
public:
    void cancelWaits() override { throw std::runtime_error("the service went away"); }
};

TEST_F(ModuleTest, FinalizeSaysWhatItCouldNotDo) {
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    auto failing = std::make_shared<ServiceThatCannotCancel>();
    p11::setReaderServiceFactory([failing] { return failing; });
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
    std::ifstream in(Logger::currentFilePath());
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("C_Finalize could not end the waits for slot events : the service went away"),
              std::string::npos);
    auto readers = readers_;
    p11::setReaderServiceFactory([readers] { return readers; });
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
}

// Another program's reset is no insertion event, yet the card may hold other contents after it (an
// update rewrote it). The same card keeps its sessions without the PIN it forgot; a renewed card is
// a new token that lists its new certificate, with no reinsertion.
TEST_F(ModuleTest, ACardResetByAnotherProgramIsReadAgainAndARenewedCardIsANewToken) {
    readers_->insert(kContact, newCard(Generation::QEL3));
    CK_SESSION_HANDLE s = open();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_OBJECT_HANDLE key = privateKey(s);
    const Bytes before = certificateOf(s, key);
    ASSERT_FALSE(before.empty());
    const CK_MECHANISM sha256{CKM_SHA256_RSA_PKCS, nullptr, 0};
    Bytes signature;

    readers_->resetByOther(kContact);
    EXPECT_EQ(ofClass(s, CKO_PRIVATE_KEY).size(), 0u);
    CK_SESSION_INFO info;
    ASSERT_EQ(C_GetSessionInfo(s, &info), CKR_OK);
    EXPECT_EQ(info.state, static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_EQ(certificateOf(s, key), before);
    EXPECT_EQ(sign(s, key, sha256, {1}, signature), CKR_OK);

    readers_->resetByOther(kContact, sim::loadQelCardModel(testing::VirtualCards::instance().renewed(Generation::QEL3),
                                                           ReaderKind::contact));
    EXPECT_EQ(C_FindObjectsInit(s, nullptr, 0), CKR_DEVICE_REMOVED);
    EXPECT_EQ(C_GetSessionInfo(s, &info), CKR_SESSION_HANDLE_INVALID);
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    s = open();
    ASSERT_EQ(login(s), CKR_OK);
    const CK_OBJECT_HANDLE renewedKey = privateKey(s);
    const Bytes renewed = certificateOf(s, renewedKey);
    EXPECT_FALSE(renewed.empty());
    EXPECT_NE(renewed, before);
    ASSERT_EQ(sign(s, renewedKey, sha256, {1}, signature), CKR_OK);
    Bytes hash(SHA256_DIGEST_LENGTH);
    const std::uint8_t one = 1;
    SHA256(&one, 1, hash.data());
    EXPECT_TRUE(testing::verifySignature(renewed, hash, signature, "SHA256", false));

    // A reset between two commands of the token's reading (a file selected, not read yet): the card
    // is read again, not reported tokenless.
    for (int exchanges : {4, 9, 14}) {
        readers_->remove(kContact);
        testing::forgetCachedFiles();
        readers_->insert(kContact, newCard(Generation::QEL4));
        readers_->resetAfter(kContact, exchanges);
        ASSERT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
        EXPECT_EQ(count, 1u) << "reset after " << exchanges << " commands";
    }
}

// The card keeps a verified PIN for every program that shares it: each way a login ends resets it.
TEST_F(ModuleTest, TheCardForgetsThePinWhenTheLoginEnds) {
    auto card = newCard(Generation::QEL4);
    readers_->insert(kContact, card);
    CK_SESSION_HANDLE s = open();
    const CK_SESSION_HANDLE other = open();
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(*card), 0x9000);
    ASSERT_EQ(C_Logout(s), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(*card), 0x6982);

    // The reset card takes the PIN again and signs.
    ASSERT_EQ(login(s), CKR_OK);
    Bytes signature;
    EXPECT_EQ(sign(s, privateKey(s), {CKM_SHA256_RSA_PKCS, nullptr, 0}, {1}, signature), CKR_OK);
    ASSERT_EQ(C_CloseSession(s), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(*card), 0x9000);  // the other session still holds the login
    ASSERT_EQ(C_CloseSession(other), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(*card), 0x6982);

    ASSERT_EQ(login(open()), CKR_OK);
    ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(*card), 0x6982);

    ASSERT_EQ(login(open()), CKR_OK);
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(*card), 0x6982);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
}

// The private key that signs only (non-repudiation) or the one that also deciphers (authentication).
CK_OBJECT_HANDLE keyOf(CK_SESSION_HANDLE s, bool deciphers) {
    for (CK_OBJECT_HANDLE k : ofClass(s, CKO_PRIVATE_KEY))
        if ((attribute(s, k, CKA_DECRYPT) == Bytes{CK_TRUE}) == deciphers) return k;
    return CK_INVALID_HANDLE;
}

// The module again, started with the switch that asks to take over a verified card set to `value`
// (unset when null).
void restartModule(const char* value) {
    ASSERT_EQ(C_Finalize(nullptr), CKR_OK);
    if (value)
        setenv(p11::kAdoptVerifiedCardVariable, value, 1);
    else
        unsetenv(p11::kAdoptVerifiedCardVariable);
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    unsetenv(p11::kAdoptVerifiedCardVariable);
}

// Kartello verifies the PIN through the issuer's library; a client of Sigilla in its own process
// (the authentication service's TLS), which asked for it, takes that login over without a PIN, for
// the authentication key only, and leaves the card verified when its own login ends. An unverified
// card is not taken over, and no other host takes over even a verified card, not even one started by
// the host that asked (it inherits the switch, which names the asking process).
TEST_F(ModuleTest, ALoginWithoutPinTakesOverAVerifiedCardOnlyForAHostThatAsksAndOnlyForAuthentication) {
    auto card = newCard(Generation::QEL4);
    readers_->insert(kContact, card);
    const std::string self = std::to_string(getpid());
    restartModule(self.c_str());
    CK_SESSION_HANDLE s = open();
    EXPECT_EQ(C_Login(s, CKU_USER, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(privateKey(s), CK_INVALID_HANDLE);
    EXPECT_EQ(C_Login(s, CKU_SO, nullptr, 0), CKR_ARGUMENTS_BAD);

    SharedConnection issuerLibrary(*card);
    ASSERT_EQ(issuerLibrary.transmit({0x01, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'}), (Bytes{0x90, 0x00}));
    ASSERT_EQ(C_Login(s, CKU_USER, nullptr, 0), CKR_OK);
    EXPECT_EQ(C_Login(s, CKU_USER, nullptr, 0), CKR_USER_ALREADY_LOGGED_IN);
    const CK_OBJECT_HANDLE authentication = keyOf(s, true);
    const CK_OBJECT_HANDLE signature = keyOf(s, false);
    ASSERT_NE(authentication, CK_INVALID_HANDLE);
    ASSERT_NE(signature, CK_INVALID_HANDLE);
    Bytes out;
    EXPECT_EQ(sign(s, authentication, {CKM_SHA256_RSA_PKCS, nullptr, 0}, Bytes(32, 7), out), CKR_OK);
    EXPECT_EQ(sign(s, signature, {CKM_SHA256_RSA_PKCS, nullptr, 0}, Bytes(32, 7), out), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(C_CloseSession(s), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(*card), 0x9000);

    // A PIN given to the module makes the login its own again: every key signs, and the card is
    // reset at its end.
    s = open();
    ASSERT_EQ(C_Login(s, CKU_USER, nullptr, 0), CKR_OK);
    ASSERT_EQ(C_Logout(s), CKR_OK);
    ASSERT_EQ(login(s), CKR_OK);
    EXPECT_EQ(sign(s, keyOf(s, false), {CKM_SHA256_RSA_PKCS, nullptr, 0}, Bytes(32, 8), out), CKR_OK);
    ASSERT_EQ(C_Logout(s), CKR_OK);
    EXPECT_EQ(signatureWithoutPin(*card), 0x6982);

    // Hosts that did not ask, or whose parent did: the verified card is not taken over, and stays as
    // its owner left it.
    ASSERT_EQ(issuerLibrary.transmit({0x01, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'}), (Bytes{0x90, 0x00}));
    const std::string parent = std::to_string(getppid());
    for (const char* value : {static_cast<const char*>(nullptr), "1", parent.c_str()}) {
        restartModule(value);
        s = open();
        EXPECT_EQ(C_Login(s, CKU_USER, nullptr, 0), CKR_ARGUMENTS_BAD) << (value ? value : "unset");
        EXPECT_EQ(privateKey(s), CK_INVALID_HANDLE);
        CK_SESSION_INFO info;
        ASSERT_EQ(C_GetSessionInfo(s, &info), CKR_OK);
        EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    }
    EXPECT_EQ(signatureWithoutPin(*card), 0x9000);
}

// C_LoginUser names the token's one user by nothing or by the token label; C_SessionCancel ends the
// operations it names and leaves the others.
TEST_F(ModuleTest, LoginUserTakesTheTokensOwnNameAndSessionCancelEndsTheNamedOperations) {
    readers_->insert(kContact, newCard(Generation::QEL3));
    const CK_SESSION_HANDLE s = open();
    CK_TOKEN_INFO token;
    ASSERT_EQ(C_GetTokenInfo(0, &token), CKR_OK);
    std::string label(reinterpret_cast<char*>(token.label), sizeof token.label);
    label.erase(label.find_last_not_of(' ') + 1);
    CK_UTF8CHAR pin[] = "1234";
    std::string stranger = "someone else";
    EXPECT_EQ(C_LoginUser(s, CKU_USER, pin, 4, reinterpret_cast<CK_UTF8CHAR_PTR>(stranger.data()), stranger.size()),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(C_LoginUser(s, CKU_USER, pin, 4, nullptr, 3), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(privateKey(s), CK_INVALID_HANDLE);
    ASSERT_EQ(C_LoginUser(s, CKU_USER, pin, 4, reinterpret_cast<CK_UTF8CHAR_PTR>(label.data()), label.size()), CKR_OK);
    ASSERT_EQ(C_Logout(s), CKR_OK);
    ASSERT_EQ(C_LoginUser(s, CKU_USER, pin, 4, nullptr, 0), CKR_OK);

    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(C_SignInit(s, &mechanism, privateKey(s)), CKR_OK);
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE wanted{CKA_CLASS, &cls, sizeof cls};
    ASSERT_EQ(C_FindObjectsInit(s, &wanted, 1), CKR_OK);
    EXPECT_EQ(C_SessionCancel(s, CKF_SIGN), CKR_OK);
    CK_BYTE data[] = "text";
    CK_ULONG length = 0;
    EXPECT_EQ(C_Sign(s, data, 4, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED);
    CK_OBJECT_HANDLE found[4];
    EXPECT_EQ(C_FindObjects(s, found, 4, &length), CKR_OK);
    EXPECT_EQ(C_SessionCancel(s, CKF_FIND_OBJECTS | CKF_DECRYPT | CKF_DIGEST), CKR_OK);
    EXPECT_EQ(C_FindObjects(s, found, 4, &length), CKR_OPERATION_NOT_INITIALIZED);
    // Cancelled, a new operation starts afresh.
    Bytes signature;
    EXPECT_EQ(sign(s, privateKey(s), mechanism, {1, 2}, signature), CKR_OK);
}

TEST_F(ModuleTest, WaitForSlotEventReportsInsertionsAndEndsWithFinalize) {
    CK_ULONG count = 0;
    ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    CK_SLOT_ID slot = 99;
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    auto waiter = std::async(std::launch::async, [&] {
        CK_SLOT_ID s = 99;
        CK_RV rv = C_WaitForSlotEvent(0, &s, nullptr);
        return std::make_pair(rv, s);
    });
    // Other calls go on while a thread waits.
    EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    readers_->insert(kOther, newCard(Generation::QEL3, ReaderKind::contactless));
    const auto [rv, reported] = waiter.get();
    EXPECT_EQ(rv, CKR_OK);
    EXPECT_EQ(reported, 1u);
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_NO_EVENT);
    readers_->remove(kOther);
    EXPECT_EQ(C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_OK);
    EXPECT_EQ(slot, 1u);

    auto blocked = std::async(std::launch::async, [&] {
        CK_SLOT_ID s;
        return C_WaitForSlotEvent(0, &s, nullptr);
    });
    EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(blocked.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

}  // namespace
}  // namespace qel
