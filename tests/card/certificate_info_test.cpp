#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "card/certificate_info.h"

namespace qel {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
struct CertFree {
    void operator()(X509* x) const { X509_free(x); }
};
using CertPtr = std::unique_ptr<X509, CertFree>;

template <typename T, typename F>
Bytes der(const T* object, F encode) {
    unsigned char* out = nullptr;
    const int len = encode(object, &out);
    if (len <= 0) throw std::runtime_error("DER encoding");
    Bytes bytes(out, out + len);
    OPENSSL_free(out);
    return bytes;
}

Bytes encodeName(const X509_NAME* name) { return der(name, i2d_X509_NAME); }

// A certificate of the given key, issued by "Test Authority" to "Jean DUPONT" with serial 0x0123.
CertPtr makeCertificate(EVP_PKEY* key) {
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x0123);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Jean DUPONT"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(X509_get_issuer_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Test Authority"), -1, -1, 0);
    X509_set_pubkey(cert.get(), key);
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) throw std::runtime_error("certificate signature");
    return cert;
}

class CertificateInfoTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        rsaKey = new KeyPtr(EVP_RSA_gen(1024));
        rsaCert = new CertPtr(makeCertificate(rsaKey->get()));
    }
    static void TearDownTestSuite() {
        delete rsaCert;
        delete rsaKey;
    }
    static Bytes rsaDer() { return der(rsaCert->get(), i2d_X509); }

    static KeyPtr* rsaKey;
    static CertPtr* rsaCert;
};
KeyPtr* CertificateInfoTest::rsaKey = nullptr;
CertPtr* CertificateInfoTest::rsaCert = nullptr;

TEST_F(CertificateInfoTest, RsaCertificateGivesItsNamesSerialAndPublicNumbers) {
    const Bytes certificate = rsaDer();
    auto info = parseCertificate(certificate);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->der, certificate);
    EXPECT_EQ(info->subject, encodeName(X509_get_subject_name(rsaCert->get())));
    EXPECT_EQ(info->issuer, encodeName(X509_get_issuer_name(rsaCert->get())));
    EXPECT_EQ(info->serialNumber, (Bytes{0x02, 0x02, 0x01, 0x23}));
    EXPECT_EQ(info->subjectPublicKeyInfo, der(X509_get_X509_PUBKEY(rsaCert->get()), i2d_X509_PUBKEY));
    EXPECT_EQ(info->publicExponent, (Bytes{0x01, 0x00, 0x01}));
    EXPECT_EQ(info->keyBits, 1024);
    ASSERT_EQ(info->modulus.size(), 128u);
    EXPECT_NE(info->modulus[0], 0x00) << "no leading zero";
    EXPECT_TRUE(info->hasRsaKey());
}

// Dates come in both ASN.1 forms (UTCTime up to 2049, GeneralizedTime after); the key usage
// extension decides what the public key is published for, and its absence restricts nothing.
TEST_F(CertificateInfoTest, ValidityKeyUsageAndCheckValue) {
    struct Case {
        const char* usage;  // nullptr: no extension
        bool verify;
        bool encrypt;
    };
    for (const Case& c :
         {Case{"critical,nonRepudiation", true, false}, Case{"critical,digitalSignature,keyEncipherment", true, true},
          Case{"dataEncipherment", false, true}, Case{"keyCertSign", false, false}, Case{nullptr, true, true}}) {
        CertPtr cert = makeCertificate(rsaKey->get());
        ASSERT_EQ(ASN1_TIME_set_string(X509_getm_notBefore(cert.get()), "240131000000Z"), 1);
        ASSERT_EQ(ASN1_TIME_set_string(X509_getm_notAfter(cert.get()), "20510630120000Z"), 1);
        if (c.usage != nullptr) {
            X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, c.usage);
            ASSERT_NE(ext, nullptr);
            X509_add_ext(cert.get(), ext, -1);
            X509_EXTENSION_free(ext);
        }
        ASSERT_GT(X509_sign(cert.get(), rsaKey->get(), EVP_sha256()), 0);
        const Bytes bytes = der(cert.get(), i2d_X509);
        auto info = parseCertificate(bytes);
        ASSERT_TRUE(info);
        const std::string name = c.usage ? c.usage : "no extension";
        EXPECT_EQ(info->notBefore, "20240131") << name;
        EXPECT_EQ(info->notAfter, "20510630") << name;
        EXPECT_EQ(info->keyUsage.has_value(), c.usage != nullptr) << name;
        EXPECT_EQ(info->allowsVerify(), c.verify) << name;
        EXPECT_EQ(info->allowsEncrypt(), c.encrypt) << name;
        unsigned char sha1[SHA_DIGEST_LENGTH];
        SHA1(bytes.data(), bytes.size(), sha1);
        EXPECT_EQ(info->checkValue, Bytes(sha1, sha1 + 3)) << name;
    }
}

TEST_F(CertificateInfoTest, NonRsaKeyIsParsedWithoutPublicNumbers) {
    KeyPtr ecKey(EVP_EC_gen("P-256"));
    ASSERT_TRUE(ecKey);
    CertPtr cert = makeCertificate(ecKey.get());
    auto info = parseCertificate(der(cert.get(), i2d_X509));
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->subjectPublicKeyInfo.empty());
    EXPECT_TRUE(info->modulus.empty());
    EXPECT_TRUE(info->publicExponent.empty());
    EXPECT_EQ(info->keyBits, 0);
    EXPECT_FALSE(info->hasRsaKey());
}

TEST_F(CertificateInfoTest, FileContentIsCutToTheCertificateAndItsFillerDropped) {
    const Bytes certificate = rsaDer();
    for (std::uint8_t filler : {0x00, 0xFF, 0x30}) {
        Bytes file = certificate;
        file.insert(file.end(), 300, filler);
        auto info = parseCertificateFile(file);
        ASSERT_TRUE(info) << "filler " << int(filler);
        EXPECT_EQ(info->der, certificate);
        EXPECT_EQ(parseCertificate(file), std::nullopt) << "a whole certificate is only the certificate";
    }
    auto exact = parseCertificateFile(certificate);
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->der, certificate);
}

TEST_F(CertificateInfoTest, MalformedBytesGiveNothing) {
    const Bytes certificate = rsaDer();
    const Bytes truncated(certificate.begin(), certificate.end() - 1);
    Bytes corrupted = certificate;
    corrupted[certificate.size() / 2] ^= 0xFF;
    Bytes wrongTag = certificate;
    wrongTag[0] = 0x31;
    struct Case {
        std::string name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"tag only", {0x30}},
        {"length runs past the end", {0x30, 0x05, 0x02, 0x01}},
        {"long length without its bytes", {0x30, 0x82, 0x01}},
        {"indefinite length", {0x30, 0x80, 0x00, 0x00}},
        {"five length bytes", {0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00}},
        {"multi-byte tag", {0x3F, 0x81, 0x02, 0x00, 0x00}},
        {"empty sequence", {0x30, 0x00}},
        {"filler only", Bytes(64, 0xFF)},
        {"certificate cut short", truncated},
        {"sequence that is no certificate", {0x30, 0x03, 0x02, 0x01, 0x05}},
        {"a set in place of the sequence", wrongTag},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseCertificate(c.bytes), std::nullopt) << c.name;
        EXPECT_EQ(parseCertificateFile(c.bytes), std::nullopt) << c.name;
    }
    // A flipped byte inside may still decode (in a name, say); it must never read past the buffer.
    (void)parseCertificate(corrupted);
    (void)parseCertificateFile(corrupted);
}

}  // namespace
}  // namespace qel
