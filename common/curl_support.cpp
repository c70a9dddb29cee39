#include "common/curl_support.h"

#include <openssl/x509_vfy.h>

#include <string>

namespace qel::curl {

bool globalInit() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return initialised;
}

bool addExtraAuthorities(SSL_CTX* context, const char* caFile) {
    X509_STORE* store = context ? SSL_CTX_get_cert_store(context) : nullptr;
    return store && caFile && X509_STORE_load_file(store, caFile) == 1;
}

CURLcode addExtraAuthoritiesCallback(CURL*, void* sslContext, void* caFile) {
    return addExtraAuthorities(static_cast<SSL_CTX*>(sslContext), static_cast<const char*>(caFile))
               ? CURLE_OK
               : CURLE_SSL_CACERT_BADFILE;
}

std::size_t appendToString(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

}  // namespace qel::curl
