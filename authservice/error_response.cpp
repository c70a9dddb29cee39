#include "authservice/error_response.h"

namespace qel::vek {

const char* name(HttpResponseError::Kind kind) {
    switch (kind) {
        case HttpResponseError::Kind::jsonDecoding:
            return "jsonDecoding";
        case HttpResponseError::Kind::generalError:
            return "generalError";
        case HttpResponseError::Kind::emptyDataResponse:
            return "emptyDataResponse";
        case HttpResponseError::Kind::nilHTTPResponse:
            return "nilHTTPResponse";
        case HttpResponseError::Kind::unsuccessfulHTTPStatusCode:
            return "unsuccessfulHTTPStatusCode";
    }
    return "unknown";
}

const char* name(DownloadException exception) {
    switch (exception) {
        case DownloadException::responseDataMissing:
            return "responseDataMissing";
        case DownloadException::responseFailed:
            return "responseFailed";
        case DownloadException::requestMissing:
            return "requestMissing";
        case DownloadException::requestMissingPath:
            return "requestMissingPath";
        case DownloadException::requestMissingURL:
            return "requestMissingURL";
    }
    return "unknown";
}

std::string describe(const UnderlyingError& error) {
    if (const auto* e = std::get_if<HttpResponseError>(&error))
        return std::string(name(e->kind)) + (e->detail.empty() ? "" : ": " + e->detail);
    if (const auto* e = std::get_if<DownloadException>(&error)) return name(*e);
    const auto& transport = std::get<TransportError>(error);
    return transport.message + " (" + std::to_string(transport.curlCode) + ")";
}

ErrorResponse::ErrorResponse(int statusCode, std::optional<std::string> body, std::optional<HTTPURLResponse> response,
                             UnderlyingError error)
    : statusCode_(statusCode),
      body_(std::move(body)),
      response_(std::move(response)),
      error_(std::move(error)),
      description_("ErrorResponse " + std::to_string(statusCode_) + ": " + describe(error_)) {}

std::optional<HttpResponseError::Kind> ErrorResponse::responseErrorKind() const {
    if (const auto* e = std::get_if<HttpResponseError>(&error_)) return e->kind;
    return std::nullopt;
}

}  // namespace qel::vek
