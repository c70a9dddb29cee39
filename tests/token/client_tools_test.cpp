// Sigilla through pcscd, the virtual reader driver and the card daemon, used by programs nobody here
// wrote: pkcs11-tool, p11tool, OpenSSL with the pkcs11 engine, p11-kit and NSS.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <tuple>

#include "common/hex.h"
#include "tests/support/testbed_client.h"
#include "tests/token/integration_support.h"

namespace qel::sigillatest {
namespace {

namespace fs = std::filesystem;

Outcome tool(const std::string& args) { return run("pkcs11-tool --module " + quoted(modulePath()) + " " + args); }

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

/// The CKA_ID (hexadecimal) of each private key that pkcs11-tool lists.
std::vector<std::string> privateKeyIds(const std::string& listing) {
    std::vector<std::string> ids;
    std::regex block("Private Key Object[^\\n]*\\n(?:[^\\n]*\\n)*?\\s*ID:\\s*([0-9a-f]+)");
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), block); it != std::sregex_iterator(); ++it)
        ids.push_back((*it)[1]);
    return ids;
}

std::string tokenLabel(const std::string& generation, const std::string& profile) {
    return generation + " " + cardSerialOf(profile);
}

void writeFile(const std::string& name, const std::string& text) { std::ofstream(scratch() + "/" + name) << text; }

class ClientTools : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(testbed::daemonRuns()) << "the card daemon of the testbed is not running"; }
    testbed::ReaderState readers_;

    // Signs "data" with the key `id` and checks the signature with openssl against the card's own
    // certificate read through the module. `extra` goes to pkcs11-tool (login, token, mechanism).
    void signAndVerify(const std::string& extra, const std::string& id, const std::string& verifyOptions) {
        writeFile("data", "Kartello signs this text.\n");
        fs::remove(scratch() + "/sig");
        Outcome sign = tool(extra + " --sign --id " + id + " -i data -o sig");
        ASSERT_EQ(sign.status, 0) << sign.output;
        Outcome cert = tool(extra + " --read-object --type cert --id " + id + " -o cert.der");
        ASSERT_EQ(cert.status, 0) << cert.output;
        Outcome pub = run("openssl x509 -inform DER -in cert.der -pubkey -noout -out pub.pem");
        ASSERT_EQ(pub.status, 0) << pub.output;
        Outcome verify = run("openssl dgst -sha256 " + verifyOptions + " -verify pub.pem -signature sig data");
        EXPECT_EQ(verify.status, 0) << verify.output;
        EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;
    }
};

TEST_F(ClientTools, PkcsToolListsEachCardWithItsCertificateAndKeyPairs) {
    const std::string qel3 = freshProfile("qel3-default");
    const std::string qel3cl = freshProfile("qel3-default");
    putCard("contact", qel3);
    putCard("contactless", qel3cl);
    Outcome slots = tool("-L");
    ASSERT_EQ(slots.status, 0) << slots.output;
    EXPECT_NE(slots.output.find(tokenLabel("QEL3", qel3)), std::string::npos) << slots.output;
    EXPECT_NE(slots.output.find(tokenLabel("QEL3CL", qel3cl)), std::string::npos) << slots.output;
    std::cout << slots.output;
    // The contact card's keys need the PIN, so they show after login; the contactless card's do not.
    for (const auto& [label, login] : {std::pair{tokenLabel("QEL3", qel3), " --login --pin 1234"},
                                        std::pair{tokenLabel("QEL3CL", qel3cl), ""}}) {
        Outcome objects = tool("--token-label " + quoted(label) + login + " -O");
        ASSERT_EQ(objects.status, 0) << objects.output;
        const int certificates = occurrences(objects.output, "Certificate Object");
        EXPECT_GE(certificates, 1) << objects.output;
        EXPECT_EQ(occurrences(objects.output, "Private Key Object"), certificates) << objects.output;
        EXPECT_EQ(occurrences(objects.output, "Public Key Object"), certificates) << objects.output;
        EXPECT_EQ(occurrences(objects.output, "Usage:      none"), 0) << objects.output;
        std::cout << objects.output;
    }
    const std::string qel4 = freshProfile("qel4-default");
    putCard("contact", qel4);
    Outcome objects = tool("--token-label " + quoted(tokenLabel("QEL4", qel4)) + " --login --pin 1234 -L -O");
    ASSERT_EQ(objects.status, 0) << objects.output;
    EXPECT_GE(occurrences(objects.output, "Private Key Object"), 2) << objects.output;
    std::cout << objects.output;
}

