#pragma once
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "authservice/json_value.h"
#include "authservice/api_helper.h"
#include "authservice/json_coding.h"
#include "authservice/error_response.h"
#include "authservice/http_session.h"
#include "authservice/result.h"
#include "common/bytes.h"
#include "common/main_queue.h"

namespace qel::vek {

/// The response type of operations without a body.
struct NoBody {
    bool operator==(const NoBody&) const = default;
};

/// The response type of a download: the file the body was written to.
struct DownloadedFile {
    std::string path;
    bool operator==(const DownloadedFile&) const = default;
};

/// A successful answer.
template <typename T>
struct Response {
    int statusCode = 0;
    std::map<std::string, std::string> header;
    T body{};
    std::optional<std::string> bodyData;  ///< the raw body, absent when empty
};

enum class HTTPMethod { OPTIONS, GET, HEAD, POST, PUT, PATCH, DELETE, TRACE, CONNECT };
std::optional<HTTPMethod> httpMethodFromRaw(std::string_view raw);
std::string_view rawValue(HTTPMethod method);

struct Configuration {
    static constexpr const char* dateFormat = "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ";
    static constexpr int successfulStatusCodeBegin = 200;  ///< inclusive
    static constexpr int successfulStatusCodeEnd = 300;    ///< exclusive
    static constexpr bool isSuccessful(long status) {
        return status >= successfulStatusCodeBegin && status < successfulStatusCodeEnd;
    }
};

/// Body parameters. A JSON body travels as the raw bytes under "jsonData".
struct RawBody {
    std::string bytes;
    bool operator==(const RawBody&) const = default;
};
struct FormFile {
    std::string fileName;
    std::string data;
    std::string contentType;  ///< empty: "application/octet-stream"
    bool operator==(const FormFile&) const = default;
};
using ParameterValue = std::variant<RawBody, JsonValue, FormFile>;
using Parameters = std::map<std::string, ParameterValue>;

class JSONEncodingHelper {
public:
    /// {"jsonData": the encoded body}; nothing for an absent body.
    template <typename T>
    static std::optional<Parameters> encodingParameters(const std::optional<T>& body) {
        if (!body) return std::nullopt;
        return Parameters{{"jsonData", RawBody{JsonCoding::encode(*body)}}};
    }
    template <typename T>
    static std::optional<Parameters> encodingParameters(const T& body) {
        return Parameters{{"jsonData", RawBody{JsonCoding::encode(body)}}};
    }
};

/// A running request; cancel() stops its transfer, which then fails with status -1.
class RequestTask {
public:
    RequestTask() : control_(std::make_shared<TransferControl>()) {}
    void cancel() { control_->cancelled = true; }
    bool isCancelled() const { return control_->cancelled; }
    std::shared_ptr<TransferProgress> progress() const { return control_->progress; }
    const std::shared_ptr<TransferControl>& control() const { return control_; }

private:
    std::shared_ptr<TransferControl> control_;
};

namespace detail {

/// The request to send, or the programming error / bad URL that prevents it.
std::variant<HttpRequest, ErrorResponse> createRequest(const std::string& method, const std::string& url,
                                                       const std::optional<Parameters>& parameters,
                                                       const Headers& headers);

/// Steps common to both kinds of builder: transport failure, no response, unsuccessful status.
std::optional<ErrorResponse> checkExchange(const HttpExchange& exchange);
HTTPURLResponse responseOf(const HttpExchange& exchange);
std::optional<std::string> bodyOf(const HttpExchange& exchange);

/// Writes a download below the user's cache folder; the file, or the error.
Result<DownloadedFile> storeDownload(const HttpExchange& exchange);

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {
    using Inner = T;
};

template <typename T>
Result<Response<T>> succeed(const HttpExchange& exchange, T body) {
    return Response<T>{static_cast<int>(exchange.statusCode), exchange.headers, std::move(body), bodyOf(exchange)};
}

/// The decoding builder's processing of an answer, by response type.
template <typename T>
Result<Response<T>> decodeExchange(const HttpExchange& exchange) {
    if (auto failure = checkExchange(exchange)) return std::move(*failure);
    const int status = static_cast<int>(exchange.statusCode);
    if constexpr (std::is_same_v<T, NoBody>) {
        return succeed(exchange, NoBody{});
    } else if constexpr (std::is_same_v<T, std::string>) {
        return succeed(exchange, exchange.body);
    } else if constexpr (std::is_same_v<T, Bytes>) {
        return succeed(exchange, Bytes(exchange.body.begin(), exchange.body.end()));
    } else if constexpr (std::is_same_v<T, DownloadedFile>) {
        Result<DownloadedFile> file = storeDownload(exchange);
        if (!file) return file.error();
        return succeed(exchange, std::move(file).value());
    } else {
        if (exchange.body.empty()) {
            if constexpr (IsOptional<T>::value) return succeed(exchange, T{});
            return ErrorResponse(status, std::nullopt, responseOf(exchange),
                                 HttpResponseError{HttpResponseError::Kind::emptyDataResponse, {}});
        }
        try {
            if constexpr (IsOptional<T>::value)
                return succeed(exchange, T{JsonCoding::decode<typename IsOptional<T>::Inner>(exchange.body)});
            else
                return succeed(exchange, JsonCoding::decode<T>(exchange.body));
        } catch (const JsonDecodeError& e) {
            return ErrorResponse(status, bodyOf(exchange), responseOf(exchange),
                                 HttpResponseError{HttpResponseError::Kind::jsonDecoding, e.what()});
        }
    }
}

/// The non-decoding builder's processing: any successful status is success, the body is ignored.
Result<Response<NoBody>> acceptExchange(const HttpExchange& exchange);

/// Hands `deliver` to the queue, or runs it at once without one.
void deliverOn(MainQueue* queue, std::function<void()> deliver);
MainQueue* responseQueue(MainQueue* requested);

}  // namespace detail

/// One request about to be sent, for a response of type T.
template <typename T>
class RequestBuilder {
public:
    using Completion = std::function<void(Result<Response<T>>)>;

