#pragma once
#include <optional>
#include <string>

#include "common/bytes.h"

namespace qel {

/// Fetches a revocation list. Blocking; main thread.
class CrlFetcher {
public:
    virtual ~CrlFetcher() = default;
    /// Downloads `url` and writes the answer whole to `destination`. The answer's bytes, or nothing
    /// after a failure (logged with the error's description).
    virtual std::optional<Bytes> fetch(const std::string& url, const std::string& destination) = 0;
};

/// Limits of one download.
struct CrlDownloadLimits {
    long timeoutMs = 5000;
    long maxRedirects = 3;
    /// Revocation lists of the issuer weigh a few kilobytes to a few megabytes.
    std::size_t maxBytes = 16 * 1024 * 1024;
};

/// The download over HTTP(S) with libcurl: only http and https (also after a redirect), a bounded
/// number of redirects, a time-out for the whole transfer and a size cap. Any HTTP status is
/// accepted: the list's own check decides what the bytes are worth.
class CurlCrlFetcher : public CrlFetcher {
public:
    explicit CurlCrlFetcher(CrlDownloadLimits limits = {}) : limits_(limits) {}
    std::optional<Bytes> fetch(const std::string& url, const std::string& destination) override;

private:
    CrlDownloadLimits limits_;
};

/// "root.crl" in the user's cache folder for Kartello.
std::string defaultCrlPath();

}  // namespace qel
