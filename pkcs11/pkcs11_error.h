#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace qel {

// <p11-kit/pkcs11.h> defines every CKR_* name as a macro; the enumeration below uses the same names,
// so they are set aside while it is declared and restored afterwards. In a file that includes the
// PKCS#11 header, `CKR_PIN_INCORRECT` is then the macro (same value), and the enumeration's cases
// are reached through `pkcs11ErrorFromValue` and `pkcs11ErrorName`.
#pragma push_macro("CKR_OK")
#undef CKR_OK
#pragma push_macro("CKR_CANCEL")
#undef CKR_CANCEL
#pragma push_macro("CKR_HOST_MEMORY")
#undef CKR_HOST_MEMORY
#pragma push_macro("CKR_SLOT_ID_INVALID")
#undef CKR_SLOT_ID_INVALID
#pragma push_macro("CKR_GENERAL_ERROR")
#undef CKR_GENERAL_ERROR
#pragma push_macro("CKR_FUNCTION_FAILED")
#undef CKR_FUNCTION_FAILED
#pragma push_macro("CKR_ARGUMENTS_BAD")
#undef CKR_ARGUMENTS_BAD
#pragma push_macro("CKR_NO_EVENT")
#undef CKR_NO_EVENT
#pragma push_macro("CKR_NEED_TO_CREATE_THREADS")
#undef CKR_NEED_TO_CREATE_THREADS
#pragma push_macro("CKR_CANT_LOCK")
#undef CKR_CANT_LOCK
#pragma push_macro("CKR_ATTRIBUTE_READ_ONLY")
#undef CKR_ATTRIBUTE_READ_ONLY
#pragma push_macro("CKR_ATTRIBUTE_SENSITIVE")
#undef CKR_ATTRIBUTE_SENSITIVE
#pragma push_macro("CKR_ATTRIBUTE_TYPE_INVALID")
#undef CKR_ATTRIBUTE_TYPE_INVALID
#pragma push_macro("CKR_ATTRIBUTE_VALUE_INVALID")
#undef CKR_ATTRIBUTE_VALUE_INVALID
#pragma push_macro("CKR_DATA_INVALID")
#undef CKR_DATA_INVALID
#pragma push_macro("CKR_DATA_LEN_RANGE")
#undef CKR_DATA_LEN_RANGE
#pragma push_macro("CKR_DEVICE_ERROR")
#undef CKR_DEVICE_ERROR
#pragma push_macro("CKR_DEVICE_MEMORY")
#undef CKR_DEVICE_MEMORY
#pragma push_macro("CKR_DEVICE_REMOVED")
#undef CKR_DEVICE_REMOVED
#pragma push_macro("CKR_ENCRYPTED_DATA_INVALID")
#undef CKR_ENCRYPTED_DATA_INVALID
#pragma push_macro("CKR_ENCRYPTED_DATA_LEN_RANGE")
#undef CKR_ENCRYPTED_DATA_LEN_RANGE
#pragma push_macro("CKR_FUNCTION_CANCELED")
#undef CKR_FUNCTION_CANCELED
#pragma push_macro("CKR_FUNCTION_NOT_PARALLEL")
#undef CKR_FUNCTION_NOT_PARALLEL
#pragma push_macro("CKR_FUNCTION_NOT_SUPPORTED")
#undef CKR_FUNCTION_NOT_SUPPORTED
#pragma push_macro("CKR_KEY_HANDLE_INVALID")
#undef CKR_KEY_HANDLE_INVALID
#pragma push_macro("CKR_KEY_SIZE_RANGE")
#undef CKR_KEY_SIZE_RANGE
#pragma push_macro("CKR_KEY_TYPE_INCONSISTENT")
#undef CKR_KEY_TYPE_INCONSISTENT
#pragma push_macro("CKR_KEY_NOT_NEEDED")
#undef CKR_KEY_NOT_NEEDED
#pragma push_macro("CKR_KEY_CHANGED")
#undef CKR_KEY_CHANGED
#pragma push_macro("CKR_KEY_NEEDED")
#undef CKR_KEY_NEEDED
#pragma push_macro("CKR_KEY_INDIGESTIBLE")
#undef CKR_KEY_INDIGESTIBLE
#pragma push_macro("CKR_KEY_FUNCTION_NOT_PERMITTED")
#undef CKR_KEY_FUNCTION_NOT_PERMITTED
#pragma push_macro("CKR_KEY_NOT_WRAPPABLE")
#undef CKR_KEY_NOT_WRAPPABLE
#pragma push_macro("CKR_KEY_UNEXTRACTABLE")
#undef CKR_KEY_UNEXTRACTABLE
#pragma push_macro("CKR_MECHANISM_INVALID")
#undef CKR_MECHANISM_INVALID
#pragma push_macro("CKR_MECHANISM_PARAM_INVALID")
#undef CKR_MECHANISM_PARAM_INVALID
#pragma push_macro("CKR_OBJECT_HANDLE_INVALID")
#undef CKR_OBJECT_HANDLE_INVALID
#pragma push_macro("CKR_OPERATION_ACTIVE")
#undef CKR_OPERATION_ACTIVE
#pragma push_macro("CKR_OPERATION_NOT_INITIALIZED")
#undef CKR_OPERATION_NOT_INITIALIZED
#pragma push_macro("CKR_PIN_INCORRECT")
#undef CKR_PIN_INCORRECT
#pragma push_macro("CKR_PIN_INVALID")
#undef CKR_PIN_INVALID
#pragma push_macro("CKR_PIN_LEN_RANGE")
#undef CKR_PIN_LEN_RANGE
#pragma push_macro("CKR_PIN_EXPIRED")
#undef CKR_PIN_EXPIRED
#pragma push_macro("CKR_PIN_LOCKED")
#undef CKR_PIN_LOCKED
#pragma push_macro("CKR_SESSION_CLOSED")
#undef CKR_SESSION_CLOSED
#pragma push_macro("CKR_SESSION_COUNT")
#undef CKR_SESSION_COUNT
#pragma push_macro("CKR_SESSION_HANDLE_INVALID")
#undef CKR_SESSION_HANDLE_INVALID
#pragma push_macro("CKR_SESSION_PARALLEL_NOT_SUPPORTED")
#undef CKR_SESSION_PARALLEL_NOT_SUPPORTED
#pragma push_macro("CKR_SESSION_READ_ONLY")
#undef CKR_SESSION_READ_ONLY
#pragma push_macro("CKR_SESSION_EXISTS")
#undef CKR_SESSION_EXISTS
#pragma push_macro("CKR_SESSION_READ_ONLY_EXISTS")
#undef CKR_SESSION_READ_ONLY_EXISTS
#pragma push_macro("CKR_SESSION_READ_WRITE_SO_EXISTS")
#undef CKR_SESSION_READ_WRITE_SO_EXISTS
#pragma push_macro("CKR_SIGNATURE_INVALID")
#undef CKR_SIGNATURE_INVALID
#pragma push_macro("CKR_SIGNATURE_LEN_RANGE")
#undef CKR_SIGNATURE_LEN_RANGE
#pragma push_macro("CKR_TEMPLATE_INCOMPLETE")
#undef CKR_TEMPLATE_INCOMPLETE
#pragma push_macro("CKR_TEMPLATE_INCONSISTENT")
#undef CKR_TEMPLATE_INCONSISTENT
#pragma push_macro("CKR_TOKEN_NOT_PRESENT")
#undef CKR_TOKEN_NOT_PRESENT
#pragma push_macro("CKR_TOKEN_NOT_RECOGNIZED")
#undef CKR_TOKEN_NOT_RECOGNIZED
#pragma push_macro("CKR_TOKEN_WRITE_PROTECTED")
#undef CKR_TOKEN_WRITE_PROTECTED
#pragma push_macro("CKR_UNWRAPPING_KEY_HANDLE_INVALID")
#undef CKR_UNWRAPPING_KEY_HANDLE_INVALID
#pragma push_macro("CKR_UNWRAPPING_KEY_SIZE_RANGE")
#undef CKR_UNWRAPPING_KEY_SIZE_RANGE
#pragma push_macro("CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT")
#undef CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT
#pragma push_macro("CKR_USER_ALREADY_LOGGED_IN")
#undef CKR_USER_ALREADY_LOGGED_IN
#pragma push_macro("CKR_USER_NOT_LOGGED_IN")
#undef CKR_USER_NOT_LOGGED_IN
#pragma push_macro("CKR_USER_PIN_NOT_INITIALIZED")
#undef CKR_USER_PIN_NOT_INITIALIZED
#pragma push_macro("CKR_USER_TYPE_INVALID")
#undef CKR_USER_TYPE_INVALID
#pragma push_macro("CKR_USER_ANOTHER_ALREADY_LOGGED_IN")
#undef CKR_USER_ANOTHER_ALREADY_LOGGED_IN
#pragma push_macro("CKR_USER_TOO_MANY_TYPES")
#undef CKR_USER_TOO_MANY_TYPES
#pragma push_macro("CKR_WRAPPED_KEY_INVALID")
#undef CKR_WRAPPED_KEY_INVALID
#pragma push_macro("CKR_WRAPPED_KEY_LEN_RANGE")
#undef CKR_WRAPPED_KEY_LEN_RANGE
#pragma push_macro("CKR_WRAPPING_KEY_HANDLE_INVALID")
#undef CKR_WRAPPING_KEY_HANDLE_INVALID
#pragma push_macro("CKR_WRAPPING_KEY_SIZE_RANGE")
#undef CKR_WRAPPING_KEY_SIZE_RANGE
#pragma push_macro("CKR_WRAPPING_KEY_TYPE_INCONSISTENT")
#undef CKR_WRAPPING_KEY_TYPE_INCONSISTENT
#pragma push_macro("CKR_RANDOM_SEED_NOT_SUPPORTED")
#undef CKR_RANDOM_SEED_NOT_SUPPORTED
#pragma push_macro("CKR_RANDOM_NO_RNG")
#undef CKR_RANDOM_NO_RNG
#pragma push_macro("CKR_DOMAIN_PARAMS_INVALID")
#undef CKR_DOMAIN_PARAMS_INVALID
#pragma push_macro("CKR_BUFFER_TOO_SMALL")
#undef CKR_BUFFER_TOO_SMALL
#pragma push_macro("CKR_SAVED_STATE_INVALID")
#undef CKR_SAVED_STATE_INVALID
#pragma push_macro("CKR_INFORMATION_SENSITIVE")
#undef CKR_INFORMATION_SENSITIVE
#pragma push_macro("CKR_STATE_UNSAVEABLE")
#undef CKR_STATE_UNSAVEABLE
#pragma push_macro("CKR_CRYPTOKI_NOT_INITIALIZED")
#undef CKR_CRYPTOKI_NOT_INITIALIZED
#pragma push_macro("CKR_CRYPTOKI_ALREADY_INITIALIZED")
#undef CKR_CRYPTOKI_ALREADY_INITIALIZED
#pragma push_macro("CKR_MUTEX_BAD")
#undef CKR_MUTEX_BAD
#pragma push_macro("CKR_MUTEX_NOT_LOCKED")
#undef CKR_MUTEX_NOT_LOCKED
#pragma push_macro("CKR_FUNCTION_REJECTED")
#undef CKR_FUNCTION_REJECTED

