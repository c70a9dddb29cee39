#include "update/update_card.h"

#include "issuerlib/pkcs11_card.h"

namespace qel {

std::optional<Bytes> Pkcs11UpdateCard::transmit(const Bytes& apdu, bool flag) { return card_.transmit(apdu, flag); }

std::string Pkcs11UpdateCard::tokenSerial() { return card_.serial; }

}  // namespace qel
