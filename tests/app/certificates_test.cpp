// The certificates view, the revocation check and the issuer chain installation, on a small test
// chain made with the virtual card's certificate tools.
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/certificate_details.h"
#include "app/certificate_view_controller.h"
#include "management/revocation/crl_download.h"
#include "management/revocation/crl_lookup.h"
#include "management/trust/authority_store.h"
#include "management/trust/nss_certificate_store.h"
#include "management/trust/trust_installer.h"
#include "common/hex.h"
#include "common/user_dirs.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "sim/card/x509_builder.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/fake_views.h"
#include "tests/support/log_capture.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;
using sim::PkeyPtr;
using sim::X509Ptr;

const char* const kCrlUrl = "http://127.0.0.1:8081/crl/ACI-TEST.crl";

X509Ptr authority(const std::string& name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
    sim::CertificateRequest r;
    r.subject = {{"C", "FR"}, {"O", "IRV"}, {"CN", name}};
    r.notBefore = "20200101000000Z";
    r.notAfter = "20400101000000Z";
    r.ca = true;
    r.keyUsage = "critical,keyCertSign,cRLSign";
    return sim::issueCertificate(r, key, issuer, issuerKey);
}

AuthorityCertificate entry(const std::string& name, X509* cert) {
    AuthorityCertificate a;
    a.resourceName = name;
    a.certificate.reset(X509_dup(cert), X509_free);
    a.der = sim::derOf(cert);
    a.subject = derOfName(X509_get_subject_name(cert));
    a.issuer = derOfName(X509_get_issuer_name(cert));
    return a;
}

/// A root, an intermediate under it, and a card's authentication certificate from the intermediate.
struct TestChain {
    TestChain() {
        sim::CertificateRequest r;
        r.subject = {{"C", "FR"}, {"CN", "JEAN DUPONT"}};
        r.notBefore = "20240101000000Z";
        r.notAfter = "20290101000000Z";
        r.keyUsage = "critical,digitalSignature,keyEncipherment";
        r.extendedKeyUsage = "clientAuth";
        r.crlUrls = {"http://elsewhere.invalid/first.crl", kCrlUrl};
        leaf = sim::issueCertificate(r, leafKey.get(), intermediate.get(), intermediateKey.get());
    }
    Bytes crlListing(const std::vector<Bytes>& serials, EVP_PKEY* signer = nullptr) const {
        return sim::makeCrl(intermediate.get(), signer ? signer : intermediateKey.get(), serials, 30);
    }
    std::vector<AuthorityCertificate> authorities() const {
        return {entry("ACR-TEST", root.get()), entry("ACI-TEST", intermediate.get())};
    }

    PkeyPtr rootKey = sim::generateRsaKey(1024);
    PkeyPtr intermediateKey = sim::generateRsaKey(1024);
    PkeyPtr leafKey = sim::generateRsaKey(1024);
    X509Ptr root = authority("ACR-TEST", rootKey.get(), nullptr, rootKey.get());
    X509Ptr intermediate = authority("ACI-TEST", intermediateKey.get(), root.get(), rootKey.get());
    X509Ptr leaf;
};

const TestChain& chain() {
    static const TestChain c;
    return c;
}

TEST(CrlLookup, SerialsMatchAsWholeIntegersOnly) {
    const Bytes listed{0x12, 0x34, 0x56};
    const Bytes crl = chain().crlListing({listed, Bytes{0x7F}});
    X509* issuer = chain().intermediate.get();
    const struct {
        Bytes serial;
        CrlAnswer expected;
    } cases[] = {
        {{0x12, 0x34, 0x56}, CrlAnswer::revoked},
        {{0x00, 0x12, 0x34, 0x56}, CrlAnswer::revoked},  // the same integer with a leading zero byte
        {{0x7F}, CrlAnswer::revoked},
        {{0x12, 0x34}, CrlAnswer::notRevoked},              // prefix
        {{0x34, 0x56}, CrlAnswer::notRevoked},              // suffix
        {{0x12, 0x34, 0x56, 0x78}, CrlAnswer::notRevoked},  // the listed one is its prefix
        {{0x01, 0x12, 0x34, 0x56}, CrlAnswer::notRevoked},  // ... and its suffix
        {{0x7F, 0x7F}, CrlAnswer::notRevoked},
    };
    for (const auto& c : cases) EXPECT_EQ(lookupSerial(crl, c.serial, issuer), c.expected) << toHex(c.serial);
}