    /// Copies the client-wide custom headers over `headers` (a custom header replaces an operation
    /// header of the same name).
    RequestBuilder(std::string method, std::string URLString, std::optional<Parameters> parameters, Headers headers,
                   bool requiresAuthentication);
    virtual ~RequestBuilder() = default;

    RequestBuilder& addHeaders(const Headers& more) {
        for (const auto& [name, value] : more) headers[name] = value;
        return *this;
    }
    RequestBuilder& addHeader(const std::string& name, const std::string& value) {
        headers[name] = value;
        return *this;
    }

    /// Sends the request on a worker thread; `completion` runs on `queue` (null: the client's
    /// response queue, see OpenAPIClientAPI). Returns the running task.
    std::shared_ptr<RequestTask> execute(Completion completion, MainQueue* queue = nullptr) {
        auto task = requestTask;
        auto prepared = detail::createRequest(method, URLString, parameters, headers);
        MainQueue* target = detail::responseQueue(queue);
        if (auto* error = std::get_if<ErrorResponse>(&prepared)) {
            detail::deliverOn(target, [completion, e = *error] { completion(e); });
            return task;
        }
        if (onProgressReady) onProgressReady(task->progress());
        HttpRequest request = std::get<HttpRequest>(std::move(prepared));
        auto process = processor();
        HttpSession::shared().submit([request = std::move(request), task, completion, process, target] {
            HttpExchange exchange = HttpSession::shared().perform(request, task->control());
            auto outcome = std::make_shared<Result<Response<T>>>(process(exchange));
            detail::deliverOn(target, [completion, outcome] { completion(std::move(*outcome)); });
        });
        return task;
    }

