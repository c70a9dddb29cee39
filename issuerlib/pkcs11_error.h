#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace qel {

/// The PKCS#11 2.20 return values, each with its numeric code, in ascending order of value: the one
/// list from which the enumeration and its names are made.
#define QEL_PKCS11_ERRORS(X)                      \
    X(CKR_OK, 0x0)                                \
    X(CKR_CANCEL, 0x1)                            \
    X(CKR_HOST_MEMORY, 0x2)                       \
    X(CKR_SLOT_ID_INVALID, 0x3)                   \
    X(CKR_GENERAL_ERROR, 0x5)                     \
    X(CKR_FUNCTION_FAILED, 0x6)                   \
    X(CKR_ARGUMENTS_BAD, 0x7)                     \
    X(CKR_NO_EVENT, 0x8)                          \
    X(CKR_NEED_TO_CREATE_THREADS, 0x9)            \
    X(CKR_CANT_LOCK, 0xA)                         \
    X(CKR_ATTRIBUTE_READ_ONLY, 0x10)              \
    X(CKR_ATTRIBUTE_SENSITIVE, 0x11)              \
    X(CKR_ATTRIBUTE_TYPE_INVALID, 0x12)           \
    X(CKR_ATTRIBUTE_VALUE_INVALID, 0x13)          \
    X(CKR_DATA_INVALID, 0x20)                     \
    X(CKR_DATA_LEN_RANGE, 0x21)                   \
    X(CKR_DEVICE_ERROR, 0x30)                     \
    X(CKR_DEVICE_MEMORY, 0x31)                    \
    X(CKR_DEVICE_REMOVED, 0x32)                   \
    X(CKR_ENCRYPTED_DATA_INVALID, 0x40)           \
    X(CKR_ENCRYPTED_DATA_LEN_RANGE, 0x41)         \
    X(CKR_FUNCTION_CANCELED, 0x50)                \
    X(CKR_FUNCTION_NOT_PARALLEL, 0x51)            \
    X(CKR_FUNCTION_NOT_SUPPORTED, 0x54)           \
    X(CKR_KEY_HANDLE_INVALID, 0x60)               \
    X(CKR_KEY_SIZE_RANGE, 0x62)                   \
    X(CKR_KEY_TYPE_INCONSISTENT, 0x63)            \
    X(CKR_KEY_NOT_NEEDED, 0x64)                   \
    X(CKR_KEY_CHANGED, 0x65)                      \
    X(CKR_KEY_NEEDED, 0x66)                       \
    X(CKR_KEY_INDIGESTIBLE, 0x67)                 \
    X(CKR_KEY_FUNCTION_NOT_PERMITTED, 0x68)       \
    X(CKR_KEY_NOT_WRAPPABLE, 0x69)                \
    X(CKR_KEY_UNEXTRACTABLE, 0x6A)                \
    X(CKR_MECHANISM_INVALID, 0x70)                \
    X(CKR_MECHANISM_PARAM_INVALID, 0x71)          \
    X(CKR_OBJECT_HANDLE_INVALID, 0x82)            \
    X(CKR_OPERATION_ACTIVE, 0x90)                 \
    X(CKR_OPERATION_NOT_INITIALIZED, 0x91)        \
    X(CKR_PIN_INCORRECT, 0xA0)                    \
    X(CKR_PIN_INVALID, 0xA1)                      \
    X(CKR_PIN_LEN_RANGE, 0xA2)                    \
    X(CKR_PIN_EXPIRED, 0xA3)                      \
    X(CKR_PIN_LOCKED, 0xA4)                       \
    X(CKR_SESSION_CLOSED, 0xB0)                   \
    X(CKR_SESSION_COUNT, 0xB1)                    \
    X(CKR_SESSION_HANDLE_INVALID, 0xB3)           \
    X(CKR_SESSION_PARALLEL_NOT_SUPPORTED, 0xB4)   \
    X(CKR_SESSION_READ_ONLY, 0xB5)                \
    X(CKR_SESSION_EXISTS, 0xB6)                   \
    X(CKR_SESSION_READ_ONLY_EXISTS, 0xB7)         \
    X(CKR_SESSION_READ_WRITE_SO_EXISTS, 0xB8)     \
    X(CKR_SIGNATURE_INVALID, 0xC0)                \
    X(CKR_SIGNATURE_LEN_RANGE, 0xC1)              \
    X(CKR_TEMPLATE_INCOMPLETE, 0xD0)              \
    X(CKR_TEMPLATE_INCONSISTENT, 0xD1)            \
    X(CKR_TOKEN_NOT_PRESENT, 0xE0)                \
    X(CKR_TOKEN_NOT_RECOGNIZED, 0xE1)             \
    X(CKR_TOKEN_WRITE_PROTECTED, 0xE2)            \
    X(CKR_UNWRAPPING_KEY_HANDLE_INVALID, 0xF0)    \
    X(CKR_UNWRAPPING_KEY_SIZE_RANGE, 0xF1)        \
    X(CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT, 0xF2) \
    X(CKR_USER_ALREADY_LOGGED_IN, 0x100)          \
    X(CKR_USER_NOT_LOGGED_IN, 0x101)              \
    X(CKR_USER_PIN_NOT_INITIALIZED, 0x102)        \
    X(CKR_USER_TYPE_INVALID, 0x103)               \
    X(CKR_USER_ANOTHER_ALREADY_LOGGED_IN, 0x104)  \
    X(CKR_USER_TOO_MANY_TYPES, 0x105)             \
    X(CKR_WRAPPED_KEY_INVALID, 0x110)             \
    X(CKR_WRAPPED_KEY_LEN_RANGE, 0x112)           \
    X(CKR_WRAPPING_KEY_HANDLE_INVALID, 0x113)     \
    X(CKR_WRAPPING_KEY_SIZE_RANGE, 0x114)         \
    X(CKR_WRAPPING_KEY_TYPE_INCONSISTENT, 0x115)  \
    X(CKR_RANDOM_SEED_NOT_SUPPORTED, 0x120)       \
    X(CKR_RANDOM_NO_RNG, 0x121)                   \
    X(CKR_DOMAIN_PARAMS_INVALID, 0x130)           \
    X(CKR_BUFFER_TOO_SMALL, 0x150)                \
    X(CKR_SAVED_STATE_INVALID, 0x160)             \
    X(CKR_INFORMATION_SENSITIVE, 0x170)           \
    X(CKR_STATE_UNSAVEABLE, 0x180)                \
    X(CKR_CRYPTOKI_NOT_INITIALIZED, 0x190)        \
    X(CKR_CRYPTOKI_ALREADY_INITIALIZED, 0x191)    \
    X(CKR_MUTEX_BAD, 0x1A0)                       \
    X(CKR_MUTEX_NOT_LOCKED, 0x1A1)                \
    X(CKR_FUNCTION_REJECTED, 0x200)