TEST(CrlLookup, OnlyAListSignedByTheIssuingAuthorityAnswers) {
    const Bytes listed{0x12, 0x34, 0x56};
    X509* issuer = chain().intermediate.get();
    Bytes flipped = chain().crlListing({listed});
    flipped.back() ^= 0x01;
    Bytes trailing = chain().crlListing({listed});
    trailing.push_back(0x00);
    const Bytes good = chain().crlListing({listed});
    const Bytes truncated(good.begin(), good.end() - 10);

    EXPECT_EQ(lookupSerial(flipped, listed, issuer), CrlAnswer::notSignedByIssuer);
    EXPECT_EQ(lookupSerial(chain().crlListing({listed}, chain().rootKey.get()), listed, issuer),
              CrlAnswer::notSignedByIssuer);
    // The root's own list, properly signed, says nothing about the intermediate's certificates.
    EXPECT_EQ(lookupSerial(sim::makeCrl(chain().root.get(), chain().rootKey.get(), {listed}, 30), listed, issuer),
              CrlAnswer::notSignedByIssuer);
    EXPECT_EQ(lookupSerial(trailing, listed, issuer), CrlAnswer::unreadable);
    EXPECT_EQ(lookupSerial(truncated, listed, issuer), CrlAnswer::unreadable);
    EXPECT_EQ(lookupSerial(Bytes{'<', 'h', 't', 'm', 'l', '>'}, listed, issuer), CrlAnswer::unreadable);
    EXPECT_EQ(lookupSerial({}, listed, issuer), CrlAnswer::unreadable);
}

TEST(CrlLookup, AListPastItsNextUpdateVouchesForNothing) {
    const Bytes listed{0x12, 0x34, 0x56}, other{0x7F};
    X509* issuer = chain().intermediate.get();
    const Bytes current = sim::makeCrl(issuer, chain().intermediateKey.get(), {listed}, 30);
    const auto now = std::chrono::system_clock::now();
    EXPECT_EQ(lookupSerial(current, other, issuer, now), CrlAnswer::notRevoked);
    // The same list read a month and a half later: its silence proves nothing any more.
    EXPECT_EQ(lookupSerial(current, other, issuer, now + std::chrono::hours(24 * 45)), CrlAnswer::outdated);
    // A revocation does not expire with the list that carries it.
    EXPECT_EQ(lookupSerial(current, listed, issuer, now + std::chrono::hours(24 * 45)), CrlAnswer::revoked);
}

TEST(CrlLookup, TheSecondDistributionPointIsTheOneChecked) {
    EXPECT_EQ(crlDistributionPoint(chain().leaf.get()), kCrlUrl);
    // The authorities name no list at all.
    EXPECT_EQ(crlDistributionPoint(chain().root.get()), std::nullopt);
    sim::CertificateRequest r;
    r.subject = {{"CN", "ONE POINT"}};
    r.keyUsage = "critical,digitalSignature";
    r.notBefore = "20240101000000Z";
    r.notAfter = "20290101000000Z";
    r.crlUrls = {kCrlUrl};
    X509Ptr single =
        sim::issueCertificate(r, chain().leafKey.get(), chain().intermediate.get(), chain().intermediateKey.get());
    EXPECT_EQ(crlDistributionPoint(single.get()), std::nullopt);
}

struct FakeCrlFetcher : CrlFetcher {
    std::optional<Bytes> fetch(const std::string& url, const std::string& destination) override {
        urls.push_back(url);
        return answer;
    }
    std::optional<Bytes> answer;
    std::vector<std::string> urls;
};

struct CardWindow : MainWindowDelegate {
    void setCardBlocked(bool) override {}
    void setUserAuthentified(bool) override {}
    void updateUI() override {}
    void showIdentificationPane(bool) override {}
    std::shared_ptr<Pkcs11Card> selectedCard() override { return card; }
    void beginCardReading() override { ++readings; }
    void endCardReading() override { --readings; }
    std::shared_ptr<Pkcs11Card> card;
    int readings = 0;
};

std::shared_ptr<Pkcs11X509> cardCertificate(X509* cert, const std::string& name) {
    return std::make_shared<Pkcs11X509>(sim::derOf(cert), Bytes{0x01}, name,
                                        name.find("Authentification") != std::string::npos);
}

