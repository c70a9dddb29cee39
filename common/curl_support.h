#pragma once
// The pieces every libcurl client of the suite shares: one global initialisation, the extra
// authorities added beside the system's, and a body collected in a string.
#include <curl/curl.h>
#include <openssl/ssl.h>

#include <cstddef>

namespace qel::curl {

/// curl_global_init, once per process, before the first handle. False when it failed.
bool globalInit();

/// Adds the PEM authorities of `caFile` to the context's store, beside those libcurl loaded (the
/// system's). Verification itself is left as it is. False when the file cannot be read.
bool addExtraAuthorities(SSL_CTX* context, const char* caFile);

/// CURLOPT_SSL_CTX_FUNCTION for CURLOPT_SSL_CTX_DATA = the authority file's path (a C string).
CURLcode addExtraAuthoritiesCallback(CURL* handle, void* sslContext, void* caFile);

/// CURLOPT_WRITEFUNCTION for CURLOPT_WRITEDATA = a std::string the body is appended to.
std::size_t appendToString(char* data, std::size_t size, std::size_t count, void* out);

}  // namespace qel::curl