    /// Sends the request on the calling thread and returns the outcome. Not for the UI thread.
    Result<Response<T>> executeBlocking() {
        auto prepared = detail::createRequest(method, URLString, parameters, headers);
        if (auto* error = std::get_if<ErrorResponse>(&prepared)) return *error;
        if (onProgressReady) onProgressReady(requestTask->progress());
        HttpExchange exchange = HttpSession::shared().perform(std::get<HttpRequest>(prepared), requestTask->control());
        return processor()(exchange);
    }

    Headers headers;
    std::optional<Parameters> parameters;
    std::string method;
    std::string URLString;
    std::shared_ptr<RequestTask> requestTask = std::make_shared<RequestTask>();
    bool requiresAuthentication = false;
    std::function<void(std::shared_ptr<TransferProgress>)> onProgressReady;

protected:
    using Processor = std::function<Result<Response<T>>(const HttpExchange&)>;
    virtual Processor processor() const = 0;
};

/// The builder of operations without a response body: any 2xx is success, the body is ignored.
template <typename T>
class NoBodyRequestBuilder : public RequestBuilder<T> {
    static_assert(std::is_same_v<T, NoBody>, "Unsupported Response Body Type: this builder decodes no body");

public:
    using RequestBuilder<T>::RequestBuilder;

protected:
    typename RequestBuilder<T>::Processor processor() const override { return &detail::acceptExchange; }
};

/// The builder that decodes the body into T (text, bytes, file, or a JSON model).
template <typename T>
class DecodingRequestBuilder : public RequestBuilder<T> {
public:
    using RequestBuilder<T>::RequestBuilder;

protected:
    typename RequestBuilder<T>::Processor processor() const override { return &detail::decodeExchange<T>; }
};

/// The builder an operation asks for: one that only checks the status, or one that decodes the body.
class HttpRequestBuilderFactory {
public:
    static std::shared_ptr<RequestBuilder<NoBody>> noBodyBuilder(std::string method, std::string url,
                                                                 std::optional<Parameters> parameters, Headers headers,
                                                                 bool requiresAuthentication) {
        return std::make_shared<NoBodyRequestBuilder<NoBody>>(std::move(method), std::move(url), std::move(parameters),
                                                              std::move(headers), requiresAuthentication);
    }
    template <typename T>
    static std::shared_ptr<RequestBuilder<T>> decodingBuilder(std::string method, std::string url,
                                                              std::optional<Parameters> parameters, Headers headers,
                                                              bool requiresAuthentication) {
        return std::make_shared<DecodingRequestBuilder<T>>(std::move(method), std::move(url), std::move(parameters),
                                                           std::move(headers), requiresAuthentication);
    }
};

/// Client-wide settings, written at start-up by the program's entry point (or by tests).
class OpenAPIClientAPI {
public:
    /// Added to every request; replaces an operation header of the same name.
    static Headers customHeaders();
    static void setCustomHeaders(Headers headers);

    /// Where completions run when the caller names no queue. Programs set their main queue at start;
    /// without one, completions run on the session's worker thread.
    static MainQueue* apiResponseQueue();
    static void setApiResponseQueue(MainQueue* queue);

    /// Per-request time-out, 60 s unless changed (tests).
    static long timeoutMs();
    static void setTimeoutMs(long milliseconds);

    /// The two base paths of the service, computed anew on every call from the settings file and the
    /// environment switch (selected base URL + "api/ulmora-authentication" / "api/ulmora-session").
    static std::string authenticationBasePath();
    static std::string sessionBasePath();
};

template <typename T>
RequestBuilder<T>::RequestBuilder(std::string methodText, std::string url, std::optional<Parameters> params,
                                  Headers operationHeaders, bool requiresAuth)
    : headers(std::move(operationHeaders)),
      parameters(std::move(params)),
      method(std::move(methodText)),
      URLString(std::move(url)),
      requiresAuthentication(requiresAuth) {
    addHeaders(OpenAPIClientAPI::customHeaders());
}

}  // namespace qel::vek
