#pragma once
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "http/client.h"

namespace qel::vek {

/// Status of an ErrorResponse when the transfer itself failed (connection, TLS, time-out, cancel).
inline constexpr int kTransportFailureStatus = -1;
/// Status of an ErrorResponse when the transfer ended without an HTTP response.
inline constexpr int kNoHttpResponseStatus = -2;

/// The HTTP response as received, without its body.
struct HTTPURLResponse {
    long statusCode = 0;
    std::string url;
    std::map<std::string, std::string> headerFields;  ///< names as the server wrote them
    bool operator==(const HTTPURLResponse&) const = default;
};

/// Errors the runtime itself produces, in the order of their kinds.
struct HttpResponseError {
    enum class Kind { jsonDecoding, generalError, emptyDataResponse, nilHTTPResponse, unsuccessfulHTTPStatusCode };
    Kind kind = Kind::generalError;
    std::string detail;  ///< the decoder's or the general error's text; empty for the other kinds
    bool operator==(const HttpResponseError&) const = default;
};

enum class DownloadException {
    responseDataMissing,
    responseFailed,
    requestMissing,
    requestMissingPath,
    requestMissingURL
};

/// A failure of the HTTP transfer: the HTTPS layer's own.
using TransportError = http::TransportError;

/// What went wrong underneath an ErrorResponse.
using UnderlyingError = std::variant<HttpResponseError, DownloadException, TransportError>;

/// The only error handed to completions: the status code (or -1 / -2), the raw body when there was
/// one, the response when there was one, and the underlying error.
class ErrorResponse : public std::exception {
public:
    ErrorResponse(int statusCode, std::optional<std::string> body, std::optional<HTTPURLResponse> response,
                  UnderlyingError error);

    int statusCode() const { return statusCode_; }
    /// The body bytes as received; absent when there were none.
    const std::optional<std::string>& body() const { return body_; }
    const std::optional<HTTPURLResponse>& response() const { return response_; }
    const UnderlyingError& error() const { return error_; }

    /// The underlying error's kind when it is one of the runtime's own.
    std::optional<HttpResponseError::Kind> responseErrorKind() const;

    /// One line for logs and users' reports: the status and the underlying error. The body is not in it.
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    int statusCode_;
    std::optional<std::string> body_;
    std::optional<HTTPURLResponse> response_;
    UnderlyingError error_;
    std::string description_;
};

std::string describe(const UnderlyingError& error);
const char* name(HttpResponseError::Kind kind);
const char* name(DownloadException exception);

}  // namespace qel::vek
