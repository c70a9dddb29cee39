#pragma once
#include <p11-kit/pkcs11.h>

#include <cstdint>

namespace qel::simp11 {

/// Result of a PIN command (VERIFY, CHANGE REFERENCE DATA, RESET RETRY COUNTER) by status word.
/// A wrong code on the last try blocks the PIN: that is reported as locked, not as incorrect.
CK_RV rvFromPinStatus(std::uint16_t sw);
/// A PIN command typed on the reader's keypad: the reader's own 64xx, else as rvFromPinStatus.
CK_RV rvFromKeypadStatus(std::uint16_t sw);

/// Result of any other refused command by status word.
CK_RV rvFromCardStatus(std::uint16_t sw);

/// The result for the exception being handled (call inside a catch block): transport failures,
/// card refusals, memory, anything else.
CK_RV rvFromCurrentException();

}  // namespace qel::simp11
