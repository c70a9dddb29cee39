// Sigilla through pcscd, the virtual reader driver and the card daemon, used by programs nobody here
// wrote, each as a user runs it: pkcs11-tool, p11tool, OpenSSL with the pkcs11 engine, gnutls-cli,
// p11-kit and its server, NSS's tools, poppler's pdfsig, and Firefox (in its own ctest entry).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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

/// Hexadecimal bytes as a pkcs11: URI writes them.
std::string percentEncoded(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) out += "%" + hex.substr(i, 2);
    return out;
}

/// The pkcs11: URI of a token, by label.
std::string tokenUri(const std::string& label) {
    std::string token;
    for (char c : label) token += c == ' ' ? std::string("%20") : std::string(1, c);
    return "pkcs11:token=" + token;
}

/// The pkcs11: URI of a private key, with the PIN.
std::string keyUri(const std::string& label, const std::string& hexId) {
    return tokenUri(label) + ";id=" + percentEncoded(hexId) + ";type=private;pin-value=1234";
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

/// Prints how long a scenario took, for the figures of a run.
void figure(const std::string& what, std::chrono::steady_clock::time_point started) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    std::cout << "[ figure ] " << what << ": " << ms / 1000 << "." << (ms % 1000) / 100 << " s\n";
}

/// The CKA_LABEL of the certificate with that CKA_ID in a pkcs11-tool listing; empty when none.
std::string certificateLabel(const std::string& listing, const std::string& hexId) {
    const std::regex block(
        "Certificate Object[^\\n]*\\n\\s*label:\\s*([^\\n]*)\\n(?:[^\\n]*\\n)*?\\s*ID:\\s*([0-9a-f]+)");
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), block); it != std::sregex_iterator(); ++it)
        if ((*it)[2] == hexId) return (*it)[1];
    return {};
}

/// A one-page PDF with nothing on its page, its cross-reference table at the right offsets.
std::string unsignedPdf() {
    const std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources << >> >>",
        "<< /Length 0 >>\nstream\n\nendstream"};
    std::string pdf = "%PDF-1.7\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t offset : offsets) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
        pdf += entry;
    }
    return pdf + "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
}

/// p11-kit's client module, which reaches a `p11-kit server` through its socket.
constexpr const char* kP11KitClient = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so";

/// A program the test started in the background, ended when this goes.
struct Background {
    pid_t pid = 0;
    ~Background() {
        if (pid > 0) ::kill(pid, SIGTERM);
    }
};

/// Starts `p11-kit server` as a user starts it, serving the tokens of `uri` from the module under test on
/// `socket`; it goes to the background by itself and ends on its own when nobody connects in time. Its
/// pid, 0 when it did not start (reported through gtest).
pid_t p11KitServer(const std::string& socket, const std::string& uri) {
    fs::remove(socket);
    Outcome served = run("p11-kit server --timeout 120 --name " + quoted(socket) + " --provider " +
                         quoted(modulePath()) + " " + quoted(uri));
    EXPECT_EQ(served.status, 0) << served.output;
    EXPECT_NE(served.output.find("P11_KIT_SERVER_ADDRESS=unix:path=" + socket), std::string::npos) << served.output;
    std::smatch m;
    if (!std::regex_search(served.output, m, std::regex("P11_KIT_SERVER_PID=([0-9]+)"))) {
        ADD_FAILURE() << served.output;
        return 0;
    }
    return static_cast<pid_t>(std::stol(m[1]));
}

/// The module is built with sanitizers: the foreign programs that load it get their runtime.
bool sanitized() {
    const char* asan = std::getenv("QEL_ASAN_RUNTIME");
    return asan != nullptr && *asan != '\0';
}