struct CertificateViewTest : ::testing::Test {
    void SetUp() override {
        module.addSlot("Reader", true);
        ASSERT_EQ(library.initialize(), CKR_OK);
        window.card = std::make_shared<Pkcs11Card>(library, 0, true);
        controller.setMainWindow(&window);
    }
    /// The card's certificates as the library lists them.
    void holds(std::vector<std::shared_ptr<Pkcs11X509>> certificates) {
        window.card->x509Certs = std::move(certificates);
    }

    FakeIssuerModule module;
    Pkcs11Library library{module.functions(), nullptr};
    CardWindow window;
    FakeCertificateView view;
    FakeCertificateViewer viewer;
    FakeFilePicker files;
    FakeCrlFetcher fetcher;
    AuthorityStore authorities{chain().authorities()};
    const std::string folder = userdirs::home() + "/certificates-test";
    CertificateViewController controller{
        view, CertificateViewServices{viewer, files, fetcher, authorities, folder + "/root.crl", folder + "/Desktop"}};
};

TEST_F(CertificateViewTest, RevokedOnlyWhenTheAuthoritysSignedListNamesTheSerial) {
    controller.setCertificates(std::vector{cardCertificate(chain().leaf.get(), kAuthentCertificateName)});
    const Bytes serial = sim::serialOf(chain().leaf.get());
    struct Case {
        const char* what;
        std::optional<Bytes> answer;
        bool revoked;
        const char* logged;
    };
    Bytes forged = chain().crlListing({serial});
    forged.back() ^= 0x01;
    const Case cases[] = {
        {"listed", chain().crlListing({serial}), true, "Certificat opposé !"},
        {"not listed", chain().crlListing({Bytes{0x01}}), false, "Certificat valide"},
        {"no download", std::nullopt, false, "CheckRevoke: Erreur lors de la récupération du CRL"},
        {"an error page", Bytes{'4', '0', '4'}, false,
         "CheckRevoke: Erreur lors de la vérification de l'opposition du certificat"},
        {"bad signature", forged, false, "CheckRevoke: La signature du CRL ne correspond pas à l'autorité émettrice"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        fetcher.answer = c.answer;
        EXPECT_EQ(controller.checkRevoke(), c.revoked) << c.what;
        EXPECT_TRUE(log.contains(c.logged)) << c.what << ": " << log.text();
    }
    EXPECT_EQ(fetcher.urls.back(), kCrlUrl);

    // A list whose authority is not among the resources cannot be checked either.
    AuthorityStore none{std::vector<AuthorityCertificate>{}};
    CertificateViewController unknown{
        view, CertificateViewServices{viewer, files, fetcher, none, folder + "/root.crl", folder}};
    unknown.setCertificates(std::vector{cardCertificate(chain().leaf.get(), kAuthentCertificateName)});
    fetcher.answer = chain().crlListing({serial});
    EXPECT_FALSE(unknown.checkRevoke());
}

TEST_F(CertificateViewTest, OnlyTheContactAuthenticationCertificateIsChecked) {
    const std::size_t before = fetcher.urls.size();
    EXPECT_FALSE(controller.checkRevoke());  // nothing loaded: no line, no download
    controller.setCertificates(std::vector<std::shared_ptr<Pkcs11X509>>{});
    EXPECT_FALSE(controller.checkRevoke());

    LogCapture log;
    controller.setCertificates(std::vector{cardCertificate(chain().leaf.get(), kTechnicalCertificateLabel)});
    EXPECT_FALSE(controller.checkRevoke());
    EXPECT_TRUE(log.contains("CheckRevoke: Erreur lors de la récupération du certificat"));
    controller.setCertificates(std::vector{cardCertificate(chain().root.get(), kAuthentCertificateName)});
    EXPECT_FALSE(controller.checkRevoke());
    EXPECT_TRUE(log.contains("CheckRevoke: Erreur lors de la récupération de l'URL du point de distribution CRL"));
    EXPECT_EQ(fetcher.urls.size(), before);
}

TEST_F(CertificateViewTest, ContactCardShowsBothCertificatesAndSavesThemOnTheDesktop) {
    holds({cardCertificate(chain().root.get(), kSignatureCertificateLabel),
           cardCertificate(chain().leaf.get(), kAuthentCertificateName)});
    controller.viewWillAppear();
    EXPECT_FALSE(view.hidden);
    EXPECT_EQ(window.readings, 0);
    EXPECT_EQ(view.authentName.value, kAuthentCertificateName);
    EXPECT_FALSE(view.signatureView.hidden);
    EXPECT_FALSE(view.signatureSave.hidden);
    EXPECT_EQ(view.count.value, "2 certificats sur la carte");
    EXPECT_EQ(controller.certificateCount(), 2u);

    view.authentView.click();
    ASSERT_EQ(viewer.shown.size(), 1u);
    const ui::CertificateDetails& d = viewer.shown[0];
    EXPECT_EQ(d.title, kAuthentCertificateName);
    EXPECT_NE(d.subject.find("JEAN DUPONT"), std::string::npos) << d.subject;
    EXPECT_NE(d.issuer.find("ACI-TEST"), std::string::npos) << d.issuer;
    EXPECT_EQ(d.keyUsages, (std::vector<std::string>{"Signature numérique", "Chiffrement de clé"}));
    EXPECT_EQ(d.publicKey, "RSA 1024 bits");
    EXPECT_EQ(d.sha256.size(), 32u * 3 - 1);
    EXPECT_EQ(d.sha1.size(), 20u * 3 - 1);
    bool pointShown = false;
    std::map<std::string, std::string> extensions;
    for (const auto& e : d.extensions) {
        pointShown |= e.value.find(kCrlUrl) != std::string::npos;
        extensions[e.name] = e.value;
    }
    EXPECT_TRUE(pointShown);
    // In French like the rest of the view.
    EXPECT_EQ(extensions["Utilisation de la clé"], "Signature numérique, Chiffrement de clé");
    EXPECT_NE(extensions["Points de distribution des listes de révocation"].find("Nom complet :"), std::string::npos)
        << extensions["Points de distribution des listes de révocation"];
    for (const auto& [name, value] : extensions)
        for (const char* english : {"Digital Signature", "Full Name", "Key Usage", "Distribution Points"}) {
            EXPECT_EQ(name.find(english), std::string::npos) << name;
            EXPECT_EQ(value.find(english), std::string::npos) << value;
        }

    // Cancelled: nothing written.
    view.signatureSave.click();
    ASSERT_EQ(files.requests.size(), 1u);
    EXPECT_EQ(files.requests[0].proposedName, "Certificat de Signature QEL - " + window.card->serial + ".cer");
    EXPECT_EQ(files.requests[0].startDirectory, folder + "/Desktop");
    EXPECT_EQ(files.requests[0].extension, "cer");

    fs::create_directories(folder);
    files.answer = folder + "/auth";
    LogCapture log;
    view.authentSave.click();
    EXPECT_EQ(files.requests.back().proposedName,
              std::string(kAuthentCertificateName) + " - " + window.card->serial + ".cer");
    std::ifstream saved(folder + "/auth.cer", std::ios::binary);
    EXPECT_EQ(Bytes((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>()),
              sim::derOf(chain().leaf.get()));
    EXPECT_TRUE(log.contains("Certificat enregistré sous: file://" + folder + "/auth.cer"));

    // A folder that cannot be written is said, not passed over.
    files.answer = folder + "/missing/auth.cer";
    view.authentSave.click();
    EXPECT_EQ(view.message.value, "Le certificat n'a pas pu être enregistré.");
    EXPECT_EQ(view.message.colour, ui::colours::red);
}

TEST_F(CertificateViewTest, ContactlessCardOffersItsTechnicalCertificateOnly) {
    window.card->contactQEL = false;
    holds({cardCertificate(chain().leaf.get(), kTechnicalCertificateLabel)});
    controller.viewWillAppear();
    EXPECT_EQ(view.authentName.value, kTechnicalCertificateLabel);
    EXPECT_TRUE(view.signatureView.hidden);
    EXPECT_TRUE(view.signatureSave.hidden);
    EXPECT_EQ(view.count.value, "1 certificat sur la carte");
    view.authentView.click();
    ASSERT_EQ(viewer.shown.size(), 1u);
    EXPECT_EQ(viewer.shown[0].title, kTechnicalCertificateLabel);

    // A card read again empties the view; one without the named certificate only logs.
    controller.setCertificates(std::nullopt);
    holds({});
    LogCapture log;
    controller.viewWillAppear();
    view.authentView.click();
    EXPECT_EQ(viewer.shown.size(), 1u);
    EXPECT_TRUE(log.contains(std::string("Pas de certificat avec le nom: ") + kTechnicalCertificateLabel));

    // Without a main window there is nothing to show, and nothing breaks.
    controller.setMainWindow(nullptr);
    controller.setCertificates(std::nullopt);
    controller.viewWillAppear();
    EXPECT_FALSE(view.authentView.enabled);
    EXPECT_EQ(view.count.value, "Aucun certificat sur la carte");
}

/// The user's database as a list of certificates and their trust.
struct FakeStore : CertificateStore {
    bool open() override { return opens; }
    void close() override {}
    Presence find(const AuthorityCertificate& a) override {
        auto it = entries.find(a.resourceName);
        return it == entries.end() ? Presence{} : Presence{true, it->second};
    }
    bool add(const AuthorityCertificate& a) override {
        if (a.resourceName == refusedAdd) return false;
        added.push_back(a.resourceName);
        entries[a.resourceName] = false;
        return true;
    }
    bool trustAsAuthority(const AuthorityCertificate& a) override {
        trusted.push_back(a.resourceName);
        entries[a.resourceName] = true;
        return true;
    }
    bool opens = true;
    std::string refusedAdd;
    std::map<std::string, bool> entries;  ///< name → trusted
    std::vector<std::string> added, trusted;
};

struct TrustTest : ::testing::Test {
    TrustInstallOutcome install() {
        return installer.installChainOf(*cardCertificate(chain().leaf.get(), kAuthentCertificateName));
    }

    AuthorityStore authorities{chain().authorities()};
    FakeStore store;
    FakeAlertPresenter alerts;
    TrustCertificatesInstaller installer{authorities, store, alerts};
};

TEST_F(TrustTest, TheRootIsTrustedOnceAfterTheAlertAndNothingIsAddedTwice) {
    const TrustInstallOutcome first = install();
    EXPECT_EQ(first.status, TrustInstallOutcome::Status::done);
    EXPECT_EQ(first.chain, (std::vector<std::string>{"ACI-TEST", "ACR-TEST"}));
    EXPECT_EQ(first.added, first.chain);
    EXPECT_EQ(first.trustedRoot, "ACR-TEST");
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].messageText, "Mise à jour des trousseaux d'accès.");
    EXPECT_EQ(alerts.alerts[0].informativeText,
              "Les certificats de confiance de l'IRV vont être installés sur votre système.");
    EXPECT_EQ(store.added, (std::vector<std::string>{"ACI-TEST", "ACR-TEST"}));
    EXPECT_EQ(store.trusted, (std::vector<std::string>{"ACR-TEST"}));

    const TrustInstallOutcome second = install();
    EXPECT_EQ(second.status, TrustInstallOutcome::Status::done);
    EXPECT_TRUE(second.added.empty());
    EXPECT_EQ(second.trustedRoot, "");
    EXPECT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(store.added.size(), 2u);
    EXPECT_EQ(store.trusted.size(), 1u);
}

