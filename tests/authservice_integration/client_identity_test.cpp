// The card identities as the service's TLS finds them: the pairs of the modules registered with
// p11-kit, in their stable order, and the rule that picks one. SoftHSM2, which the system registers,
// stands for a token here, in a private token store.
#include <gtest/gtest.h>
#include <p11-kit/p11-kit.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "authservice/tls/client_identity.h"
#include "common/hex.h"
#include "tests/pkcs11/softhsm_token.h"

namespace qel::vek {
namespace {

ClientIdentity named(const std::string& label) {
    ClientIdentity identity;
    identity.tokenLabel = label;
    return identity;
}

TEST(ClientIdentities, TheSecondOfSeveralIsChosenAndTheOnlyOneOfOne) {
    EXPECT_FALSE(chooseClientIdentity({}).has_value());
    EXPECT_EQ(chooseClientIdentity({named("only")})->tokenLabel, "only");
    EXPECT_EQ(chooseClientIdentity({named("signature"), named("authentication")})->tokenLabel, "authentication");
    EXPECT_EQ(chooseClientIdentity({named("a"), named("b"), named("c")})->tokenLabel, "b");
}

TEST(ClientIdentities, TheKeyUriEncodesEveryTokenAttribute) {
    ClientIdentity identity;
    identity.tokenModel = "QEL4";
    identity.tokenManufacturer = "Oberlane";
    identity.tokenSerial = "1234567890Z";
    identity.tokenLabel = "QEL4 8025000001;x=y/%";
    identity.id = {0xA0, 0x02, 0x2F};
    EXPECT_EQ(identity.keyUri(),
              "pkcs11:model=QEL4;manufacturer=Oberlane;serial=1234567890Z;token=QEL4%208025000001%3Bx%3Dy%2F%25;"
              "id=%A0%02%2F;type=private");
}

// The identities of one token among those of every registered module.
std::vector<ClientIdentity> ofToken(const TokenScan& scan, const std::string& label) {
    std::vector<ClientIdentity> found;
    for (const ClientIdentity& i : scan.identities())
        if (i.tokenLabel == label) found.push_back(i);
    return found;
}

TEST(ClientIdentities, ARegisteredTokenOffersItsPairsOnlyOnceItsUserIsLoggedIn) {
    if (!test::SoftHsmStore::available()) GTEST_SKIP() << "SoftHSM2 and its tools are not installed";
    test::SoftHsmStore store(std::string(std::getenv("HOME")) + "/softhsm");
    store.initToken("Kartello TLS");
    store.writeCertificate("Kartello TLS", "Signature", "a001", "Holder Signature", true);
    store.writeCertificate("Kartello TLS", "Authentification", "a002", "Holder Authentication", true);
    store.writeCertificate("Kartello TLS", "Autorite", "a003", "Certificate without key", false);

    // Its keys are private objects: before the user's login the token offers nothing, and the listing
    // asks no PIN (SoftHSM refuses a login without one).
    {
        TokenScan scan;
        EXPECT_TRUE(ofToken(scan, "Kartello TLS").empty());
    }

    // The PIN step of the program, through the same registered module, in this process.
    CK_FUNCTION_LIST** modules = p11_kit_modules_load_and_initialize(0);
    ASSERT_NE(modules, nullptr);
    CK_FUNCTION_LIST* softhsm = nullptr;
    for (CK_FUNCTION_LIST** m = modules; *m; ++m) {
        char* name = p11_kit_module_get_name(*m);
        if (name && std::string(name) == "softhsm2") softhsm = *m;
        free(name);
    }
    ASSERT_NE(softhsm, nullptr) << "SoftHSM2 is not registered with p11-kit";
    CK_ULONG count = 0;
    ASSERT_EQ(softhsm->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> slots(count);
    ASSERT_EQ(softhsm->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if (softhsm->C_GetTokenInfo(slot, &info) == CKR_OK &&
            std::string(reinterpret_cast<char*>(info.label), 12) == "Kartello TLS")
            ASSERT_EQ(softhsm->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    }
    ASSERT_NE(session, CK_INVALID_HANDLE);
    std::string pin = test::kUserPin;
    ASSERT_EQ(softhsm->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()), CKR_OK);

    {
        TokenScan scan;
        const std::vector<ClientIdentity> pairs = ofToken(scan, "Kartello TLS");
        // The certificate without a key is no identity. The order is the token's object order, which
        // SoftHSM does not keep as written (Sigilla publishes its card's directory order).
        ASSERT_EQ(pairs.size(), 2u);
        EXPECT_NE(pairs[0].id, pairs[1].id);
        for (const ClientIdentity& pair : pairs) {
            EXPECT_TRUE(toHex(pair.id) == "A001" || toHex(pair.id) == "A002") << toHex(pair.id);
            EXPECT_EQ(pair.module, "softhsm2");
            EXPECT_FALSE(pair.certificate.empty());
            EXPECT_TRUE(pair.signsPss);
        }
        EXPECT_EQ(chooseClientIdentity(pairs)->id, pairs[1].id);
        // Listed again, the order is the same, and so is the choice.
        TokenScan again;
        const std::vector<ClientIdentity> repeated = ofToken(again, "Kartello TLS");
        ASSERT_EQ(repeated.size(), 2u);
        EXPECT_EQ(repeated[0].id, pairs[0].id);
        EXPECT_EQ(repeated[1].id, pairs[1].id);
    }
    softhsm->C_Logout(session);
    p11_kit_modules_finalize_and_release(modules);
}

}  // namespace
}  // namespace qel::vek
