// Sigilla through pcscd, the virtual reader driver and the card daemon, used by programs nobody here
// wrote: pkcs11-tool, p11tool, OpenSSL with the pkcs11 engine, p11-kit and NSS.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

Outcome tool(const std::string& args) { return pkcs11Tool(args); }

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
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

/// An OpenSSL configuration that loads the pkcs11 engine over the module under test.
void writeEngineConfig() {
    writeFile("openssl.cnf",
              "openssl_conf = openssl_init\n[openssl_init]\nengines = engine_section\n"
              "[engine_section]\npkcs11 = pkcs11_section\n[pkcs11_section]\nengine_id = pkcs11\n"
              "MODULE_PATH = " +
                  modulePath() + "\ninit = 0\n");
}

/// The pkcs11: URI of a private key, with the PIN.
std::string keyUri(const std::string& label, const std::string& hexId) {
    std::string id;
    for (std::size_t i = 0; i < hexId.size(); i += 2) id += "%" + hexId.substr(i, 2);
    std::string token;
    for (char c : label) token += c == ' ' ? std::string("%20") : std::string(1, c);
    return "pkcs11:token=" + token + ";id=" + id + ";type=private;pin-value=1234";
}

/// A TCP port on the loopback that nothing listens on at the time of asking.
int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

class ClientTools : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(testbed::daemonRuns()) << "the card daemon of the testbed is not running"; }
    testbed::ReaderState readers_;

    // TLS client authentication with the card's key through the OpenSSL pkcs11 engine, against a
    // server on the loopback that asks for a certificate of the test authorities, only with the given
    // signature algorithms, and aborts the handshake unless the certificate verifies.
    void authenticatesOverTls(const std::string& label, const std::string& id, const std::string& protocol,
                              const std::string& sigalgs) {
        writeEngineConfig();
        ASSERT_EQ(
            tool("--token-label " + quoted(label) + " --read-object --type cert --id " + id + " -o client.der").status,
            0);
        ASSERT_EQ(run("openssl x509 -inform DER -in client.der -out client.pem").status, 0);
        Outcome authorities = run("sh -c " + quoted("for f in " + quoted(testbed::runDir() + "/profiles/ca") +
                                                    "/*.cer; do openssl x509 -inform DER -in \"$f\" 2>/dev/null || "
                                                    "openssl x509 -in \"$f\"; done > ca.pem"));
        ASSERT_EQ(authorities.status, 0) << authorities.output;
        Outcome serverKey =
            run("openssl req -x509 -newkey rsa:2048 -nodes -keyout server.key -out server.pem "
                "-subj /CN=localhost -days 2");
        ASSERT_EQ(serverKey.status, 0) << serverKey.output;
        const int port = freeLoopbackPort();
        ASSERT_NE(port, 0);
        const std::string address = "127.0.0.1:" + std::to_string(port);
        // The server answers one HTTP request with a page that shows the client certificate; it reads
        // no standard input then, which a background job does not have.
        const std::string script =
            "rm -f server.log; openssl s_server -www -accept " + address +
            " -naccept 1 -cert server.pem "
            "-key server.key -CAfile ca.pem -Verify 1 -verify_return_error " +
            protocol + " -client_sigalgs " + sigalgs +
            " > server.log 2>&1 & server=$!; "
            // Waits for the server to listen, bounded in count.
            "i=0; until grep -q ACCEPT server.log || [ $i -ge 600 ]; do i=$((i+1)); sleep 0.05; done; "
            "printf 'GET / HTTP/1.0\\r\\n\\r\\n' | env OPENSSL_CONF=openssl.cnf openssl s_client -ign_eof -connect " +
            address + " -engine pkcs11 -keyform engine -key " + quoted(keyUri(label, id)) + " -cert client.pem " +
            protocol + " -sigalgs " + sigalgs +
            "; client=$?; wait $server; echo \"client $client server $?\"; "
            "echo '--- server'; cat server.log";
        Outcome tls = run("sh -c " + quoted(script));
        std::cout << "[ " << label << " " << protocol << " " << sigalgs << " ]\n" << tls.output;
        EXPECT_NE(tls.output.find("client 0 server 0"), std::string::npos) << tls.output;
        // The page the server sent shows the certificate it verified: the card's.
        const std::string certificate = fileText(scratch() + "/client.pem");
        EXPECT_NE(tls.output.find("Client certificate"), std::string::npos) << tls.output;
        EXPECT_NE(tls.output.find(certificate.substr(0, certificate.size() - 30)), std::string::npos) << tls.output;
        const std::string server = tls.output.substr(std::min(tls.output.find("--- server"), tls.output.size()));
        EXPECT_NE(server.find("verify return:1"), std::string::npos) << server;
        EXPECT_EQ(server.find("verify error"), std::string::npos) << server;
        EXPECT_NE(tls.output.find(protocol == "-tls1_3" ? "TLSv1.3" : "TLSv1.2"), std::string::npos) << tls.output;
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
    for (const auto& [label, login] :
         {std::pair{tokenLabel("QEL3", qel3), " --login --pin 1234"}, std::pair{tokenLabel("QEL3CL", qel3cl), ""}}) {
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

// A card made anew under the same serial, which is what a renewal or a re-issued card looks like, put
// in the contact reader in place of the earlier one.
std::string renewedCard(const std::string& earlier, const std::string& generation) {
    const std::string serial = cardSerialOf(earlier);
    const std::string renewed = scratch() + "/renewed-" + generation;
    fs::remove_all(renewed);
    Outcome made =
        run(built("sim/card/qelcard-profile") + " card --ca " + quoted(testbed::runDir() + "/profiles/ca") + " --out " +
            quoted(renewed) + " --generation " + generation + " --card-number " + serial.substr(10));
    EXPECT_EQ(made.status, 0) << made.output;
    EXPECT_EQ(cardSerialOf(renewed), serial);
    putCard("contact", renewed);
    return renewed;
}

// The renewed card's next listing publishes its new certificate, which the card's key signs for and
// with which it authenticates a TLS 1.2 client with PKCS#1 signatures. The cache costs few commands
// when warm, and a record altered on disk is ignored and written again.
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

    renewedCard(first, "QEL3");
    if (HasFailure()) return;
    Outcome objects = tool(token + " --login --pin 1234 -O");
    ASSERT_EQ(objects.status, 0) << objects.output;
    // The new card's identifiers come from its new keys: the directories were read anew too.
    const auto renewedIds = privateKeyIds(objects.output);
    ASSERT_EQ(renewedIds.size(), ids.size());
    EXPECT_NE(renewedIds, ids);
    for (const std::string& id : renewedIds) signAndVerify(token + " --login --pin 1234 -m SHA256-RSA-PKCS", id, "");
    ASSERT_EQ(tool(token + " --read-object --type cert --id " + renewedIds[0] + " -o cert.der").status, 0);
    EXPECT_NE(fileText(scratch() + "/cert.der"), fileText(scratch() + "/old.der"));
    const std::string authentication = authenticationKeyId(objects.output);
    ASSERT_FALSE(authentication.empty()) << objects.output;
    authenticatesOverTls(tokenLabel("QEL3", first), authentication, "-tls1_2", "RSA+SHA256");

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

// TLS 1.3 signs with RSA-PSS only: a renewed fourth-generation card authenticates its holder with it.
TEST_F(ClientTools, ARenewedFourthGenerationCardAuthenticatesOverTls13WithPss) {
    const std::string first = freshProfile("qel4-default");
    putCard("contact", first);
    const std::string token = "--token-label " + quoted(tokenLabel("QEL4", first));
    const std::string earlier = authenticationKeyId(tool(token + " --login --pin 1234 -O").output);
    renewedCard(first, "QEL4");
    if (HasFailure()) return;
    Outcome objects = tool(token + " --login --pin 1234 -O");
    const std::string authentication = authenticationKeyId(objects.output);
    ASSERT_FALSE(authentication.empty()) << objects.output;
    EXPECT_NE(authentication, earlier);
    authenticatesOverTls(tokenLabel("QEL4", first), authentication, "-tls1_3", "rsa_pss_rsae_sha256");
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
    Outcome decrypt =
        tool(token + " --login --pin 1234 --decrypt -m RSA-PKCS --id " + ids.back() + " -i cryptogram -o plain");
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
    writeEngineConfig();
    const std::string uri = keyUri(tokenLabel("QEL3", qel3), ids[0]);
    writeFile("data", "signed through the engine\n");
    Outcome sign = run("env OPENSSL_CONF=openssl.cnf openssl dgst -sha256 -engine pkcs11 -keyform engine -sign " +
                       quoted(uri) + " -out engine.sig data");
    ASSERT_EQ(sign.status, 0) << sign.output;
    ASSERT_EQ(tool(token + " --read-object --type cert --id " + ids[0] + " -o cert.der").status, 0);
    ASSERT_EQ(run("openssl x509 -inform DER -in cert.der -pubkey -noout -out pub.pem").status, 0);
    Outcome verify = run("openssl dgst -sha256 -verify pub.pem -signature engine.sig data");
    EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;
}

// sigilla-register puts the module in the shared database, where NSS's own tools then find the
// card's certificates, and in a Firefox profile's module list; --remove takes both out again.
TEST_F(ClientTools, SigillaRegisterAddsTheCardToTheBrowsersDatabasesAndRemovesIt) {
    const std::string home = std::getenv("HOME");
    fs::remove_all(home + "/.pki");
    fs::remove_all(home + "/.mozilla");
    const std::string profile = home + "/.mozilla/firefox/t3st.default-release";
    fs::create_directories(profile);
    std::ofstream(home + "/.mozilla/firefox/profiles.ini")
        << "[Profile0]\nName=default-release\nIsRelative=1\nPath=t3st.default-release\nDefault=1\n";
    ASSERT_EQ(run("certutil -N -d " + quoted("sql:" + profile) + " --empty-password").status, 0);
    const std::string qel3 = freshProfile("qel3-default");
    putCard("contact", qel3);

    Outcome registered = run(built("token/sigilla-register") + " --module " + quoted(modulePath()));
    ASSERT_EQ(registered.status, 0) << registered.output;
    std::cout << registered.output;
    EXPECT_EQ(occurrences(registered.output, "Sigilla added"), 2) << registered.output;
    const std::string shared = "sql:" + home + "/.pki/nssdb";
    Outcome modules = run("modutil -list -dbdir " + quoted(shared));
    EXPECT_NE(modules.output.find("Sigilla"), std::string::npos) << modules.output;
    EXPECT_NE(modules.output.find(modulePath()), std::string::npos) << modules.output;
    Outcome certificates = run("certutil -L -h all -d " + quoted(shared));
    EXPECT_GE(occurrences(certificates.output, tokenLabel("QEL3", qel3) + ":"), 2) << certificates.output;
    EXPECT_NE(fileText(profile + "/pkcs11.txt").find("library=" + modulePath() + "\nname=Sigilla\n"),
              std::string::npos);
    Outcome again = run(built("token/sigilla-register") + " --module " + quoted(modulePath()));
    EXPECT_EQ(occurrences(again.output, "already registered"), 2) << again.output;

    Outcome removed = run(built("token/sigilla-register") + " --remove");
    ASSERT_EQ(removed.status, 0) << removed.output;
    EXPECT_EQ(occurrences(removed.output, "Sigilla removed"), 2) << removed.output;
    EXPECT_EQ(run("modutil -list -dbdir " + quoted(shared)).output.find("Sigilla"), std::string::npos);
    EXPECT_EQ(run("certutil -L -h all -d " + quoted(shared)).output.find(tokenLabel("QEL3", qel3)), std::string::npos);
    EXPECT_EQ(fileText(profile + "/pkcs11.txt").find("Sigilla"), std::string::npos);
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
    // The installed sigilla-register finds the module installed beside it.
    const std::string registerHome = base + "/register-home";
    Outcome registered =
        run("env -u LD_PRELOAD HOME=" + quoted(registerHome) + " " + quoted(prefix + "/bin/sigilla-register"));
    // That home has no browser profile: the shared database is registered, and the status says no
    // profile has the module.
    EXPECT_EQ(registered.status, 4) << registered.output;
    EXPECT_NE(fileText(registerHome + "/.pki/nssdb/pkcs11.txt").find("library=" + m[1].str() + "\n"), std::string::npos)
        << registered.output;

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