TEST_F(TrustTest, ARefusedAlertAddsNothing) {
    alerts.answer = 1;
    EXPECT_EQ(install().status, TrustInstallOutcome::Status::refused);
    EXPECT_EQ(alerts.alerts.size(), 1u);
    EXPECT_TRUE(store.added.empty());
    EXPECT_TRUE(store.trusted.empty());
    // The next card read does not bring the question back while the program runs.
    alerts.answer = 0;
    EXPECT_EQ(install().status, TrustInstallOutcome::Status::refused);
    EXPECT_EQ(alerts.alerts.size(), 1u);
    EXPECT_TRUE(store.added.empty());

    const auto leaf = cardCertificate(chain().leaf.get(), kAuthentCertificateName);
    TrustCertificatesInstaller nextRun{authorities, store, alerts};
    alerts.answer = -1;  // closed without an answer
    EXPECT_EQ(nextRun.installChainOf(*leaf).status, TrustInstallOutcome::Status::refused);
    EXPECT_EQ(alerts.alerts.size(), 2u);
    EXPECT_TRUE(store.added.empty());

    // The root refused by the database after the intermediate went in: a failure that says what was added.
    TrustCertificatesInstaller thirdRun{authorities, store, alerts};
    alerts.answer = 0;
    store.refusedAdd = "ACR-TEST";
    const TrustInstallOutcome failed = thirdRun.installChainOf(*leaf);
    EXPECT_EQ(failed.status, TrustInstallOutcome::Status::storeFailed);
    EXPECT_EQ(failed.added, (std::vector<std::string>{"ACI-TEST"}));
    EXPECT_EQ(failed.trustedRoot, "");
}