/// The PKCS#11 2.20 return values by name, each with its numeric code. Card operations return raw
/// CK_RV numbers; this names them for the services report and for the one thrown failure.
///
/// <p11-kit/pkcs11.h> defines every CKR_* name as a macro, which nothing expanded from the list can
/// set aside. Where that header came first, the cases could not be named anyway (`CKR_PIN_INCORRECT` is
/// the macro there, with the same value), so the enumeration is only declared, with its underlying
/// type; it is complete all the same, and `pkcs11ErrorFromValue` and `pkcs11ErrorName` reach its
/// cases. A file that includes this header first sees the cases by name.
#ifdef CKR_OK
enum class Pkcs11Error : unsigned long;
#else
enum class Pkcs11Error : unsigned long {
#define QEL_PKCS11_ERROR_CASE(name, value) name = value,
    QEL_PKCS11_ERRORS(QEL_PKCS11_ERROR_CASE)
#undef QEL_PKCS11_ERROR_CASE
};
#endif

/// Number of named return values.
#define QEL_PKCS11_ERROR_COUNT(name, value) +1
inline constexpr int kPkcs11ErrorCount = 0 QEL_PKCS11_ERRORS(QEL_PKCS11_ERROR_COUNT);
#undef QEL_PKCS11_ERROR_COUNT

/// The case of a numeric return value; nothing for a code the standard does not name (including
/// every code above 0x200 and the vendor-defined range).
std::optional<Pkcs11Error> pkcs11ErrorFromValue(unsigned long rv);

/// The constant's name, "CKR_PIN_INCORRECT" for Pkcs11Error::CKR_PIN_INCORRECT.
const char* pkcs11ErrorName(Pkcs11Error error);

/// The name of a numeric return value; a code without a case is written as "0x" followed by eight
/// upper-case hexadecimal digits (0x80000001 -> "0x80000001"), so the report still tells it apart.
std::string pkcs11ReturnName(unsigned long rv);

/// Whether a return value says the card has gone: pulled out, or its session ended with it.
bool meansCardGone(unsigned long rv);

}  // namespace qel
