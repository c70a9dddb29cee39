#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>

#include "sim/card/hostile.h"
#include "sim/card/profile.h"
#include "sim/card/profile_generator.h"
#include "sim/card/x509_builder.h"
#include "test_support.h"

namespace qel::sim::test {
namespace {

TEST(SimCardProfile, AuthorityChainHasTheSeventeenNames) {
    const std::string ca = authorityDir();
    ASSERT_EQ(authorityResourceNames().size(), 17u);
    for (const std::string& name : authorityResourceNames()) {
        X509Ptr cert = readDerCertificate(ca + "/" + name + ".cer");
        const std::string issuer = authorityIssuer(name);
        X509Ptr issuerCert = readDerCertificate(ca + "/" + issuer + ".cer");
        PkeyPtr issuerKey(X509_get_pubkey(issuerCert.get()));
        EXPECT_EQ(X509_verify(cert.get(), issuerKey.get()), 1) << name;
        EXPECT_EQ(X509_check_ca(cert.get()) > 0, true) << name;
        const bool selfSigned = X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_issuer_name(cert.get())) == 0;
        EXPECT_EQ(selfSigned, issuer == name) << name;
        EXPECT_TRUE(std::filesystem::exists(ca + "/keys/" + name + ".pem")) << name;
    }
}

TEST(SimCardProfile, GeneratedCardKeepsItsIdentifiersConsistent) {
    const std::string out =
        std::filesystem::temp_directory_path().string() + "/qel-sim-gen-" + std::to_string(::getpid());
    std::filesystem::remove_all(out);
    CardOptions o;
    o.generation = Generation::QEL4;
    o.cardNumber = "9876543210";
    o.checkCharacter = 'K';
    o.labelCharacter = 'L';
    o.holder.lastName = "DURAND";
    o.issuer = "ACI-EL-PP-TEST";
    o.situations = 3;
    o.keyBits = 1024;
    generateCard(authorityDir(), out, o);

    Reader r(out, ReaderKind::contact);
    auto serial = r.readFile(hex("D003"));
    ASSERT_TRUE(serial.has_value());
    EXPECT_EQ(toHex(Bytes(serial->begin() + 2, serial->end())), "80250000019876543210");
    auto info = r.readFile(hex("3F000003D000"));
    ASSERT_TRUE(info.has_value());
    auto f = *parseTlv(*info);
    EXPECT_EQ(std::string(f[0].value.begin(), f[0].value.end()) + "-" +
                  std::string(f[1].value.begin(), f[1].value.end()) + std::string(f[3].value.begin(), f[3].value.end()),
              "QEL4-9876543210L");
    EXPECT_EQ(std::string(f[2].value.begin(), f[2].value.end()), "K");

    X509Ptr cert = readDerCertificate(out + "/certs/authentication.cer");
    X509Ptr issuer = readDerCertificate(authorityDir() + "/ACI-EL-PP-TEST.cer");
    PkeyPtr issuerKey(X509_get_pubkey(issuer.get()));
    EXPECT_EQ(X509_verify(cert.get(), issuerKey.get()), 1);
    // The key identifier is derived from the certificate's public key, as a renewal derives it anew.
    const Profile generated = loadProfile(out);
    const KeyProfile* auth = generated.key(KeyProfile::Role::authentication);
    ASSERT_NE(auth, nullptr);
    EXPECT_EQ(toHex(auth->keyId), toHex(cardKeyId(X509_get0_pubkey(cert.get()), auth->reference)));
    ASSERT_EQ(r.verifyPin("1234"), 0x9000);
    EXPECT_EQ(r.selectPath(hex("3F000003D103")).sw, 0x9000);
    EXPECT_EQ(r.selectPath(hex("3F000003D104")).sw, 0x6A82);
}

TEST(SimCardProfile, BadProfilesAreRefusedWithTheirFault) {
    const std::string good = readWholeFile(freshProfile("qel3-default") + "/profile.json");
    ASSERT_NO_THROW(profileFromJson(good));
    auto with = [&](const char* key, const char* value) {
        auto pos = good.find(std::string("\"") + key + "\":");
        EXPECT_NE(pos, std::string::npos) << key;
        auto end = good.find_first_of(",\n", pos);
        return good.substr(0, pos) + "\"" + key + "\": " + value + good.substr(end);
    };
    const std::pair<const char*, const char*> cases[] = {
        {"cardNumber", "\"12345\""},       {"cardNumber", "\"12345678AB\""}, {"generation", "\"QEL5\""},
        {"checkCharacter", "\"ZZ\""},      {"validFrom", "\"15/01/2024\""},  {"format", "2"},
        {"pukCounterTwoBytes", "\"yes\""}, {"issuerId", "\"80A5\""},         {"situations", "7"},
    };
    for (const auto& [key, value] : cases) EXPECT_THROW(profileFromJson(with(key, value)), std::runtime_error) << key;
    EXPECT_THROW(profileFromJson("{"), std::runtime_error);
    EXPECT_THROW(profileFromJson("{\"generation\":\"QEL3\"}"), std::runtime_error);

    Profile p = profileFromJson(good);
    p.pin.code = "12a4";
    EXPECT_THROW(profileFromJson(profileToJson(p)), std::runtime_error);
    p = profileFromJson(good);
    p.puk.maxTries = 16;
    EXPECT_THROW(profileFromJson(profileToJson(p)), std::runtime_error);
}

TEST(SimCardProfile, MissingFilesAndBrokenStateNameTheFolder) {
    EXPECT_THROW(loadCardModel("/nonexistent/profile", ReaderKind::contact), std::runtime_error);
    const std::string dir = freshProfile("qel3-default");
    std::filesystem::remove(dir + "/certs/signature.cer");
    try {
        loadCardModel(dir, ReaderKind::contact);
        FAIL() << "a missing certificate must be reported";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(dir), std::string::npos) << e.what();
    }
    // The contactless view does not need the signature certificate.
    EXPECT_NO_THROW(loadCardModel(dir, ReaderKind::contactless));
    for (const char* state : {"{\"pinTries\": 9}", "{\"generatedKeys\": {\"02\": \"not a key\"}}",
                              "{\"generatedKeys\": {\"0203\": \"\"}}"}) {
        std::ofstream(dir + "/state.json") << state;
        EXPECT_THROW(loadCardModel(dir, ReaderKind::contactless), std::runtime_error) << state;
    }
}

