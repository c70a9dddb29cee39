#include "authservice/tls/card_key.h"

#include <openssl/bn.h>
#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/format.h"
#include "common/logger.h"

namespace qel::vek {

namespace {

constexpr const char* kProviderName = "kartello-card";
// The names OpenSSL's own RSA keys answer to: libssl recognises a client key by them.
constexpr const char* kRsaNames = "RSA:rsaEncryption:1.2.840.113549.1.1.1";
// How a new key receives its signer: a pointer to a std::shared_ptr<CardSigner>, only ever passed by
// newCardKey() within this process.
constexpr const char* kSignerParam = "kartello-card-signer";

thread_local bool signatureFailed = false;

using Function = void (*)();
template <typename F>
Function fn(F* f) {
    return reinterpret_cast<Function>(f);
}

// ---- Key management --------------------------------------------------------------------------

struct CardKeyData {
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    std::shared_ptr<CardSigner> signer;  // none for a public key brought in to be compared
    ~CardKeyData() {
        BN_free(n);
        BN_free(e);
    }
};

void* keyNew(void*) { return new (std::nothrow) CardKeyData; }

void keyFree(void* key) { delete static_cast<CardKeyData*>(key); }

int keyHas(const void* data, int selection) {
    const auto* key = static_cast<const CardKeyData*>(data);
    if (key == nullptr) return 0;
    if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0 && key->n == nullptr) return 0;
    if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && !key->signer) return 0;
    return 1;
}

int keyMatch(const void* a, const void* b, int selection) {
    const auto* x = static_cast<const CardKeyData*>(a);
    const auto* y = static_cast<const CardKeyData*>(b);
    if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) == 0) return 1;
    return x->n != nullptr && y->n != nullptr && BN_cmp(x->n, y->n) == 0 && BN_cmp(x->e, y->e) == 0 ? 1 : 0;
}

// A public key (to compare it with a certificate's), or a card key with its signer. A software
// private key is never taken in: this key management has nothing to do with one.
int keyImport(void* data, int selection, const OSSL_PARAM params[]) {
    auto* key = static_cast<CardKeyData*>(data);
    if (key == nullptr || (selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) == 0) return 0;
    if (OSSL_PARAM_locate_const(params, OSSL_PKEY_PARAM_RSA_D) != nullptr) return 0;
    const OSSL_PARAM* n = OSSL_PARAM_locate_const(params, OSSL_PKEY_PARAM_RSA_N);
    const OSSL_PARAM* e = OSSL_PARAM_locate_const(params, OSSL_PKEY_PARAM_RSA_E);
    if (n == nullptr || e == nullptr || !OSSL_PARAM_get_BN(n, &key->n) || !OSSL_PARAM_get_BN(e, &key->e)) return 0;
    if (const OSSL_PARAM* s = OSSL_PARAM_locate_const(params, kSignerParam); s != nullptr) {
        const std::shared_ptr<CardSigner>* signer = nullptr;
        if (s->data_type != OSSL_PARAM_OCTET_STRING || s->data_size != sizeof signer) return 0;
        std::memcpy(&signer, s->data, sizeof signer);
        key->signer = *signer;
    }
    return 1;
}

const OSSL_PARAM* keyImportTypes(int) {
    static const OSSL_PARAM types[] = {OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_N, nullptr, 0),
                                       OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_E, nullptr, 0),
                                       OSSL_PARAM_octet_string(kSignerParam, nullptr, 0), OSSL_PARAM_END};
    return types;
}

int keyGetParams(void* data, OSSL_PARAM params[]) {
    const auto* key = static_cast<const CardKeyData*>(data);
    if (key == nullptr || key->n == nullptr) return 0;
    const int bits = BN_num_bits(key->n);
    OSSL_PARAM* p = nullptr;
    if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_BITS)) != nullptr && !OSSL_PARAM_set_int(p, bits)) return 0;
    if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_SECURITY_BITS)) != nullptr &&
        !OSSL_PARAM_set_int(p, BN_security_bits(bits, -1)))
        return 0;
    if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_MAX_SIZE)) != nullptr &&
        !OSSL_PARAM_set_int(p, BN_num_bytes(key->n)))
        return 0;
    if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_DEFAULT_DIGEST)) != nullptr &&
        !OSSL_PARAM_set_utf8_string(p, "SHA256"))
        return 0;
    if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_RSA_N)) != nullptr && !OSSL_PARAM_set_BN(p, key->n)) return 0;
    if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_RSA_E)) != nullptr && !OSSL_PARAM_set_BN(p, key->e)) return 0;
    return 1;
}