TEST_F(TrustTest, PartialChainsAndPresentRoots) {
    // A trusted root already there: the intermediate is added without asking.
    store.entries["ACR-TEST"] = true;
    install();
    EXPECT_TRUE(alerts.alerts.empty());
    EXPECT_EQ(store.added, (std::vector<std::string>{"ACI-TEST"}));
    EXPECT_TRUE(store.trusted.empty());

    // A root present but not trusted is trusted, not added again.
    FakeStore second;
    second.entries["ACR-TEST"] = false;
    TrustCertificatesInstaller{authorities, second, alerts}.installChain(chain().authorities()[1].issuer);
    EXPECT_TRUE(second.added.empty());
    EXPECT_EQ(second.trusted, (std::vector<std::string>{"ACR-TEST"}));

    // An intermediate whose root is not among the resources is added, never trusted.
    AuthorityStore intermediateOnly{std::vector{chain().authorities()[1]}};
    FakeStore third;
    TrustCertificatesInstaller{intermediateOnly, third, alerts}.installChain(chain().authorities()[1].subject);
    EXPECT_EQ(third.added, (std::vector<std::string>{"ACI-TEST"}));
    EXPECT_TRUE(third.trusted.empty());

    // An issuer matching no resource, or a database that cannot be opened: nothing happens.
    FakeStore fourth;
    const std::size_t asked = alerts.alerts.size();
    TrustCertificatesInstaller fourthInstaller{authorities, fourth, alerts};
    EXPECT_EQ(fourthInstaller.installChain(Bytes{0x30, 0x03, 0x01, 0x02, 0x03}).status,
              TrustInstallOutcome::Status::noMatchingAuthority);
    fourth.opens = false;
    EXPECT_EQ(fourthInstaller.installChain(chain().authorities()[1].subject).status,
              TrustInstallOutcome::Status::storeFailed);
    EXPECT_TRUE(fourth.added.empty());
    EXPECT_EQ(alerts.alerts.size(), asked);
}