TEST_F(ClientTools, PkcsToolSignsAfterLoginAndOpensslVerifies) {
    const std::string qel3 = freshProfile("qel3-default");
    putCard("contact", qel3);
    const std::string token = "--token-label " + quoted(tokenLabel("QEL3", qel3));
    const auto ids = privateKeyIds(tool(token + " --login --pin 1234 -O").output);
    ASSERT_GE(ids.size(), 2u);
    for (const std::string& id : ids) signAndVerify(token + " --login --pin 1234 -m SHA256-RSA-PKCS", id, "");
    Outcome pss = tool(token + " --login --pin 1234 -m SHA256-RSA-PKCS-PSS --sign --id " + ids[0] + " -i data -o sig");
    EXPECT_NE(pss.status, 0);
    EXPECT_NE(pss.output.find("CKR_MECHANISM_INVALID"), std::string::npos) << pss.output;
}

// pkcs11-tool's own test run: random bytes, digests, every signature and decipherment mechanism the
// token offers, checked against the public keys it publishes. It prints errors but may still exit 0.
TEST_F(ClientTools, PkcsToolTestRunPassesOnEveryCardKind) {
    for (const auto& [generation, reader, profileName] :
         {std::tuple{"QEL3", "contact", "qel3-default"}, std::tuple{"QEL3CL", "contactless", "qel3-default"},
          std::tuple{"QEL4", "contact", "qel4-default"}}) {
        const std::string card = freshProfile(profileName);
        putCard(reader, card);
        Outcome test = tool("--token-label " + quoted(tokenLabel(generation, card)) + " --login --pin 1234 --test");
        std::cout << "[ " << generation << " ] pkcs11-tool --test\n" << test.output;
        EXPECT_EQ(test.status, 0) << generation << "\n" << test.output;
        EXPECT_EQ(test.output.find("CKR_"), std::string::npos) << generation << "\n" << test.output;
        EXPECT_EQ(test.output.find("ERR"), std::string::npos) << generation << "\n" << test.output;
        EXPECT_NE(test.output.find("No errors"), std::string::npos) << generation << "\n" << test.output;
        if (std::string(reader) == "contactless") testbed::control("remove contactless");
    }
}

