#include "sim/card/profile_generator.h"

#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "sim/card/x509_builder.h"

namespace qel::sim {

namespace fs = std::filesystem;

namespace {

void writeBytes(const std::string& path, const Bytes& bytes) {
    writeFileAtomically(path, std::string(bytes.begin(), bytes.end()));
}

std::string compactDate(const std::string& isoDate) {
    return isoDate.substr(0, 4) + isoDate.substr(5, 2) + isoDate.substr(8, 2);
}

bool isTestAuthority(const std::string& name) { return name.find("TEST") != std::string::npos; }

std::vector<std::pair<std::string, std::string>> authoritySubject(const std::string& name) {
    return {{"C", "FR"}, {"O", "IRV"}, {"OU", isTestAuthority(name) ? "IRV TEST" : "IRV"}, {"CN", name}};
}

std::string crlUrlOf(const std::string& base, const std::string& issuer) { return base + "/" + issuer + ".crl"; }

std::string crlBaseOf(const std::string& authorityDir) {
    auto j = nlohmann::json::parse(readWholeFile(authorityDir + "/authorities.json"));
    return j.at("crlBase").get<std::string>();
}

// Situation samples for generated cards, used in turn.
SituationProfile sampleSituation(int index, const HolderProfile& holder) {
    SituationProfile s;
    BillingProfile b;
    b.specialty = holder.specialty.size() == 2 ? holder.specialty : "01";
    switch (index % 3) {
        case 0:
            s.practiceMode = "00";
            s.companyName = "CABINET " + holder.lastName;
            s.structureId = "0" + std::string("75100") + std::to_string(1000 + index);
            s.sector = "SA07";
            b.billingId = std::to_string(75123450 + index);
            b.convention = "1";
            b.tariffZone = "40";
            b.mileage = "1";
            b.agreements = "020304";
            break;
        case 1:
            s.practiceMode = "01";
            s.companyName = "CENTRE HOSPITALIER DE TEST";
            s.structureId = "1" + std::to_string(750000000 + index);
            s.sector = "SA01";
            b.billingId = std::to_string(92765430 + index);
            b.convention = "9";
            b.tariffZone = "99";
            b.mileage = "9";
            b.agreements = "990000";
            b.permissionLot = false;
            break;
        default:
            s.practiceMode = "04";
            s.companyName = "REMPLACEMENT " + holder.lastName;
            s.structureId = "3" + std::to_string(12345678900000LL + index);
            s.sector = "SA08";
            break;  // a replacement without billing data
    }
    if (holder.profession == "21") s.pharmacistSection = index % 2 == 0 ? "A" : "DA";
    if (index % 3 != 2) s.billing = b;
    return s;
}

KeyProfile issueKey(const std::string& outDir, KeyProfile::Role role, std::uint8_t reference, const CardOptions& o,
                    const Authority& authority) {
    PkeyPtr key = generateRsaKey(o.keyBits);
    KeyProfile k;
    k.role = role;
    k.reference = reference;
    k.keyId = cardKeyId(key.get(), reference);
    const std::string stem = roleName(role);
    k.keyFile = "keys/" + stem + ".pem";
    k.certificateFile = "certs/" + stem + ".cer";
    switch (role) {
        case KeyProfile::Role::signature:
            k.keyLabel = "Cle de Signature QEL";
            k.certLabel = "Certificat de Signature QEL";
            break;
        case KeyProfile::Role::authentication:
            k.keyLabel = "Cle d'Authentification QEL";
            k.certLabel = "Certificat d'Authentification QEL";
            break;
        case KeyProfile::Role::technical:
            k.keyLabel = "Cle Technique QEL";
            k.certLabel = "Certificat Technique QEL";
            break;
    }
    X509Ptr cert = issueCardCertificate(role, key.get(), o.holder, o.validFrom, o.validUntil, authority);
    writePemKey(key.get(), outDir + "/" + k.keyFile);
    writeBytes(outDir + "/" + k.certificateFile, derOf(cert.get()));
    return k;
}

}  // namespace

Authority loadAuthority(const std::string& authorityDir, const std::string& name) {
    const auto& names = authorityResourceNames();
    if (std::find(names.begin(), names.end(), name) == names.end())
        throw std::runtime_error("unknown issuing authority " + name);
    return Authority{name, readDerCertificate(authorityDir + "/" + name + ".cer"),
                     readPemKey(authorityDir + "/keys/" + name + ".pem"), crlBaseOf(authorityDir)};
}

Authority issuingAuthority(const std::string& authorityDir, const Bytes& certificateDer) {
    const unsigned char* p = certificateDer.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size())));
    if (!cert) throw std::runtime_error("not a DER certificate");
    char name[256] = {};
    if (X509_NAME_get_text_by_NID(X509_get_issuer_name(cert.get()), NID_commonName, name, sizeof name) <= 0)
        throw std::runtime_error("a certificate without an issuer name");
    return loadAuthority(authorityDir, name);
}

