#include "management/revocation/crl_download.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/curl_support.h"
#include "common/logger.h"
#include "common/user_dirs.h"

namespace qel {
namespace {

struct Sink {
    Bytes bytes;
    std::size_t limit = 0;
    bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const std::size_t length = size * count;
    if (sink->bytes.size() + length > sink->limit) {
        sink->tooLarge = true;
        return 0;  // makes curl stop with a write error
    }
    sink->bytes.insert(sink->bytes.end(), data, data + length);
    return length;
}

/// Written beside the destination and renamed over it: a reader never sees half a list.
bool writeWhole(const std::string& path, const Bytes& bytes, std::string& error) {
    const std::string temporary = path + ".part";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

std::string defaultCrlPath() { return userdirs::cacheHome() + "/kartello/root.crl"; }

std::optional<Bytes> CurlCrlFetcher::fetch(const std::string& url, const std::string& destination) {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl::globalInit() ? curl_easy_init() : nullptr,
                                                             curl_easy_cleanup);
    if (!curl) {
        logError("getCrl: Erreur durant le téléchargement du CRL. Description de l'erreur: Erreur inconnue");
        return std::nullopt;
    }
    Sink sink;
    sink.limit = limits_.maxBytes;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, limits_.maxRedirects);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, limits_.timeoutMs);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits_.maxBytes));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    const CURLcode result = curl_easy_perform(h);
    if (result != CURLE_OK) {
        std::string description = errorText[0] ? errorText : curl_easy_strerror(result);
        if (sink.tooLarge || result == CURLE_FILESIZE_EXCEEDED)
            description = "réponse plus grande que " + std::to_string(limits_.maxBytes) + " octets";
        logError("getCrl: Erreur durant le téléchargement du CRL. Description de l'erreur: " + description);
        return std::nullopt;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status > 0) logDebug("getCrl: CRL successfully downloaded. Status code: " + std::to_string(status));

    std::string error;
    userdirs::makeDirs(folderOf(destination));
    if (!writeWhole(destination, sink.bytes, error)) {
        logError("getCrl: Erreur lors de la création du fichier file://" + destination + " : " + error);
        return std::nullopt;
    }
    return std::move(sink.bytes);
}

}  // namespace qel