// One of our own programs, run without the sanitizer runtime that run() preloads for foreign ones:
// ours carry their own.
std::string built(const std::string& path) {
    return "env -u LD_PRELOAD " + quoted(std::string(std::getenv("QEL_BINARY_DIR")) + "/" + path);
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A card made anew under the same serial, which is what a renewal or a re-issued card looks like:
// the next listing publishes its new certificate, which the card's key signs for. The cache costs
// few commands when warm, and a record altered on disk is ignored and written again.
TEST_F(ClientTools, ARenewedCardUnderTheSameSerialPublishesItsNewCertificate) {
    const std::string first = freshProfile("qel3-default");
    putCard("contact", first);
    const std::string serial = cardSerialOf(first);
    const std::string token = "--token-label " + quoted(tokenLabel("QEL3", first));
    Outcome cleared = run(built("token/sigilla-cache") + " clear " + serial);
    ASSERT_EQ(cleared.status, 0) << cleared.output;
    auto tokenCreation = [&] {
        const long before = testbed::apduCount("contact");
        EXPECT_EQ(tool(token + " -L").status, 0);
        return testbed::apduCount("contact") - before;
    };
    const long cold = tokenCreation();
    const long warm = tokenCreation();
    std::cout << "[ figure ] QEL3 token creation through pcscd: " << cold << " APDUs cold, " << warm << " warm\n";
    EXPECT_LE(warm, 6);
    const auto ids = privateKeyIds(tool(token + " --login --pin 1234 -O").output);
    ASSERT_GE(ids.size(), 2u);
    ASSERT_EQ(tool(token + " --read-object --type cert --id " + ids[0] + " -o old.der").status, 0);

    const std::string renewed = scratch() + "/renewed-qel3";
    fs::remove_all(renewed);
    Outcome made = run(built("sim/card/qelcard-profile") + " card --ca " +
                       quoted(testbed::runDir() + "/profiles/ca") + " --out " + quoted(renewed) +
                       " --generation QEL3 --card-number " + serial.substr(10));
    ASSERT_EQ(made.status, 0) << made.output;
    ASSERT_EQ(cardSerialOf(renewed), serial);
    putCard("contact", renewed);
    Outcome objects = tool(token + " --login --pin 1234 -O");
    ASSERT_EQ(objects.status, 0) << objects.output;
    // The new card's identifiers come from its new keys: the directories were read anew too.
    const auto renewedIds = privateKeyIds(objects.output);
    ASSERT_EQ(renewedIds.size(), ids.size());
    EXPECT_NE(renewedIds, ids);
    for (const std::string& id : renewedIds) signAndVerify(token + " --login --pin 1234 -m SHA256-RSA-PKCS", id, "");
    ASSERT_EQ(tool(token + " --read-object --type cert --id " + renewedIds[0] + " -o cert.der").status, 0);
    EXPECT_NE(fileText(scratch() + "/cert.der"), fileText(scratch() + "/old.der"));

    // One byte changed in a record: the record is read from the card again and rewritten.
    const std::string record = std::string(std::getenv("XDG_CACHE_HOME")) + "/sigilla/OLMA/" + serial + "/3F0000017005";
    std::string bytes = fileText(record);
    ASSERT_GT(bytes.size(), 40u);
    bytes[20] = static_cast<char>(bytes[20] ^ 0x01);
    std::ofstream(record, std::ios::binary | std::ios::trunc) << bytes;
    const long tampered = tokenCreation();
    EXPECT_GT(tampered, warm);
    EXPECT_NE(fileText(record), bytes);
    EXPECT_EQ(tokenCreation(), warm);
}

TEST_F(ClientTools, AWrongPinIsIncorrectAndABlockedCardIsLocked) {
    const std::string qel4 = freshProfile("qel4-default");
    putCard("contact", qel4);
    const std::string token = "--token-label " + quoted(tokenLabel("QEL4", qel4));
    for (int i = 0; i < 3; ++i) {
        Outcome wrong = tool(token + " --login --pin 0000 -O");
        EXPECT_NE(wrong.output.find("CKR_PIN_INCORRECT"), std::string::npos) << wrong.output;
    }
    Outcome locked = tool(token + " --login --pin 1234 -O");
    EXPECT_NE(locked.output.find("CKR_PIN_LOCKED"), std::string::npos) << locked.output;
}

TEST_F(ClientTools, ContactlessThirdGenerationSignsWithoutLoginAndRefusesDecipherment) {
    const std::string card = freshProfile("qel3-default");
    putCard("contactless", card);
    const std::string token = "--token-label " + quoted(tokenLabel("QEL3CL", card));
    const auto ids = privateKeyIds(tool(token + " -O").output);
    ASSERT_GE(ids.size(), 1u);
    signAndVerify(token + " -m SHA256-RSA-PKCS", ids[0], "");
    Outcome encrypt = run("openssl pkeyutl -encrypt -pubin -inkey pub.pem -in data -out cryptogram");
    ASSERT_EQ(encrypt.status, 0) << encrypt.output;
    for (const std::string& id : ids) {
        Outcome decrypt = tool(token + " --login --pin 1234 --decrypt -m RSA-PKCS --id " + id + " -i cryptogram");
        EXPECT_NE(decrypt.status, 0) << decrypt.output;
        EXPECT_NE(decrypt.output.find("CKR_KEY_FUNCTION_NOT_PERMITTED"), std::string::npos) << decrypt.output;
    }
}

TEST_F(ClientTools, FourthGenerationSignsWithPssAndDeciphers) {
    const std::string qel4 = freshProfile("qel4-default");
    putCard("contact", qel4);
    const std::string token = "--token-label " + quoted(tokenLabel("QEL4", qel4));
    const auto ids = privateKeyIds(tool(token + " --login --pin 1234 -O").output);
    ASSERT_GE(ids.size(), 2u);
    signAndVerify(token + " --login --pin 1234 -m SHA256-RSA-PKCS-PSS --salt-len 32", ids.back(),
                  "-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32");
    writeFile("secret", "session key");
    ASSERT_EQ(run("openssl pkeyutl -encrypt -pubin -inkey pub.pem -in secret -out cryptogram").status, 0);
    Outcome decrypt = tool(token + " --login --pin 1234 --decrypt -m RSA-PKCS --id " + ids.back() +
                       " -i cryptogram -o plain");
    ASSERT_EQ(decrypt.status, 0) << decrypt.output;
    std::ifstream plain(scratch() + "/plain");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(plain), {}), "session key");
}

TEST_F(ClientTools, GnutlsListsTheTokenObjects) {
    const std::string qel3 = freshProfile("qel3-default");
    putCard("contact", qel3);
    Outcome tokens = run("p11tool --provider " + quoted(modulePath()) + " --list-tokens");
    ASSERT_EQ(tokens.status, 0) << tokens.output;
    EXPECT_NE(tokens.output.find(tokenLabel("QEL3", qel3)), std::string::npos) << tokens.output;
    Outcome all = run("env GNUTLS_PIN=1234 p11tool --provider " + quoted(modulePath()) +
                      " --login --list-all 'pkcs11:token=QEL3%20" + cardSerialOf(qel3) + "'");
    ASSERT_EQ(all.status, 0) << all.output;
    EXPECT_GE(occurrences(all.output, "Type: X.509 Certificate"), 2) << all.output;
    EXPECT_GE(occurrences(all.output, "Type: Private key"), 2) << all.output;
}