Bytes cardKeyId(EVP_PKEY* publicKey, std::uint8_t reference) {
    Bytes hash = publicKeyHash(publicKey);
    Bytes id(hash.begin(), hash.begin() + 7);
    // The last byte names the key item on the host side: the key reference keeps it unique.
    id.push_back(reference);
    return id;
}

X509Ptr issueCardCertificate(KeyProfile::Role role, EVP_PKEY* publicKey, const HolderProfile& h,
                             const std::string& validFrom, const std::string& validUntil, const Authority& authority) {
    CertificateRequest req;
    req.notBefore = compactDate(validFrom) + "000000Z";
    req.notAfter = compactDate(validUntil) + "235959Z";
    req.crlUrls = {crlUrlOf(authority.crlBase, authority.name), crlUrlOf(authority.crlBase, authority.name)};
    switch (role) {
        case KeyProfile::Role::signature:
            req.keyUsage = "critical,nonRepudiation";
            break;
        case KeyProfile::Role::authentication:
            req.keyUsage = "critical,digitalSignature,keyEncipherment";
            req.extendedKeyUsage = "clientAuth,emailProtection";
            break;
        case KeyProfile::Role::technical:
            req.keyUsage = "critical,digitalSignature";
            req.extendedKeyUsage = "clientAuth";
            break;
    }
    // The technical certificate names the holder by the birth name alone: that is what the
    // contactless identity shows.
    const std::string commonName =
        role == KeyProfile::Role::technical ? h.lastName : h.usualFirstName + " " + h.lastName;
    req.subject = {{"C", "FR"},
                   {"O", h.practiceName.empty() ? "IRV TEST" : h.practiceName},
                   {"serialNumber", h.identifier()},
                   {"SN", h.lastName},
                   {"GN", h.usualFirstName},
                   {"CN", commonName}};
    return issueCertificate(req, publicKey, authority.certificate.get(), authority.key.get());
}

std::string authorityIssuer(const std::string& name) {
    if (name.rfind("ACR", 0) == 0) return name;
    if (isTestAuthority(name)) {
        if (name.find("-FO-") != std::string::npos) return "ACR-FO-TEST";
        if (name.find("-EL-") != std::string::npos) return "ACR-EL-TEST";
        return "ACR-ST-TEST";
    }
    if (name.find("_FORT_") != std::string::npos) return "ACR_FORT_20130625";
    if (name.find("_ELEMENTAIRE_") != std::string::npos) return "ACR_ELEMENTAIRE_20130625";
    return "ACR_STANDARD_20130625";
}

void generateAuthorities(const std::string& outDir, const AuthorityOptions& options) {
    fs::create_directories(outDir + "/keys");
    fs::create_directories(outDir + "/crl");
    // Roots first (the list starts with them in each half), so every issuer exists when needed.
    std::vector<std::string> ordered;
    for (const std::string& n : authorityResourceNames())
        if (authorityIssuer(n) == n) ordered.push_back(n);
    for (const std::string& n : authorityResourceNames())
        if (authorityIssuer(n) != n) ordered.push_back(n);
    for (const std::string& name : ordered) {
        PkeyPtr key = generateRsaKey(options.keyBits);
        const std::string issuerName = authorityIssuer(name);
        CertificateRequest req;
        req.subject = authoritySubject(name);
        // Authorities outlive every card they issue, on whatever day the chain is made.
        req.notBefore = compactDate(isoDateFromToday(-10 * 365)) + "000000Z";
        req.notAfter = compactDate(isoDateFromToday(20 * 365)) + "000000Z";
        req.ca = true;
        req.keyUsage = "critical,keyCertSign,cRLSign";
        X509Ptr cert;
        if (issuerName == name) {
            cert = issueCertificate(req, key.get(), nullptr, key.get());
        } else {
            req.crlUrls = {crlUrlOf(options.crlBase, issuerName), crlUrlOf(options.crlBase, issuerName)};
            PkeyPtr issuerKey = readPemKey(outDir + "/keys/" + issuerName + ".pem");
            X509Ptr issuerCert = readDerCertificate(outDir + "/" + issuerName + ".cer");
            cert = issueCertificate(req, key.get(), issuerCert.get(), issuerKey.get());
        }
        writePemKey(key.get(), outDir + "/keys/" + name + ".pem");
        writeBytes(outDir + "/" + name + ".cer", derOf(cert.get()));
        writeBytes(outDir + "/crl/" + name + ".crl", makeCrl(cert.get(), key.get(), {}, 3650));
    }
    writeFileAtomically(
        outDir + "/authorities.json",
        nlohmann::json{{"crlBase", options.crlBase}, {"names", authorityResourceNames()}}.dump(2) + "\n");
}

char defaultCheckCharacter(const std::string& cardNumber) {
    int sum = 0;
    for (std::size_t i = 0; i < cardNumber.size(); ++i) sum += (cardNumber[i] - '0') * static_cast<int>(i + 1);
    return static_cast<char>('A' + sum % 26);
}