const OSSL_PARAM* keyGettableParams(void*) {
    static const OSSL_PARAM params[] = {OSSL_PARAM_int(OSSL_PKEY_PARAM_BITS, nullptr),
                                        OSSL_PARAM_int(OSSL_PKEY_PARAM_SECURITY_BITS, nullptr),
                                        OSSL_PARAM_int(OSSL_PKEY_PARAM_MAX_SIZE, nullptr),
                                        OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_DEFAULT_DIGEST, nullptr, 0),
                                        OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_N, nullptr, 0),
                                        OSSL_PARAM_BN(OSSL_PKEY_PARAM_RSA_E, nullptr, 0),
                                        OSSL_PARAM_END};
    return params;
}

const char* keyOperationName(int operation) { return operation == OSSL_OP_SIGNATURE ? "RSA" : nullptr; }

// No export: the key's private half cannot leave the card, and OpenSSL then signs with this
// provider's own signature rather than another provider's.
const OSSL_DISPATCH kKeyManagement[] = {
    {OSSL_FUNC_KEYMGMT_NEW, fn(keyNew)},
    {OSSL_FUNC_KEYMGMT_FREE, fn(keyFree)},
    {OSSL_FUNC_KEYMGMT_HAS, fn(keyHas)},
    {OSSL_FUNC_KEYMGMT_MATCH, fn(keyMatch)},
    {OSSL_FUNC_KEYMGMT_IMPORT, fn(keyImport)},
    {OSSL_FUNC_KEYMGMT_IMPORT_TYPES, fn(keyImportTypes)},
    {OSSL_FUNC_KEYMGMT_GET_PARAMS, fn(keyGetParams)},
    {OSSL_FUNC_KEYMGMT_GETTABLE_PARAMS, fn(keyGettableParams)},
    {OSSL_FUNC_KEYMGMT_QUERY_OPERATION_NAME, fn(keyOperationName)},
    {0, nullptr},
};

// ---- Signature ---------------------------------------------------------------------------------

struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

struct SignContext {
    std::shared_ptr<CardSigner> signer;
    std::size_t size = 0;  // of a signature
    CardPadding padding = CardPadding::pkcs1;
    CardDigest digest = CardDigest::sha256;
    std::unique_ptr<EVP_MD, MdFree> md;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> hashing;
    int saltLength = RSA_PSS_SALTLEN_DIGEST;
    std::string mgf1;  // empty: the signature's digest
};

// The digests the card signs, fetched from the process's default library context.
std::unique_ptr<EVP_MD, MdFree> cardMd(const char* name, CardDigest& digest) {
    std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, name, nullptr));
    if (!md) return nullptr;
    if (EVP_MD_is_a(md.get(), "SHA256"))
        digest = CardDigest::sha256;
    else if (EVP_MD_is_a(md.get(), "SHA1"))
        digest = CardDigest::sha1;
    else if (EVP_MD_is_a(md.get(), "SHA224"))
        digest = CardDigest::sha224;
    else
        return nullptr;
    return md;
}

void* signNew(void*, const char*) { return new (std::nothrow) SignContext; }

void signFree(void* c) { delete static_cast<SignContext*>(c); }

void* signDup(void* c) {
    const auto* from = static_cast<const SignContext*>(c);
    auto* to = new (std::nothrow) SignContext;
    if (to == nullptr) return nullptr;
    to->signer = from->signer;
    to->size = from->size;
    to->padding = from->padding;
    to->digest = from->digest;
    to->saltLength = from->saltLength;
    to->mgf1 = from->mgf1;
    if (from->md) {
        EVP_MD_up_ref(from->md.get());
        to->md.reset(from->md.get());
    }
    if (from->hashing) {
        to->hashing.reset(EVP_MD_CTX_new());
        if (!to->hashing || EVP_MD_CTX_copy_ex(to->hashing.get(), from->hashing.get()) != 1) {
            delete to;
            return nullptr;
        }
    }
    return to;
}