class ClientTools : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(testbed::daemonRuns()) << "the card daemon of the testbed is not running"; }
    testbed::ReaderState readers_;

    /// Which program connects with the card's key.
    enum class TlsClient { opensslEngine, gnutls };

    // TLS client authentication with the card's key, through the OpenSSL pkcs11 engine or GnuTLS
    // loading the module itself, against a server on the loopback that asks for a certificate of
    // the test authorities, only with the given signature algorithms, and aborts the handshake
    // unless the certificate verifies.
    void authenticatesOverTls(const std::string& label, const std::string& id, const std::string& protocol,
                              const std::string& sigalgs, TlsClient client = TlsClient::opensslEngine) {
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
        std::string connect;
        Background served;
        if (client == TlsClient::opensslEngine) {
            connect = "env OPENSSL_CONF=openssl.cnf openssl s_client -ign_eof -connect " + address +
                      " -engine pkcs11 -keyform engine -key " + quoted(keyUri(label, id)) + " -cert client.pem " +
                      protocol + " -sigalgs " + sigalgs;
        } else {
            // As a user names the card's objects to gnutls-cli: pkcs11: URLs, the PIN from the
            // environment of a run without a terminal.
            const std::string object = tokenUri(label) + ";id=" + percentEncoded(id);
            std::string provider = "env GNUTLS_PIN=1234 gnutls-cli --provider " + quoted(modulePath());
            if (sanitized()) {
                // gnutls-cli, like any program that loads the system's p11-kit modules (OpenSC's
                // among them), hangs in p11-kit's destructor at its exit when the sanitizer runtime is
                // preloaded, module or none. It runs without it here and reaches the sanitized module
                // through p11-kit's server, which runs with it.
                const std::string socket = scratch() + "/gnutls-p11-kit.socket";
                served.pid = p11KitServer(socket, tokenUri(label));
                ASSERT_NE(served.pid, 0);
                provider = "env -u LD_PRELOAD -u ASAN_OPTIONS P11_KIT_SERVER_ADDRESS=" + quoted("unix:path=" + socket) +
                           " GNUTLS_PIN=1234 gnutls-cli --provider " + kP11KitClient;
            }
            connect = provider + " --x509certfile " + quoted(object + ";type=cert") + " --x509keyfile " +
                      quoted(object + ";type=private") +
                      " --x509cafile server.pem --verify-hostname localhost --priority " +
                      (protocol == "-tls1_3" ? "NORMAL:-VERS-ALL:+VERS-TLS1.3" : "NORMAL:-VERS-ALL:+VERS-TLS1.2") +
                      " -p " + std::to_string(port) + " 127.0.0.1";
        }
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
            "printf 'GET / HTTP/1.0\\r\\n\\r\\n' | " +
            connect +
            "; client=$?; wait $server; echo \"client $client server $?\"; "
            "echo '--- server'; cat server.log";
        Outcome tls = run("sh -c " + quoted(script));
        std::cout << "[ " << label << " " << protocol << " " << sigalgs
                  << (client == TlsClient::gnutls ? " gnutls-cli" : " openssl") << " ]\n"
                  << tls.output;
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
    // The installed sigilla-register finds the module installed beside it. That home has no browser
    // profile, which its status says.
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

// gnutls-cli loading the module itself authenticates each generation's holder as OpenSSL does: the
// third with PKCS#1 signatures on TLS 1.2, the fourth with RSA-PSS on TLS 1.3.
TEST_F(ClientTools, GnutlsCliAuthenticatesTheHolderOnTls12AndTls13) {
    for (const auto& [generation, profileName, protocol, sigalgs] :
         {std::tuple{"QEL3", "qel3-default", "-tls1_2", "RSA+SHA256"},
          std::tuple{"QEL4", "qel4-default", "-tls1_3", "rsa_pss_rsae_sha256"}}) {
        SCOPED_TRACE(generation);
        const auto started = std::chrono::steady_clock::now();
        const std::string card = freshProfile(profileName);
        putCard("contact", card);
        const std::string label = tokenLabel(generation, card);
        const std::string authentication =
            authenticationKeyId(tool("--token-label " + quoted(label) + " --login --pin 1234 -O").output);
        ASSERT_FALSE(authentication.empty());
        authenticatesOverTls(label, authentication, protocol, sigalgs, TlsClient::gnutls);
        figure(std::string("gnutls-cli ") + generation + " " + protocol, started);
    }
}

// poppler's pdfsig, with the module put in the user's NSS database by sigilla-register, signs a PDF
// with the card's signature key and verifies the signature, and each run ends with status 0: NSS
// shuts down from an exit handler, when the module's own teardown may have begun.
TEST_F(ClientTools, PdfsigSignsAndVerifiesAPdfThroughTheUsersDatabase) {
    const auto started = std::chrono::steady_clock::now();
    const std::string home = std::getenv("HOME");
    fs::remove_all(home + "/.pki");
    const std::string qel3 = freshProfile("qel3-default");
    putCard("contact", qel3);
    const std::string label = tokenLabel("QEL3", qel3);
    // Status 4 says that no browser profile took the module, which pdfsig does not need.
    Outcome registered = run(built("token/sigilla-register") + " --module " + quoted(modulePath()));
    ASSERT_TRUE(registered.status == 0 || registered.status == 4) << registered.output;
    const std::string db = "sql:" + home + "/.pki/nssdb";
    Outcome listed = run("certutil -L -h all -d " + quoted(db));
    EXPECT_EQ(listed.status, 0) << listed.output;
    EXPECT_GE(occurrences(listed.output, label + ":"), 2) << listed.output;

    // The signature key is the one that does not decipher.
    Outcome objects = tool("--token-label " + quoted(label) + " --login --pin 1234 -O");
    const std::string authentication = authenticationKeyId(objects.output);
    std::string signature;
    for (const std::string& id : privateKeyIds(objects.output))
        if (id != authentication && signature.empty()) signature = id;
    const std::string certificate = certificateLabel(objects.output, signature);
    ASSERT_FALSE(certificate.empty()) << objects.output;
    const std::string nickname = label + ":" + certificate;
    EXPECT_NE(listed.output.find(nickname), std::string::npos) << listed.output;

    writeFile("unsigned.pdf", unsignedPdf());
    fs::remove(scratch() + "/signed.pdf");
    // pdfsig answers every slot that asks for a password with -nss-pwd (the shared database has none,
    // the card asks for its PIN), and the signature key with -kpw.
    Outcome signing = run("pdfsig -nssdir " + quoted(db) + " -nss-pwd 1234 -add-signature -nick " + quoted(nickname) +
                          " -kpw 1234 -reason " + quoted("Ordonnance") + " unsigned.pdf signed.pdf");
    std::cout << "[ pdfsig -add-signature ] status " << signing.status << "\n" << signing.output;
    EXPECT_EQ(signing.status, 0) << signing.output;
    ASSERT_TRUE(fs::exists(scratch() + "/signed.pdf")) << signing.output;
    Outcome verified = run("pdfsig -nssdir " + quoted(db) + " signed.pdf");
    std::cout << "[ pdfsig ] status " << verified.status << "\n" << verified.output;
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_NE(verified.output.find("Signature Validation: Signature is Valid."), std::string::npos) << verified.output;
    EXPECT_NE(verified.output.find("Total document signed"), std::string::npos) << verified.output;
    figure("certutil and pdfsig through NSS", started);
}

// p11-kit's server publishes the card to programs that cannot load a host library (a sandboxed
// browser), started as a user starts it in a session: through p11-kit-client.so, which finds its
// socket in the session's runtime folder, they list the card's certificates, and a signature verifies.
TEST_F(ClientTools, P11KitServerPublishesTheCardThroughItsSocket) {
    const auto started = std::chrono::steady_clock::now();
    const std::string qel3 = freshProfile("qel3-default");
    putCard("contact", qel3);
    const std::string label = tokenLabel("QEL3", qel3);
    const std::string runtime = scratch() + "/runtime";
    fs::remove_all(runtime);
    fs::create_directories(runtime + "/p11-kit");
    fs::permissions(runtime, fs::perms::owner_all);
    Background server{p11KitServer(runtime + "/p11-kit/pkcs11", "pkcs11:")};
    ASSERT_NE(server.pid, 0);
    const char* earlier = std::getenv("XDG_RUNTIME_DIR");
    struct Session {
        std::string earlier;
        bool had;
        ~Session() { had ? ::setenv("XDG_RUNTIME_DIR", earlier.c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR"); }
    } session{earlier ? earlier : "", earlier != nullptr};
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::unsetenv("P11_KIT_SERVER_ADDRESS");

    const std::string token = "--token-label " + quoted(label) + " --login --pin 1234";
    Outcome objects = pkcs11Tool(token + " -O", kP11KitClient);
    ASSERT_EQ(objects.status, 0) << objects.output;
    std::cout << objects.output;
    EXPECT_GE(occurrences(objects.output, "Certificate Object"), 2) << objects.output;
    const auto ids = privateKeyIds(objects.output);
    ASSERT_GE(ids.size(), 1u) << objects.output;
    signAndVerify(token + " -m SHA256-RSA-PKCS", ids[0], "", kP11KitClient);
    figure("p11-kit server and p11-kit-client.so", started);
}

// Firefox on a profile it made itself at its first start, as a new user has it, registered by
// sigilla-register, authenticates to a TLS server that requires a certificate of the test chain. The
// card is a third-generation card on the contactless reader, whose keys sign without the PIN: a
// headless Firefox has nobody to ask for one. Slow, so it runs in its own ctest entry.
TEST_F(ClientTools, FirefoxAuthenticatesWithTheCardOnAProfileItMadeItself) {
    const char* firefox = std::getenv("SIGILLA_FIREFOX");
    if (firefox == nullptr || *firefox == '\0') GTEST_SKIP() << "runs in its own ctest entry (ctest -L browser)";
    if (sanitized())
        GTEST_SKIP() << "Firefox does not start with the sanitizer runtime that a sanitized module needs: "
                        "run it in a build without QEL_SANITIZE";
    const auto started = std::chrono::steady_clock::now();
    // A fresh account: no configuration folder but the one Firefox makes.
    const std::string home = scratch() + "/firefox-home";
    fs::remove_all(home);
    fs::create_directories(home);
    const std::string asUser = "env -u XDG_CONFIG_HOME -u XDG_CACHE_HOME -u XDG_DATA_HOME HOME=" + quoted(home) + " ";
    const std::string browser = asUser + "timeout 300 " + quoted(firefox) + " --headless ";
    Outcome created = run(browser + "--createprofile kartello");
    ASSERT_EQ(created.status, 0) << created.output;
    std::string root;
    for (const std::string& candidate : {home + "/.config/mozilla/firefox", home + "/.mozilla/firefox"})
        if (root.empty() && fs::exists(candidate + "/profiles.ini")) root = candidate;
    ASSERT_FALSE(root.empty()) << "no profiles.ini under " << home;
    std::smatch m;
    const std::string profiles = fileText(root + "/profiles.ini");
    ASSERT_TRUE(std::regex_search(profiles, m, std::regex("Path=([^\\n]*kartello)"))) << profiles;
    const std::string profile = root + "/" + m[1].str();
    std::cout << "[ firefox ] profile made by Firefox: " << profile << "\n";
    Outcome first = run(browser + "-P kartello --screenshot first.png about:blank");
    ASSERT_EQ(first.status, 0) << first.output;
    ASSERT_TRUE(fs::exists(profile + "/cert9.db")) << first.output;

    testbed::control("remove contact");
    const std::string qel3 = freshProfile("qel3-default");
    putCard("contactless", qel3);
    Outcome registered = run(asUser + built("token/sigilla-register") + " --module " + quoted(modulePath()));
    std::cout << registered.output;
    ASSERT_EQ(registered.status, 0) << registered.output;
    EXPECT_NE(registered.output.find(profile), std::string::npos) << registered.output;
    EXPECT_NE(fileText(profile + "/pkcs11.txt").find("library=" + modulePath() + "\n"), std::string::npos)
        << registered.output;

    // The server's own authority, trusted in the profile for TLS servers; the server asks for a
    // client certificate of the test chain, on TLS 1.2 (the third generation signs with PKCS#1).
    writeFile("web.ext", "basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n");
    Outcome chain = run(
        "sh -c " + quoted("openssl req -x509 -newkey rsa:2048 -nodes -keyout web-ca.key -out web-ca.pem -days 2 "
                          "-subj '/CN=Kartello test web authority' && "
                          "openssl req -newkey rsa:2048 -nodes -keyout web.key -out web.csr -subj /CN=127.0.0.1 && "
                          "openssl x509 -req -in web.csr -CA web-ca.pem -CAkey web-ca.key -CAcreateserial -days 2 "
                          "-extfile web.ext -out web.pem && "
                          "for f in " +
                          quoted(testbed::runDir() + "/profiles/ca") +
                          "/*.cer; do openssl x509 -inform DER -in \"$f\" 2>/dev/null || openssl x509 -in \"$f\"; done "
                          "> ca.pem"));
    ASSERT_EQ(chain.status, 0) << chain.output;
    Outcome trusted = run(asUser + "certutil -A -n " + quoted("Kartello test web authority") +
                          " -t C,, -i web-ca.pem -d " + quoted("sql:" + profile));
    ASSERT_EQ(trusted.status, 0) << trusted.output;
    std::ofstream(profile + "/user.js") << "user_pref(\"security.default_personal_cert\", \"Select Automatically\");\n"
                                           "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                           "user_pref(\"app.update.auto\", false);\n"
                                           "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n";

    const int port = freeLoopbackPort();
    ASSERT_NE(port, 0);
    Outcome listening =
        run("sh -c " +
            quoted("openssl s_server -www -state -accept 127.0.0.1:" + std::to_string(port) +
                   " -cert web.pem -key web.key -CAfile ca.pem -Verify 1 -verify_return_error -tls1_2 "
                   "-client_sigalgs RSA+SHA256 > firefox-server.log 2>&1 & echo $! > firefox-server.pid; "
                   "i=0; until grep -q ACCEPT firefox-server.log || [ $i -ge 600 ]; do i=$((i+1)); sleep 0.05; done"));
    ASSERT_EQ(listening.status, 0) << listening.output;
    Background server{static_cast<pid_t>(std::atol(fileText(scratch() + "/firefox-server.pid").c_str()))};
    const auto visit = std::chrono::steady_clock::now();
    Outcome visited =
        run(browser + "-P kartello --screenshot page.png " + quoted("https://127.0.0.1:" + std::to_string(port) + "/"));
    figure("Firefox visit with client authentication", visit);
    EXPECT_EQ(visited.status, 0) << visited.output;
    const std::string log = fileText(scratch() + "/firefox-server.log");
    std::cout << "[ firefox ] server\n" << log;
    // The server verified the card's certificate and then read the card's signature of the handshake.
    EXPECT_NE(log.find("verify return:1"), std::string::npos) << log;
    EXPECT_EQ(log.find("verify error"), std::string::npos) << log;
    EXPECT_NE(log.find("read certificate verify"), std::string::npos) << log;
    testbed::control("remove contactless");
    figure("Firefox, from its first start to the authenticated visit", started);
}

}  // namespace
}  // namespace qel::sigillatest