void generateCard(const std::string& authorityDir, const std::string& outDir, const CardOptions& o) {
    const auto& names = authorityResourceNames();
    if (std::find(names.begin(), names.end(), o.issuer) == names.end())
        throw std::runtime_error("unknown issuing authority " + o.issuer);
    Profile p;
    p.generation = o.generation;
    p.cardNumber = o.cardNumber;
    p.checkCharacter = o.checkCharacter.value_or(defaultCheckCharacter(o.cardNumber));
    p.labelCharacter = o.labelCharacter.value_or(p.checkCharacter);
    p.testCard = o.testCard;
    p.validFrom = o.validFrom;
    p.validUntil = o.validUntil;
    p.holder = o.holder;
    p.pin = {o.pin, o.pinTries};
    p.puk = {o.puk, o.pukTries};
    if (o.situations < 0 || o.situations > 16) throw std::runtime_error("situations must lie in 0-16");
    for (int i = 0; i < o.situations; ++i) p.situations.push_back(sampleSituation(i, o.holder));
    if (o.generation == Generation::QEL4) {
        p.desfire.applicationPresent = o.desfirePresent;
        p.desfire.piccMasterKey = o.piccMasterKey;
        p.desfire.applicationKey.resize(16);
        if (RAND_bytes(p.desfire.applicationKey.data(), 16) != 1) throw std::runtime_error("no random bytes");
    }
    // Validate the options the same way a loaded profile is validated, before any key is made.
    p = profileFromJson(profileToJson(p));

    fs::create_directories(outDir + "/keys");
    fs::create_directories(outDir + "/certs");
    std::error_code ignored;
    fs::remove(outDir + "/state.json", ignored);
    const Authority authority = loadAuthority(authorityDir, o.issuer);
    using Role = KeyProfile::Role;
    if (o.generation == Generation::QEL3) {
        p.keys.push_back(issueKey(outDir, Role::signature, 1, o, authority));
        p.keys.push_back(issueKey(outDir, Role::authentication, 2, o, authority));
        p.keys.push_back(issueKey(outDir, Role::technical, 3, o, authority));
    } else {
        p.keys.push_back(issueKey(outDir, Role::signature, 2, o, authority));
        p.keys.push_back(issueKey(outDir, Role::authentication, 3, o, authority));
    }
    saveProfile(p, outDir);
}

void writeCrl(const std::string& authorityDir, const std::string& issuer, const std::vector<Bytes>& revokedSerials,
              const std::string& outFile) {
    const Authority authority = loadAuthority(authorityDir, issuer);
    writeBytes(outFile, makeCrl(authority.certificate.get(), authority.key.get(), revokedSerials, 30));
}

void generateDefaultSet(const std::string& outDir, const AuthorityOptions& options) {
    const std::string ca = outDir + "/ca";
    generateAuthorities(ca, options);

    CardOptions qel3;
    generateCard(ca, outDir + "/qel3-default", qel3);

    CardOptions qel4;
    qel4.generation = Generation::QEL4;
    qel4.cardNumber = "2345678901";
    qel4.holder.civility = "22";
    qel4.holder.lastName = "MARTIN";
    qel4.holder.firstNames = {"CLAIRE", "MARIE"};
    qel4.holder.usualFirstName = "CLAIRE";
    qel4.holder.profession = "21";
    qel4.holder.occupation = "21";
    qel4.holder.specialty = "50";
    qel4.holder.identifierNumber = "10009876543";
    qel4.holder.practiceName = "PHARMACIE MARTIN";
    qel4.holder.cardType = "01";
    generateCard(ca, outDir + "/qel4-default", qel4);

    CardOptions secure = qel4;
    secure.cardNumber = "2345678902";
    secure.piccMasterKey = Bytes{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    generateCard(ca, outDir + "/qel4-secure-picc", secure);

    CardOptions expired = qel3;
    expired.cardNumber = "1234567891";
    // Ran out a year ago, after three years of use.
    expired.validFrom = isoDateFromToday(-4 * 365);
    expired.validUntil = isoDateFromToday(-365);
    expired.testCard = false;
    expired.situations = 1;
    generateCard(ca, outDir + "/qel3-expired", expired);

    // A card whose authentication certificate its authority has revoked: the authority's list
    // names that serial only.
    CardOptions revoked = qel3;
    revoked.cardNumber = "1234567892";
    revoked.holder.lastName = "OPPOSE";
    revoked.holder.usualFirstName = "PAUL";
    revoked.holder.firstNames = {"PAUL"};
    generateCard(ca, outDir + "/qel3-revoked", revoked);
    X509Ptr revokedCert =
        readDerCertificate(outDir + "/qel3-revoked/certs/" + roleName(KeyProfile::Role::authentication) + ".cer");
    writeCrl(ca, revoked.issuer, {serialOf(revokedCert.get())}, ca + "/crl/" + revoked.issuer + ".crl");
}

}  // namespace qel::sim