int signSetParams(void* c, const OSSL_PARAM params[]) {
    auto* ctx = static_cast<SignContext*>(c);
    if (ctx == nullptr) return 0;
    if (params == nullptr) return 1;
    if (const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_PAD_MODE); p != nullptr) {
        int mode = 0;
        const char* name = nullptr;
        if (p->data_type == OSSL_PARAM_UTF8_STRING && OSSL_PARAM_get_utf8_string_ptr(p, &name))
            mode = std::strcmp(name, OSSL_PKEY_RSA_PAD_MODE_PKCSV15) == 0 ? RSA_PKCS1_PADDING
                   : std::strcmp(name, OSSL_PKEY_RSA_PAD_MODE_PSS) == 0   ? RSA_PKCS1_PSS_PADDING
                                                                          : 0;
        else if (!OSSL_PARAM_get_int(p, &mode))
            return 0;
        if (mode == RSA_PKCS1_PADDING)
            ctx->padding = CardPadding::pkcs1;
        else if (mode == RSA_PKCS1_PSS_PADDING)
            ctx->padding = CardPadding::pss;
        else
            return 0;  // the card pads; raw RSA is not to be had
    }
    if (const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_PSS_SALTLEN); p != nullptr) {
        const char* text = nullptr;
        if (p->data_type == OSSL_PARAM_UTF8_STRING && OSSL_PARAM_get_utf8_string_ptr(p, &text)) {
            if (std::strcmp(text, OSSL_PKEY_RSA_PSS_SALT_LEN_DIGEST) == 0)
                ctx->saltLength = RSA_PSS_SALTLEN_DIGEST;
            else if (std::strcmp(text, OSSL_PKEY_RSA_PSS_SALT_LEN_MAX) == 0)
                ctx->saltLength = RSA_PSS_SALTLEN_MAX;
            else if (std::strcmp(text, OSSL_PKEY_RSA_PSS_SALT_LEN_AUTO) == 0)
                ctx->saltLength = RSA_PSS_SALTLEN_AUTO;
            else
                ctx->saltLength = std::atoi(text);
        } else if (!OSSL_PARAM_get_int(p, &ctx->saltLength)) {
            return 0;
        }
    }
    if (const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_MGF1_DIGEST); p != nullptr) {
        const char* name = nullptr;
        if (!OSSL_PARAM_get_utf8_string_ptr(p, &name)) return 0;
        ctx->mgf1 = name;
    }
    return 1;
}

const OSSL_PARAM* signSettableParams(void*, void*) {
    static const OSSL_PARAM params[] = {OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_PAD_MODE, nullptr, 0),
                                        OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_PSS_SALTLEN, nullptr, 0),
                                        OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_MGF1_DIGEST, nullptr, 0),
                                        OSSL_PARAM_END};
    return params;
}

int digestSignInit(void* c, const char* mdName, void* keyData, const OSSL_PARAM params[]) {
    auto* ctx = static_cast<SignContext*>(c);
    const auto* key = static_cast<const CardKeyData*>(keyData);
    if (ctx == nullptr || key == nullptr || !key->signer || key->n == nullptr) return 0;
    ctx->signer = key->signer;
    ctx->size = static_cast<std::size_t>(BN_num_bytes(key->n));
    // Only what the card signs: libssl asks each of its signature schemes here and leaves out the
    // ones refused.
    ctx->md = cardMd(mdName != nullptr && *mdName != '\0' ? mdName : "SHA256", ctx->digest);
    if (!ctx->md) return 0;
    ctx->hashing.reset(EVP_MD_CTX_new());
    if (!ctx->hashing || EVP_DigestInit_ex2(ctx->hashing.get(), ctx->md.get(), nullptr) != 1) return 0;
    return signSetParams(ctx, params);
}

int digestSignUpdate(void* c, const unsigned char* data, size_t length) {
    auto* ctx = static_cast<SignContext*>(c);
    return ctx != nullptr && ctx->hashing && EVP_DigestUpdate(ctx->hashing.get(), data, length) == 1 ? 1 : 0;
}

int digestSignFinal(void* c, unsigned char* signature, size_t* length, size_t capacity) {
    auto* ctx = static_cast<SignContext*>(c);
    if (ctx == nullptr || !ctx->hashing || length == nullptr) return 0;
    if (signature == nullptr) {
        *length = ctx->size;
        return 1;
    }
    CardSignRequest request;
    request.padding = ctx->padding;
    request.digest = ctx->digest;
    request.hash.resize(EVP_MAX_MD_SIZE);
    unsigned int hashLength = 0;
    if (EVP_DigestFinal_ex(ctx->hashing.get(), request.hash.data(), &hashLength) != 1) return 0;
    request.hash.resize(hashLength);
    // Ready for the next signature with the same settings.
    if (EVP_DigestInit_ex2(ctx->hashing.get(), ctx->md.get(), nullptr) != 1) return 0;
    if (request.padding == CardPadding::pss) {
        const bool saltFits =
            ctx->saltLength == RSA_PSS_SALTLEN_DIGEST || ctx->saltLength == static_cast<int>(hashLength);
        const bool mgfFits = ctx->mgf1.empty() || EVP_MD_is_a(ctx->md.get(), ctx->mgf1.c_str());
        if (!saltFits || !mgfFits) {
            logError("Vek TLS : the card signs PSS only with a salt as long as the digest and MGF1 over the digest");
            return 0;
        }
    }
    const std::optional<Bytes> made = ctx->signer->sign(request);
    if (!made) {
        signatureFailed = true;
        return 0;
    }
    if (made->size() > capacity) return 0;
    std::memcpy(signature, made->data(), made->size());
    *length = made->size();
    return 1;
}

