#include "authservice/request_builder.h"

#include <curl/curl.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/logger.h"
#include "common/user_dirs.h"

namespace qel::vek {
namespace detail {
namespace {

constexpr std::string_view kMethods[] = {"OPTIONS", "GET",    "HEAD",  "POST",   "PUT",
                                         "PATCH",   "DELETE", "TRACE", "CONNECT"};

// A request no operation can make: the caller's fault. It stops a debug build where it happens; a
// user's session gets an error instead.
ErrorResponse programmingError(const std::string& message) {
#ifndef NDEBUG
    std::fprintf(stderr, "%s\n", message.c_str());
    std::abort();
#endif
    logError("Service d'authentification : " + message);
    return ErrorResponse(kTransportFailureStatus, std::nullopt, std::nullopt,
                         HttpResponseError{HttpResponseError::Kind::generalError, message});
}

ErrorResponse badRequest(UnderlyingError error) {
    return ErrorResponse(kTransportFailureStatus, std::nullopt, std::nullopt, std::move(error));
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// A header must stay one header: no line breaks or NULs, and a name made of token characters.
bool validHeader(const std::string& name, const std::string& value) {
    if (name.empty()) return false;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F || c == ':' || c == '(' || c == ')' || c == ',' || c == ';' || c == '"')
            return false;
    }
    for (char c : value)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return true;
}

bool validUrl(const std::string& url) {
    CURLU* parsed = curl_url();
    if (!parsed) return false;
    const bool ok = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    curl_url_cleanup(parsed);
    return ok;
}

std::string parameterText(const ParameterValue& value) {
    if (const auto* raw = std::get_if<RawBody>(&value)) return raw->bytes;
    if (const auto* file = std::get_if<FormFile>(&value)) return file->data;
    const nlohmann::json& j = std::get<JsonValue>(value).json();
    return j.is_string() ? j.get<std::string>() : j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string newUuid() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) return "0";
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char out[37];
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

// The file name a server gives in Content-Disposition, reduced to a plain name: it never names a
// folder or climbs out of the download folder.
std::optional<std::string> dispositionFileName(const std::map<std::string, std::string>& headers) {
    for (const auto& [name, value] : headers) {
        if (!startsWith(name, "content-disposition") || name.size() != 19) continue;
        const std::size_t at = value.find("filename=");
        if (at == std::string::npos) return std::nullopt;
        std::string file = value.substr(at + 9);
        file = file.substr(0, file.find(';'));
        if (file.size() >= 2 && file.front() == '"' && file.back() == '"') file = file.substr(1, file.size() - 2);
        const std::size_t slash = file.find_last_of("/\\");
        if (slash != std::string::npos) file = file.substr(slash + 1);
        if (file.empty() || file == "." || file == "..") return std::nullopt;
        for (char c : file)
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
        return file;
    }
    return std::nullopt;
}

}  // namespace

std::variant<HttpRequest, ErrorResponse> createRequest(const std::string& methodText, const std::string& url,
                                                       const std::optional<Parameters>& parameters,
                                                       const Headers& headers) {
    const std::optional<HTTPMethod> method = httpMethodFromRaw(methodText);
    if (!method) return programmingError("Unsupported Http method - " + methodText);
    if (!validUrl(url)) return badRequest(DownloadException::requestMissingURL);
    for (const auto& [name, value] : headers)
        if (!validHeader(name, value))
            return badRequest(
                HttpResponseError{HttpResponseError::Kind::generalError, "en-tête HTTP invalide : " + name});

    HttpRequest request;
    request.method = methodText;
    request.url = url;
    request.timeoutMs = OpenAPIClientAPI::timeoutMs();
    Headers sent = headers;

    if (*method == HTTPMethod::GET || *method == HTTPMethod::HEAD) {
        if (parameters && !parameters->empty()) {
            std::vector<QueryItem> items;
            for (const auto& [name, value] : *parameters) items.emplace_back(name, parameterText(value));
            request.url = APIHelper::appendQuery(url, items);
        }
    } else {
        const auto type = sent.find("Content-Type");
        const std::string contentType = type == sent.end() ? "application/json" : type->second;
        if (startsWith(contentType, "application/json")) {
            if (parameters) {
                const auto json = parameters->find("jsonData");
                if (json != parameters->end()) {
                    const auto* raw = std::get_if<RawBody>(&json->second);
                    if (raw && !raw->bytes.empty()) {
                        sent.emplace("Content-Type", "application/json");
                        request.body = raw->bytes;
                    }
                }
            }
        } else if (startsWith(contentType, "multipart/form-data")) {
            // The transfer writes the boundary into its own Content-Type.
            sent.erase("Content-Type");
            if (parameters)
                for (const auto& [name, value] : *parameters) {
                    FormPart part{name, parameterText(value), std::nullopt, {}};
                    if (const auto* file = std::get_if<FormFile>(&value)) {
                        part.fileName = file->fileName;
                        part.contentType = file->contentType.empty() ? "application/octet-stream" : file->contentType;
                    }
                    request.formParts.push_back(std::move(part));
                }
        } else if (startsWith(contentType, "application/x-www-form-urlencoded")) {
            sent.emplace("Content-Type", "application/x-www-form-urlencoded");
            std::string body;
            if (parameters)
                for (const auto& [name, value] : *parameters) {
                    if (!body.empty()) body += '&';
                    body +=
                        APIHelper::percentEncodeQuery(name) + "=" + APIHelper::percentEncodeQuery(parameterText(value));
                }
            request.body = std::move(body);
        } else {
            return programmingError("Unsupported Media Type - " + contentType);
        }
    }
    for (const auto& [name, value] : sent) request.headers.emplace_back(name, value);
    return request;
}

HTTPURLResponse responseOf(const HttpExchange& exchange) {
    return HTTPURLResponse{exchange.statusCode, exchange.url, exchange.headers};
}

std::optional<std::string> bodyOf(const HttpExchange& exchange) {
    if (exchange.body.empty()) return std::nullopt;
    return exchange.body;
}

std::optional<ErrorResponse> checkExchange(const HttpExchange& exchange) {
    const std::optional<HTTPURLResponse> response =
        exchange.statusCode > 0 ? std::optional<HTTPURLResponse>(responseOf(exchange)) : std::nullopt;
    if (exchange.failure) return ErrorResponse(kTransportFailureStatus, bodyOf(exchange), response, *exchange.failure);
    if (exchange.statusCode <= 0)
        return ErrorResponse(kNoHttpResponseStatus, bodyOf(exchange), std::nullopt,
                             HttpResponseError{HttpResponseError::Kind::nilHTTPResponse, {}});
    if (!Configuration::isSuccessful(exchange.statusCode))
        return ErrorResponse(static_cast<int>(exchange.statusCode), bodyOf(exchange), response,
                             HttpResponseError{HttpResponseError::Kind::unsuccessfulHTTPStatusCode, {}});
    return std::nullopt;
}

Result<Response<NoBody>> acceptExchange(const HttpExchange& exchange) {
    if (auto failure = checkExchange(exchange)) return std::move(*failure);
    return Response<NoBody>{static_cast<int>(exchange.statusCode), exchange.headers, NoBody{}, bodyOf(exchange)};
}

Result<DownloadedFile> storeDownload(const HttpExchange& exchange) {
    namespace fs = std::filesystem;
    auto fail = [&](DownloadException why) { return ErrorResponse(400, bodyOf(exchange), responseOf(exchange), why); };
    if (exchange.url.empty()) return fail(DownloadException::requestMissingURL);
    CURLU* parsed = curl_url();
    char* pathText = nullptr;
    if (!parsed || curl_url_set(parsed, CURLUPART_URL, exchange.url.c_str(), 0) != CURLUE_OK ||
        curl_url_get(parsed, CURLUPART_PATH, &pathText, 0) != CURLUE_OK) {
        if (parsed) curl_url_cleanup(parsed);
        return fail(DownloadException::requestMissingPath);
    }
    const std::string requestPath(pathText);
    curl_free(pathText);
    curl_url_cleanup(parsed);

    const std::string cache = userdirs::cacheHome();
    if (cache.empty()) return fail(DownloadException::requestMissingPath);
    fs::path folder(cache);
    // The request path's segments, without any that would climb or stay in place.
    std::size_t start = 0;
    while (start <= requestPath.size()) {
        const std::size_t end = std::min(requestPath.find('/', start), requestPath.size());
        const std::string segment = requestPath.substr(start, end - start);
        if (!segment.empty() && segment != "." && segment != "..") folder /= segment;
        start = end + 1;
    }
    std::error_code error;
    fs::create_directories(folder, error);
    const fs::path file = folder / dispositionFileName(exchange.headers).value_or("tmp.OpenAPIClient." + newUuid());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(exchange.body.data(), static_cast<std::streamsize>(exchange.body.size()));
    out.close();
    if (!out) return fail(DownloadException::responseFailed);
    return DownloadedFile{file.string()};
}

MainQueue* responseQueue(MainQueue* requested) { return requested ? requested : OpenAPIClientAPI::apiResponseQueue(); }

void deliverOn(MainQueue* queue, std::function<void()> deliver) {
    if (queue)
        queue->post(std::move(deliver));
    else
        deliver();
}

}  // namespace detail

std::optional<HTTPMethod> httpMethodFromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < std::size(detail::kMethods); ++i)
        if (detail::kMethods[i] == raw) return static_cast<HTTPMethod>(i);
    return std::nullopt;
}

std::string_view rawValue(HTTPMethod method) { return detail::kMethods[static_cast<std::size_t>(method)]; }

}  // namespace qel::vek