/// certutil's listing of a database: nickname and trust flags per line.
std::string certutilList(const std::string& dir) {
    const std::string command = "certutil -L -d sql:" + dir + " 2>&1";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
        pclose(p);
    }
    return out;
}

TEST(NssStore, CreatesTheDatabaseAddsAndTrustsOnlyTheRoot) {
    if (std::system("command -v certutil >/dev/null 2>&1") != 0) GTEST_SKIP() << "certutil not installed";
    const std::string dir = userdirs::home() + "/nss-test/nssdb";
    fs::remove_all(userdirs::home() + "/nss-test");
    AuthorityStore authorities{chain().authorities()};
    FakeAlertPresenter alerts;
    {
        NssCertificateStore store(dir);
        TrustCertificatesInstaller installer{authorities, store, alerts};
        installer.checkIssuerChain(*cardCertificate(chain().leaf.get(), kAuthentCertificateName));
    }
    EXPECT_TRUE(fs::exists(dir + "/cert9.db"));
    const std::string listing = certutilList(dir);
    EXPECT_NE(listing.find("ACR-TEST"), std::string::npos) << listing;
    EXPECT_NE(listing.find("CT,,"), std::string::npos) << listing;
    // The intermediate carries no trust of its own.
    const auto line = listing.find("ACI-TEST");
    ASSERT_NE(line, std::string::npos) << listing;
    EXPECT_EQ(listing.substr(line, listing.find('\n', line) - line).find("C,"), std::string::npos) << listing;

    // Read again through a new opening: present and trusted, nothing asked.
    NssCertificateStore again(dir);
    ASSERT_TRUE(again.open());
    EXPECT_TRUE(again.find(authorities.all()[0]).trusted);
    EXPECT_TRUE(again.find(authorities.all()[1]).present);
    EXPECT_FALSE(again.find(authorities.all()[1]).trusted);
    again.close();
    TrustCertificatesInstaller{authorities, again, alerts}.installChain(authorities.all()[1].issuer);
    EXPECT_EQ(alerts.alerts.size(), 1u);
}

}  // namespace
}  // namespace qel::test
