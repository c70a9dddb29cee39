#include "issuerlib/pkcs11_error.h"

#include <algorithm>
#include <iterator>

#include "common/format.h"

namespace qel {
namespace {

struct NamedError {
    Pkcs11Error error;
    const char* name;
};

// In ascending order of value, so that lookups by value can search it.
constexpr NamedError kNames[] = {
#define QEL_PKCS11_ERROR_NAME(name, value) {Pkcs11Error::name, #name},
    QEL_PKCS11_ERRORS(QEL_PKCS11_ERROR_NAME)
#undef QEL_PKCS11_ERROR_NAME
};

static_assert(std::size(kNames) == kPkcs11ErrorCount);
static_assert(kPkcs11ErrorCount == 85);
static_assert(std::is_sorted(std::begin(kNames), std::end(kNames),
                             [](const NamedError& a, const NamedError& b) { return a.error < b.error; }));

}  // namespace

std::optional<Pkcs11Error> pkcs11ErrorFromValue(unsigned long rv) {
    auto it = std::lower_bound(std::begin(kNames), std::end(kNames), rv, [](const NamedError& e, unsigned long v) {
        return static_cast<unsigned long>(e.error) < v;
    });
    if (it == std::end(kNames) || static_cast<unsigned long>(it->error) != rv) return std::nullopt;
    return it->error;
}

const char* pkcs11ErrorName(Pkcs11Error error) {
    for (const auto& e : kNames) {
        if (e.error == error) return e.name;
    }
    return "CKR_UNKNOWN";
}

std::string pkcs11ReturnName(unsigned long rv) {
    if (auto error = pkcs11ErrorFromValue(rv)) return pkcs11ErrorName(*error);
    return format("0x%08lX", rv);
}

bool meansCardGone(unsigned long rv) {
    const std::optional<Pkcs11Error> error = pkcs11ErrorFromValue(rv);
    return error == Pkcs11Error::CKR_DEVICE_REMOVED || error == Pkcs11Error::CKR_TOKEN_NOT_PRESENT ||
           error == Pkcs11Error::CKR_SESSION_HANDLE_INVALID || error == Pkcs11Error::CKR_SESSION_CLOSED;
}

}  // namespace qel