int digestSign(void* c, unsigned char* signature, size_t* length, size_t capacity, const unsigned char* data,
               size_t dataLength) {
    auto* ctx = static_cast<SignContext*>(c);
    if (ctx == nullptr || length == nullptr) return 0;
    if (signature == nullptr) {
        *length = ctx->size;
        return 1;
    }
    return digestSignUpdate(c, data, dataLength) == 1 ? digestSignFinal(c, signature, length, capacity) : 0;
}

const OSSL_DISPATCH kSignature[] = {
    {OSSL_FUNC_SIGNATURE_NEWCTX, fn(signNew)},
    {OSSL_FUNC_SIGNATURE_FREECTX, fn(signFree)},
    {OSSL_FUNC_SIGNATURE_DUPCTX, fn(signDup)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_INIT, fn(digestSignInit)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_UPDATE, fn(digestSignUpdate)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_FINAL, fn(digestSignFinal)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN, fn(digestSign)},
    {OSSL_FUNC_SIGNATURE_SET_CTX_PARAMS, fn(signSetParams)},
    {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_PARAMS, fn(signSettableParams)},
    {0, nullptr},
};

// ---- The provider ------------------------------------------------------------------------------

const OSSL_ALGORITHM kKeyAlgorithms[] = {
    {kRsaNames, "provider=kartello-card", kKeyManagement, "an RSA key on the card"},
    {nullptr, nullptr, nullptr, nullptr},
};
const OSSL_ALGORITHM kSignatureAlgorithms[] = {
    {kRsaNames, "provider=kartello-card", kSignature, "RSA signatures by the card"},
    {nullptr, nullptr, nullptr, nullptr},
};

const OSSL_ALGORITHM* providerQuery(void*, int operation, int* noCache) {
    *noCache = 0;
    if (operation == OSSL_OP_KEYMGMT) return kKeyAlgorithms;
    if (operation == OSSL_OP_SIGNATURE) return kSignatureAlgorithms;
    return nullptr;
}

const OSSL_DISPATCH kProvider[] = {
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, fn(providerQuery)},
    {0, nullptr},
};

int providerInit(const OSSL_CORE_HANDLE*, const OSSL_DISPATCH*, const OSSL_DISPATCH** out, void** providerContext) {
    static int context = 0;
    *out = kProvider;
    *providerContext = &context;
    return 1;
}

// The card keys' library context, with this provider alone; made once, kept for the process (keys
// made in it may live until its end).
OSSL_LIB_CTX* cardLibrary() {
    static OSSL_LIB_CTX* library = []() -> OSSL_LIB_CTX* {
        OSSL_LIB_CTX* made = OSSL_LIB_CTX_new();
        if (made == nullptr || OSSL_PROVIDER_add_builtin(made, kProviderName, &providerInit) != 1 ||
            OSSL_PROVIDER_load(made, kProviderName) == nullptr) {
            logError(format("Vek TLS : the card key provider cannot start : %s", openSslError().c_str()));
            OSSL_LIB_CTX_free(made);
            return nullptr;
        }
        return made;
    }();
    return library;
}

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct ParamBuildFree {
    void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamFree {
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

}  // namespace

EVP_PKEY* newCardKey(X509* certificate, std::shared_ptr<CardSigner> signer) {
    OSSL_LIB_CTX* library = cardLibrary();
    EVP_PKEY* publicKey = certificate != nullptr ? X509_get0_pubkey(certificate) : nullptr;
    if (library == nullptr || publicKey == nullptr || !signer) return nullptr;
    if (!EVP_PKEY_is_a(publicKey, "RSA")) {
        logError("Vek TLS : the certificate's key is not an RSA key");
        return nullptr;
    }
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(publicKey, OSSL_PKEY_PARAM_RSA_N, &n);
    EVP_PKEY_get_bn_param(publicKey, OSSL_PKEY_PARAM_RSA_E, &e);
    std::unique_ptr<BIGNUM, BnFree> modulus(n), exponent(e);
    const std::shared_ptr<CardSigner>* handed = &signer;
    std::unique_ptr<OSSL_PARAM_BLD, ParamBuildFree> build(OSSL_PARAM_BLD_new());
    if (!modulus || !exponent || !build || !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n) ||
        !OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e) ||
        !OSSL_PARAM_BLD_push_octet_string(build.get(), kSignerParam, &handed, sizeof handed)) {
        logError(format("Vek TLS : the certificate's public key cannot be read : %s", openSslError().c_str()));
        return nullptr;
    }
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(build.get()));
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> context(EVP_PKEY_CTX_new_from_name(library, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1) {
        logError(format("Vek TLS : the card key cannot be made : %s", openSslError().c_str()));
        return nullptr;
    }
    return key;
}

bool cardSignatureFailedOnThisThread() { return signatureFailed; }

void clearCardSignatureFailure() { signatureFailed = false; }

std::string openSslError() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "no detail";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

}  // namespace qel::vek
