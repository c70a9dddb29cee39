#include "authservice/error_response.h"

namespace qel::vek {

const char* name(DecodableRequestBuilderError::Kind kind) {
    switch (kind) {
        case DecodableRequestBuilderError::Kind::jsonDecoding:
            return "jsonDecoding";
        case DecodableRequestBuilderError::Kind::generalError:
            return "generalError";
        case DecodableRequestBuilderError::Kind::emptyDataResponse:
            return "emptyDataResponse";
        case DecodableRequestBuilderError::Kind::nilHTTPResponse:
            return "nilHTTPResponse";
        case DecodableRequestBuilderError::Kind::unsuccessfulHTTPStatusCode:
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
    if (const auto* e = std::get_if<DecodableRequestBuilderError>(&error))
        return std::string(name(e->kind)) + (e->detail.empty() ? "" : ": " + e->detail);
    if (const auto* e = std::get_if<DownloadException>(&error)) return name(*e);
    const auto& transport = std::get<TransportError>(error);
    return transport.message + " (" + std::to_string(transport.code) + ")";
}

ErrorResponse::ErrorResponse(int statusCode, std::optional<std::string> body, std::optional<HTTPURLResponse> response,
                             UnderlyingError error)
    : statusCode_(statusCode),
      body_(std::move(body)),
      response_(std::move(response)),
      error_(std::move(error)),
      description_("ErrorResponse " + std::to_string(statusCode_) + ": " + describe(error_)) {}

std::optional<DecodableRequestBuilderError::Kind> ErrorResponse::builderErrorKind() const {
    if (const auto* e = std::get_if<DecodableRequestBuilderError>(&error_)) return e->kind;
    return std::nullopt;
}

}  // namespace qel::vek
