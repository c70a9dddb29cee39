#pragma once
// What every operation does with its builder: run it, and hand over the body or the error.
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "authservice/request_builder.h"

namespace qel::vek {

/// An operation's completion: the decoded body (NoBody for operations without one) or the error.
template <typename T>
using ApiCompletion = std::function<void(Result<T>)>;

/// The set of codes the service creates for a code challenge.
using CodeSet = std::set<std::string>;

namespace detail {

template <typename T>
std::shared_ptr<RequestTask> runOperation(const std::shared_ptr<RequestBuilder<T>>& builder,
                                          ApiCompletion<T> completion, MainQueue* queue) {
    return builder->execute(
        [completion = std::move(completion)](Result<Response<T>> result) {
            if (result)
                completion(Result<T>(std::move(std::move(result).value().body)));
            else
                completion(Result<T>(result.error()));
        },
        queue);
}

template <typename T>
Result<T> runOperationBlocking(const std::shared_ptr<RequestBuilder<T>>& builder) {
    Result<Response<T>> result = builder->executeBlocking();
    if (!result) return result.error();
    return std::move(std::move(result).value().body);
}

}  // namespace detail
}  // namespace qel::vek
