#include "management/revocation/crl_download.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/atomic_file.h"
#include "common/logger.h"
#include "common/user_dirs.h"
#include "http/client.h"

namespace qel {
namespace {

/// Written beside the destination and renamed over it: a reader never sees half a list.
bool writeWhole(const std::string& path, const Bytes& bytes, std::string& error) {
    const std::error_code failure =
        writeFileAtomically(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), 0644);
    if (failure) error = failure.message();
    return !failure;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

std::string defaultCrlPath() { return userdirs::cacheHome() + "/kartello/root.crl"; }

std::optional<Bytes> CurlCrlFetcher::fetch(const std::string& url, const std::string& destination) {
    // The list's own signature check decides what the bytes are worth: http is allowed, and so is
    // any HTTP status.
    http::Policy policy;
    policy.timeoutMs = limits_.timeoutMs;
    policy.maxBodyBytes = limits_.maxBytes;
    policy.maxRedirects = limits_.maxRedirects;
    policy.allowPlainHttp = true;
    http::Exchange answer = http::fetch(http::Request{"GET", url, {}, {}, {}}, policy);
    if (answer.failure) {
        logError("getCrl: Erreur durant le téléchargement du CRL. Description de l'erreur: " +
                 (answer.failure->message.empty() ? std::string("Erreur inconnue") : answer.failure->message));
        return std::nullopt;
    }
    const long status = answer.response.status;
    if (status > 0) logDebug("getCrl: CRL successfully downloaded. Status code: " + std::to_string(status));

    Bytes bytes(answer.response.body.begin(), answer.response.body.end());
    std::string error;
    userdirs::makeDirs(folderOf(destination));
    if (!writeWhole(destination, bytes, error)) {
        logError("getCrl: Erreur lors de la création du fichier file://" + destination + " : " + error);
        return std::nullopt;
    }
    return bytes;
}

}  // namespace qel