/// The PKCS#11 2.20 return values by name, each with its numeric code. Card operations return raw
/// CK_RV numbers; this names them for the services report and for the one thrown failure.
enum class Pkcs11Error : unsigned long {
    CKR_OK = 0x0,
    CKR_CANCEL = 0x1,
    CKR_HOST_MEMORY = 0x2,
    CKR_SLOT_ID_INVALID = 0x3,
    CKR_GENERAL_ERROR = 0x5,
    CKR_FUNCTION_FAILED = 0x6,
    CKR_ARGUMENTS_BAD = 0x7,
    CKR_NO_EVENT = 0x8,
    CKR_NEED_TO_CREATE_THREADS = 0x9,
    CKR_CANT_LOCK = 0xA,
    CKR_ATTRIBUTE_READ_ONLY = 0x10,
    CKR_ATTRIBUTE_SENSITIVE = 0x11,
    CKR_ATTRIBUTE_TYPE_INVALID = 0x12,
    CKR_ATTRIBUTE_VALUE_INVALID = 0x13,
    CKR_DATA_INVALID = 0x20,
    CKR_DATA_LEN_RANGE = 0x21,
    CKR_DEVICE_ERROR = 0x30,
    CKR_DEVICE_MEMORY = 0x31,
    CKR_DEVICE_REMOVED = 0x32,
    CKR_ENCRYPTED_DATA_INVALID = 0x40,
    CKR_ENCRYPTED_DATA_LEN_RANGE = 0x41,
    CKR_FUNCTION_CANCELED = 0x50,
    CKR_FUNCTION_NOT_PARALLEL = 0x51,
    CKR_FUNCTION_NOT_SUPPORTED = 0x54,
    CKR_KEY_HANDLE_INVALID = 0x60,
    CKR_KEY_SIZE_RANGE = 0x62,
    CKR_KEY_TYPE_INCONSISTENT = 0x63,
    CKR_KEY_NOT_NEEDED = 0x64,
    CKR_KEY_CHANGED = 0x65,
    CKR_KEY_NEEDED = 0x66,
    CKR_KEY_INDIGESTIBLE = 0x67,
    CKR_KEY_FUNCTION_NOT_PERMITTED = 0x68,
    CKR_KEY_NOT_WRAPPABLE = 0x69,
    CKR_KEY_UNEXTRACTABLE = 0x6A,
    CKR_MECHANISM_INVALID = 0x70,
    CKR_MECHANISM_PARAM_INVALID = 0x71,
    CKR_OBJECT_HANDLE_INVALID = 0x82,
    CKR_OPERATION_ACTIVE = 0x90,
    CKR_OPERATION_NOT_INITIALIZED = 0x91,
    CKR_PIN_INCORRECT = 0xA0,
    CKR_PIN_INVALID = 0xA1,
    CKR_PIN_LEN_RANGE = 0xA2,
    CKR_PIN_EXPIRED = 0xA3,
    CKR_PIN_LOCKED = 0xA4,
    CKR_SESSION_CLOSED = 0xB0,
    CKR_SESSION_COUNT = 0xB1,
    CKR_SESSION_HANDLE_INVALID = 0xB3,
    CKR_SESSION_PARALLEL_NOT_SUPPORTED = 0xB4,
    CKR_SESSION_READ_ONLY = 0xB5,
    CKR_SESSION_EXISTS = 0xB6,
    CKR_SESSION_READ_ONLY_EXISTS = 0xB7,
    CKR_SESSION_READ_WRITE_SO_EXISTS = 0xB8,
    CKR_SIGNATURE_INVALID = 0xC0,
    CKR_SIGNATURE_LEN_RANGE = 0xC1,
    CKR_TEMPLATE_INCOMPLETE = 0xD0,
    CKR_TEMPLATE_INCONSISTENT = 0xD1,
    CKR_TOKEN_NOT_PRESENT = 0xE0,
    CKR_TOKEN_NOT_RECOGNIZED = 0xE1,
    CKR_TOKEN_WRITE_PROTECTED = 0xE2,
    CKR_UNWRAPPING_KEY_HANDLE_INVALID = 0xF0,
    CKR_UNWRAPPING_KEY_SIZE_RANGE = 0xF1,
    CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT = 0xF2,
    CKR_USER_ALREADY_LOGGED_IN = 0x100,
    CKR_USER_NOT_LOGGED_IN = 0x101,
    CKR_USER_PIN_NOT_INITIALIZED = 0x102,
    CKR_USER_TYPE_INVALID = 0x103,
    CKR_USER_ANOTHER_ALREADY_LOGGED_IN = 0x104,
    CKR_USER_TOO_MANY_TYPES = 0x105,
    CKR_WRAPPED_KEY_INVALID = 0x110,
    CKR_WRAPPED_KEY_LEN_RANGE = 0x112,
    CKR_WRAPPING_KEY_HANDLE_INVALID = 0x113,
    CKR_WRAPPING_KEY_SIZE_RANGE = 0x114,
    CKR_WRAPPING_KEY_TYPE_INCONSISTENT = 0x115,
    CKR_RANDOM_SEED_NOT_SUPPORTED = 0x120,
    CKR_RANDOM_NO_RNG = 0x121,
    CKR_DOMAIN_PARAMS_INVALID = 0x130,
    CKR_BUFFER_TOO_SMALL = 0x150,
    CKR_SAVED_STATE_INVALID = 0x160,
    CKR_INFORMATION_SENSITIVE = 0x170,
    CKR_STATE_UNSAVEABLE = 0x180,
    CKR_CRYPTOKI_NOT_INITIALIZED = 0x190,
    CKR_CRYPTOKI_ALREADY_INITIALIZED = 0x191,
    CKR_MUTEX_BAD = 0x1A0,
    CKR_MUTEX_NOT_LOCKED = 0x1A1,
    CKR_FUNCTION_REJECTED = 0x200,
};

