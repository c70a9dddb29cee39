#pragma once
#include <functional>

#include "card/card_error.h"

namespace qel::test {

/// The token error code `f` throws, 0 when it returns.
inline int tokenCode(const std::function<void()>& f) {
    try {
        f();
    } catch (const CardError& e) {
        return e.code();
    }
    return 0;
}

}  // namespace qel::test
