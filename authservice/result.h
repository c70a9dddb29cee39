#pragma once
#include <cassert>
#include <utility>
#include <variant>

#include "authservice/error_response.h"

namespace qel::vek {

/// What a request delivers: a value or the one error type of the runtime, never both.
template <typename T>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(ErrorResponse error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    /// The value; only when ok().
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    /// The error; only when !ok().
    const ErrorResponse& error() const {
        assert(!ok());
        return std::get<1>(state_);
    }

private:
    std::variant<T, ErrorResponse> state_;
};

}  // namespace qel::vek