#pragma pop_macro("CKR_OK")
#pragma pop_macro("CKR_CANCEL")
#pragma pop_macro("CKR_HOST_MEMORY")
#pragma pop_macro("CKR_SLOT_ID_INVALID")
#pragma pop_macro("CKR_GENERAL_ERROR")
#pragma pop_macro("CKR_FUNCTION_FAILED")
#pragma pop_macro("CKR_ARGUMENTS_BAD")
#pragma pop_macro("CKR_NO_EVENT")
#pragma pop_macro("CKR_NEED_TO_CREATE_THREADS")
#pragma pop_macro("CKR_CANT_LOCK")
#pragma pop_macro("CKR_ATTRIBUTE_READ_ONLY")
#pragma pop_macro("CKR_ATTRIBUTE_SENSITIVE")
#pragma pop_macro("CKR_ATTRIBUTE_TYPE_INVALID")
#pragma pop_macro("CKR_ATTRIBUTE_VALUE_INVALID")
#pragma pop_macro("CKR_DATA_INVALID")
#pragma pop_macro("CKR_DATA_LEN_RANGE")
#pragma pop_macro("CKR_DEVICE_ERROR")
#pragma pop_macro("CKR_DEVICE_MEMORY")
#pragma pop_macro("CKR_DEVICE_REMOVED")
#pragma pop_macro("CKR_ENCRYPTED_DATA_INVALID")
#pragma pop_macro("CKR_ENCRYPTED_DATA_LEN_RANGE")
#pragma pop_macro("CKR_FUNCTION_CANCELED")
#pragma pop_macro("CKR_FUNCTION_NOT_PARALLEL")
#pragma pop_macro("CKR_FUNCTION_NOT_SUPPORTED")
#pragma pop_macro("CKR_KEY_HANDLE_INVALID")
#pragma pop_macro("CKR_KEY_SIZE_RANGE")
#pragma pop_macro("CKR_KEY_TYPE_INCONSISTENT")
#pragma pop_macro("CKR_KEY_NOT_NEEDED")
#pragma pop_macro("CKR_KEY_CHANGED")
#pragma pop_macro("CKR_KEY_NEEDED")
#pragma pop_macro("CKR_KEY_INDIGESTIBLE")
#pragma pop_macro("CKR_KEY_FUNCTION_NOT_PERMITTED")
#pragma pop_macro("CKR_KEY_NOT_WRAPPABLE")
#pragma pop_macro("CKR_KEY_UNEXTRACTABLE")
#pragma pop_macro("CKR_MECHANISM_INVALID")
#pragma pop_macro("CKR_MECHANISM_PARAM_INVALID")
#pragma pop_macro("CKR_OBJECT_HANDLE_INVALID")
#pragma pop_macro("CKR_OPERATION_ACTIVE")
#pragma pop_macro("CKR_OPERATION_NOT_INITIALIZED")
#pragma pop_macro("CKR_PIN_INCORRECT")
#pragma pop_macro("CKR_PIN_INVALID")
#pragma pop_macro("CKR_PIN_LEN_RANGE")
#pragma pop_macro("CKR_PIN_EXPIRED")
#pragma pop_macro("CKR_PIN_LOCKED")
#pragma pop_macro("CKR_SESSION_CLOSED")
#pragma pop_macro("CKR_SESSION_COUNT")
#pragma pop_macro("CKR_SESSION_HANDLE_INVALID")
#pragma pop_macro("CKR_SESSION_PARALLEL_NOT_SUPPORTED")
#pragma pop_macro("CKR_SESSION_READ_ONLY")
#pragma pop_macro("CKR_SESSION_EXISTS")
#pragma pop_macro("CKR_SESSION_READ_ONLY_EXISTS")
#pragma pop_macro("CKR_SESSION_READ_WRITE_SO_EXISTS")
#pragma pop_macro("CKR_SIGNATURE_INVALID")
#pragma pop_macro("CKR_SIGNATURE_LEN_RANGE")
#pragma pop_macro("CKR_TEMPLATE_INCOMPLETE")
#pragma pop_macro("CKR_TEMPLATE_INCONSISTENT")
#pragma pop_macro("CKR_TOKEN_NOT_PRESENT")
#pragma pop_macro("CKR_TOKEN_NOT_RECOGNIZED")
#pragma pop_macro("CKR_TOKEN_WRITE_PROTECTED")
#pragma pop_macro("CKR_UNWRAPPING_KEY_HANDLE_INVALID")
#pragma pop_macro("CKR_UNWRAPPING_KEY_SIZE_RANGE")
#pragma pop_macro("CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT")
#pragma pop_macro("CKR_USER_ALREADY_LOGGED_IN")
#pragma pop_macro("CKR_USER_NOT_LOGGED_IN")
#pragma pop_macro("CKR_USER_PIN_NOT_INITIALIZED")
#pragma pop_macro("CKR_USER_TYPE_INVALID")
#pragma pop_macro("CKR_USER_ANOTHER_ALREADY_LOGGED_IN")
#pragma pop_macro("CKR_USER_TOO_MANY_TYPES")
#pragma pop_macro("CKR_WRAPPED_KEY_INVALID")
#pragma pop_macro("CKR_WRAPPED_KEY_LEN_RANGE")
#pragma pop_macro("CKR_WRAPPING_KEY_HANDLE_INVALID")
#pragma pop_macro("CKR_WRAPPING_KEY_SIZE_RANGE")
#pragma pop_macro("CKR_WRAPPING_KEY_TYPE_INCONSISTENT")
#pragma pop_macro("CKR_RANDOM_SEED_NOT_SUPPORTED")
#pragma pop_macro("CKR_RANDOM_NO_RNG")
#pragma pop_macro("CKR_DOMAIN_PARAMS_INVALID")
#pragma pop_macro("CKR_BUFFER_TOO_SMALL")
#pragma pop_macro("CKR_SAVED_STATE_INVALID")
#pragma pop_macro("CKR_INFORMATION_SENSITIVE")
#pragma pop_macro("CKR_STATE_UNSAVEABLE")
#pragma pop_macro("CKR_CRYPTOKI_NOT_INITIALIZED")
#pragma pop_macro("CKR_CRYPTOKI_ALREADY_INITIALIZED")
#pragma pop_macro("CKR_MUTEX_BAD")
#pragma pop_macro("CKR_MUTEX_NOT_LOCKED")
#pragma pop_macro("CKR_FUNCTION_REJECTED")

/// Number of named return values.
inline constexpr int kPkcs11ErrorCount = 85;

/// The case of a numeric return value; nothing for a code the standard does not name (including
/// every code above 0x200 and the vendor-defined range).
std::optional<Pkcs11Error> pkcs11ErrorFromValue(unsigned long rv);

/// The constant's name, "CKR_PIN_INCORRECT" for Pkcs11Error::CKR_PIN_INCORRECT.
const char* pkcs11ErrorName(Pkcs11Error error);

/// The name of a numeric return value; a code without a case is written as "0x" followed by eight
/// upper-case hexadecimal digits (0x80000001 -> "0x80000001"), so the report still tells it apart.
std::string pkcs11ReturnName(unsigned long rv);

/// The one failure raised by the binding (reading the state of a session that does not answer).
class Pkcs11Exception : public std::runtime_error {
  public:
    explicit Pkcs11Exception(Pkcs11Error error);
    Pkcs11Error error() const noexcept { return error_; }

  private:
    Pkcs11Error error_;
};

}  // namespace qel
