#include <PCSC/pcsclite.h>
#include <gtest/gtest.h>

#include "platform/pcsc/pcsc_error.h"

namespace qel::pcsc {
namespace {

using K = TransportError::Kind;

TEST(PcscErrorTest, MapsEveryCodeToOneKind) {
    struct Case {
        LONG rv;
        K kind;
    };
    const Case cases[] = {
        {SCARD_W_REMOVED_CARD, K::cardRemoved},
        {SCARD_E_NO_SMARTCARD, K::cardRemoved},
        {SCARD_E_INVALID_HANDLE, K::cardRemoved},
        {SCARD_E_READER_UNAVAILABLE, K::noReader},
        {SCARD_E_UNKNOWN_READER, K::noReader},
        {SCARD_E_NO_READERS_AVAILABLE, K::noReader},
        {SCARD_E_NO_SERVICE, K::noService},
        {SCARD_E_SERVICE_STOPPED, K::noService},
        {SCARD_E_TIMEOUT, K::timeout},
        {SCARD_W_RESET_CARD, K::communication},
        {SCARD_W_UNRESPONSIVE_CARD, K::communication},
        {SCARD_E_SHARING_VIOLATION, K::communication},
        {SCARD_E_NOT_TRANSACTED, K::communication},
        {SCARD_F_COMM_ERROR, K::communication},
        {SCARD_E_PROTO_MISMATCH, K::communication},
        {static_cast<LONG>(0x80109999), K::communication},  // a code nobody knows
    };
    for (const Case& c : cases) {
        EXPECT_EQ(transportKind(c.rv), c.kind) << pcscErrorName(c.rv);
        TransportError e = pcscTransportError(c.rv, "SCardTransmit");
        EXPECT_EQ(e.kind(), c.kind);
        EXPECT_EQ(e.platformCode(), c.rv);
    }
}

TEST(PcscErrorTest, TextNamesTheCallTheCodeAndItsNumber) {
    EXPECT_STREQ(pcscTransportError(SCARD_W_REMOVED_CARD, "SCardTransmit").what(),
                 "SCardTransmit: SCARD_W_REMOVED_CARD (0x80100069)");
    EXPECT_STREQ(pcscTransportError(static_cast<LONG>(0x80109999), "SCardConnect").what(),
                 "SCardConnect: SCARD_unknown (0x80109999)");
}

}  // namespace
}  // namespace qel::pcsc