TEST_F(ClientTools, OpensslSignsThroughThePkcs11EngineWithAUri) {
    const std::string qel3 = freshProfile("qel3-default");
    putCard("contact", qel3);
    const std::string token = "--token-label " + quoted(tokenLabel("QEL3", qel3));
    const auto ids = privateKeyIds(tool(token + " --login --pin 1234 -O").output);
    ASSERT_GE(ids.size(), 1u);
    writeFile("openssl.cnf",
              "openssl_conf = openssl_init\n[openssl_init]\nengines = engine_section\n"
              "[engine_section]\npkcs11 = pkcs11_section\n[pkcs11_section]\nengine_id = pkcs11\n"
              "MODULE_PATH = " + modulePath() + "\ninit = 0\n");
    std::string id;
    for (std::size_t i = 0; i < ids[0].size(); i += 2) id += "%" + ids[0].substr(i, 2);
    const std::string uri = "pkcs11:token=QEL3%20" + cardSerialOf(qel3) + ";id=" + id + ";type=private;pin-value=1234";
    writeFile("data", "signed through the engine\n");
    Outcome sign = run("env OPENSSL_CONF=openssl.cnf openssl dgst -sha256 -engine pkcs11 -keyform engine -sign " +
                   quoted(uri) + " -out engine.sig data");
    ASSERT_EQ(sign.status, 0) << sign.output;
    ASSERT_EQ(tool(token + " --read-object --type cert --id " + ids[0] + " -o cert.der").status, 0);
    ASSERT_EQ(run("openssl x509 -inform DER -in cert.der -pubkey -noout -out pub.pem").status, 0);
    Outcome verify = run("openssl dgst -sha256 -verify pub.pem -signature engine.sig data");
    EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;
}

TEST_F(ClientTools, AnInstalledModuleIsFoundByP11KitAndByNss) {
    // The clients run as an ordinary user, who must reach the installed copy and its registration:
    // the test's own home may sit below folders only root can enter, so use a folder of their own.
    char folder[] = "/tmp/sigilla-registration-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string base = folder;
    fs::permissions(base, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    struct Cleanup {
        std::string path;
        ~Cleanup() { fs::remove_all(path); }
    } cleanup{base};
    const std::string prefix = base + "/prefix";
    Outcome install = run(quoted(std::getenv("CMAKE_COMMAND")) + " --install " + quoted(std::getenv("QEL_BINARY_DIR")) +
                      " --prefix " + quoted(prefix) + " --component sigilla");
    ASSERT_EQ(install.status, 0) << install.output;
    const std::string registration = prefix + "/share/p11-kit/modules/sigilla.module";
    std::ifstream in(registration);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("module: (\\S+)"))) << text;
    EXPECT_EQ(m[1].str().rfind(prefix + "/", 0), 0u) << m[1];
    EXPECT_TRUE(fs::exists(m[1].str())) << m[1];

    // A user registration in a private home points p11-kit at the installed copy. p11-kit reads no
    // user configuration in a program running as root, so the clients run as an ordinary user.
    const std::string home = base + "/user-home";
    fs::create_directories(home + "/.config/pkcs11/modules");
    fs::create_directories(home + "/nssdb");
    fs::copy_file(registration, home + "/.config/pkcs11/modules/sigilla.module");
    fs::permissions(home, fs::perms::all);
    fs::permissions(home + "/nssdb", fs::perms::all);
    const std::string asUser = "setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=" + quoted(home) +
                               " XDG_CONFIG_HOME=" + quoted(home + "/.config") + " XDG_STATE_HOME=" + quoted(home) +
                               " XDG_CACHE_HOME=" + quoted(home) + " ";
    const std::string qel3 = freshProfile("qel3-default");
    putCard("contact", qel3);
    Outcome listed = run(asUser + "p11-kit list-modules");
    EXPECT_NE(listed.output.find("sigilla"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find(tokenLabel("QEL3", qel3)), std::string::npos) << listed.output;

    // NSS finds the token through the p11-kit proxy, as desktop applications do.
    const std::string db = "sql:" + home + "/nssdb";
    ASSERT_EQ(run(asUser + "certutil -N -d " + quoted(db) + " --empty-password").status, 0);
    Outcome added = run(asUser + "modutil -force -dbdir " + quoted(db) +
                        " -add p11-kit-proxy -libfile /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so");
    ASSERT_EQ(added.status, 0) << added.output;
    Outcome certs = run(asUser + "certutil -L -d " + quoted(db) + " -h all");
    EXPECT_NE(certs.output.find(tokenLabel("QEL3", qel3) + ":"), std::string::npos) << certs.output;
}

}  // namespace
}  // namespace qel::sigillatest