// Cards made from one loaded folder: the files and keys of the folder, the state of a new card, and
// nothing written back (the folder may be gone).
TEST(SimCardProfile, BlueprintCardsStartFreshAndKeepTheirStateToThemselves) {
    const std::string dir = freshProfile("qel3-default");
    Reader loaded(dir, ReaderKind::contact);
    EXPECT_EQ(loaded.verifyPin("0000"), 0x63C2);  // saved in the folder: 2 tries left
    auto signWithSignatureKey = [](Reader& r) {
        EXPECT_EQ(r.verifyPin("1234"), 0x9000);
        EXPECT_EQ(r.selectPath(hex("3F000001")).sw, 0x9000);
        EXPECT_EQ(r.send(0x22, 0x41, 0xB6, hex("800142840101")).sw, 0x9000);
        return r.send(0x2A, 0x9E, 0x9A, Bytes(32, 0x5A), 256);
    };
    const CardResponse expected = signWithSignatureKey(loaded);
    ASSERT_EQ(expected.sw, 0x9000);

    const QelCardBlueprint blueprint(dir);
    std::filesystem::remove_all(dir);
    Reader first(blueprint.makeCard(ReaderKind::contact));
    EXPECT_EQ(first.send(0x20, 0x00, 0x01).sw, 0x63C3);  // a new card, not the saved state
    EXPECT_EQ(first.verifyPin("0000"), 0x63C2);
    Reader second(blueprint.makeCard(ReaderKind::contact));
    EXPECT_EQ(second.send(0x20, 0x00, 0x01).sw, 0x63C3);
    EXPECT_EQ(toHex(signWithSignatureKey(second).data), toHex(expected.data));  // the keys are shared
    EXPECT_EQ(toHex(signWithSignatureKey(first).data), toHex(expected.data));
    EXPECT_EQ(first.readFile(hex("3F00D003")), loaded.readFile(hex("3F00D003")));
    EXPECT_FALSE(std::filesystem::exists(dir));

    const std::string broken = freshProfile("qel3-default");
    std::filesystem::remove(broken + "/certs/signature.cer");
    try {
        QelCardBlueprint{broken};
        FAIL() << "a missing certificate must be reported";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(broken), std::string::npos) << e.what();
    }
}

// Tries spent, files written, the PIN changed and hostile rules set are all undone; a card kept in a
// folder saves the undone state there.
TEST(SimCardProfile, RestoringAFreshStateUndoesEveryChange) {
    const std::string dir = freshProfile("qel3-default");
    Reader r(dir, ReaderKind::contact);
    const auto original = r.readFile(hex("3F003F00D010"));
    ASSERT_TRUE(original.has_value());
    ASSERT_EQ(r.verifyPin("1234"), 0x9000);
    ASSERT_EQ(r.selectPath(hex("3F003F00D010")).sw, 0x9000);
    ASSERT_EQ(r.send(0xD6, 0, 0, hex("8001 07")).sw, 0x9000);
    Bytes change(8, 0xFF), newPin(8, 0xFF);
    std::copy_n("1234", 4, change.begin());
    std::copy_n("4321", 4, newPin.begin());
    ASSERT_EQ(r.send(0x24, 0x00, 0x01, cat({change, newPin})).sw, 0x9000);
    ASSERT_EQ(r.verifyPin("0000"), 0x63C2);
    r.model->setHostileRules(hostileRulesFromJson("[{\"action\":\"loop61\",\"ins\":\"A4\"}]"));

    r.model->restoreFreshState();
    EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x63C3);        // full tries, and no longer verified
    EXPECT_EQ(r.readFile(hex("3F003F00D010")), original);  // no hostile loop, the written bytes gone
    Reader reloaded(dir, ReaderKind::contact);
    EXPECT_EQ(reloaded.send(0x20, 0x00, 0x01).sw, 0x63C3);
    EXPECT_EQ(reloaded.verifyPin("1234"), 0x9000);
}

}  // namespace
}  // namespace qel::sim::test
