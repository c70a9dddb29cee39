#include <gtest/gtest.h>

#include "card/card_error.h"
#include "card/smart_card.h"
#include "cli/cli_error.h"
#include "token/p11/error_mapping.h"
#include "token/sigilla.h"

namespace qel::p11 {
namespace {

template <typename E>
std::exception_ptr error(E e) {
    return std::make_exception_ptr(e);
}

TEST(ErrorMapping, CardAndTransportErrorsGiveOneReturnValueEach) {
    using K = TransportError::Kind;
    using P = CardPhase;
    using Code = CardError;
    struct Case {
        std::exception_ptr error;
        CardPhase phase;
        CK_RV expected;
        const char* what;
    };
    const Case cases[] = {
        {error(TransportError(K::cardRemoved, 0, "")), P::sign, CKR_DEVICE_REMOVED, "card pulled out"},
        {error(TransportError(K::noReader, 0, "")), P::other, CKR_DEVICE_REMOVED, "reader gone"},
        {error(TransportError(K::noService, 0, "")), P::other, CKR_DEVICE_ERROR, "no pcscd"},
        {error(TransportError(K::timeout, 0, "")), P::sign, CKR_DEVICE_ERROR, "time-out"},
        {error(TransportError(K::communication, 0, "")), P::pinVerify, CKR_DEVICE_ERROR, "line noise"},
        {error(CardError::transportFailure(true)), P::pinCheck, CKR_DEVICE_REMOVED, "removed during a selection"},
        {error(CardError::transportFailure(false)), P::pinCheck, CKR_DEVICE_ERROR, "selection failed in transport"},
        {error(CardError::transportFailure(false)), P::pinVerify, CKR_DEVICE_ERROR, "transport, not the PIN"},
        {error(CardError(Code::communicationError)), P::pinCheck, CKR_PIN_LOCKED, "blocked before the PIN"},
        {error(CardError::cardAnswer(Code::communicationError, 0x6983)), P::pinCheck, CKR_PIN_LOCKED,
         "tries counter blocked"},
        {error(CardError::cardAnswer(Code::communicationError, 0x63C2)), P::pinVerify, CKR_PIN_INCORRECT,
         "PIN refused"},
        {error(CardError::cardAnswer(Code::communicationError, 0x6983)), P::pinVerify, CKR_PIN_LOCKED,
         "VERIFY finds the PIN blocked"},
        {error(CardError(Code::communicationError)), P::pinVerify, CKR_PIN_INCORRECT, "refused without an answer"},
        {error(CardError(Code::communicationError)), P::sign, CKR_DEVICE_ERROR, "communication error"},
        {error(CardError(Code::authenticationNeeded)), P::sign, CKR_USER_NOT_LOGGED_IN, "login needed"},
        {error(CardError(Code::badParameter)), P::sign, CKR_FUNCTION_FAILED, "environment refused"},
        {error(CardError(Code::badParameter)), P::tokenCreation, CKR_DEVICE_ERROR, "unknown card"},
        {error(CardError(Code::corruptedData)), P::tokenCreation, CKR_DEVICE_ERROR, "corrupted certificate"},
        {error(CardError(Code::notImplemented)), P::other, CKR_FUNCTION_NOT_SUPPORTED, "key exchange"},
        {error(CardError(kObjectNotFound)), P::sign, CKR_KEY_HANDLE_INVALID, "no such key"},
        {error(CardError(0x6983)), P::sign, CKR_PIN_LOCKED, "blocked during an operation"},
        {error(CardError(0x6A80)), P::sign, CKR_DATA_INVALID, "bad data to sign"},
        {error(CardError(0x6A80)), P::decrypt, CKR_ENCRYPTED_DATA_INVALID, "bad cryptogram"},
        {error(CardError(0x6700)), P::decrypt, CKR_ENCRYPTED_DATA_LEN_RANGE, "cryptogram length"},
        {error(CardError(0x6A88)), P::sign, CKR_KEY_HANDLE_INVALID, "key reference not found"},
        {error(CardError(0x6982)), P::decrypt, CKR_USER_NOT_LOGGED_IN, "security status not satisfied"},
        {error(CardError(0x6985)), P::sign, CKR_FUNCTION_REJECTED, "conditions of use"},
        {error(CardError(0x6581)), P::sign, CKR_DEVICE_MEMORY, "memory failure"},
        {error(CardError(0x6F00)), P::sign, CKR_DEVICE_ERROR, "other status word"},
        {error(CardError(0x63C1)), P::sign, CKR_DEVICE_ERROR, "tries left, outside a PIN step"},
        {error(P11Error(CKR_PIN_LEN_RANGE)), P::other, CKR_PIN_LEN_RANGE, "module's own"},
        {error(std::bad_alloc()), P::other, CKR_HOST_MEMORY, "memory"},
        {error(std::runtime_error("x")), P::other, CKR_GENERAL_ERROR, "anything else"},
        {nullptr, P::other, CKR_OK, "no error"},
    };
    for (const Case& c : cases) EXPECT_EQ(ckrForError(c.error, c.phase), c.expected) << c.what;
    EXPECT_TRUE(isCardRemoval(error(CardError::transportFailure(true))));
    EXPECT_FALSE(isCardRemoval(error(CardError::transportFailure(false))));
    EXPECT_FALSE(isCardRemoval(error(CardError(Code::communicationError))));
    EXPECT_FALSE(isCardRemoval(nullptr));
}

// One card answer followed across every boundary: the error the card core raises for it, its kind,
// Sigilla's return value, and the exit status `qel` gives the same return value from a login.
TEST(ErrorMapping, StatusWordToKindToReturnValueToExitCode) {
    using K = CardError::Kind;
    using P = CardPhase;
    struct Case {
        CardError error;
        K kind;
        CardPhase phase;
        CK_RV rv;
        cli::ExitCode exit;
    };
    const Case cases[] = {
        {CardError::cardAnswer(CardError::communicationError, 0x63C2), K::failed, P::pinVerify, CKR_PIN_INCORRECT,
         cli::kExitWrongPin},
        {CardError::cardAnswer(CardError::communicationError, 0x6983), K::failed, P::pinVerify, CKR_PIN_LOCKED,
         cli::kExitCardBlocked},
        {CardError(0x6983), K::cardStatus, P::sign, CKR_PIN_LOCKED, cli::kExitCardBlocked},
        {CardError(0x6982), K::cardStatus, P::decrypt, CKR_USER_NOT_LOGGED_IN, cli::kExitServiceFailure},
        {CardError(0x6A80), K::cardStatus, P::sign, CKR_DATA_INVALID, cli::kExitServiceFailure},
        {CardError(0x6F00), K::cardStatus, P::sign, CKR_DEVICE_ERROR, cli::kExitServiceFailure},
        {CardError::transportFailure(true), K::cardRemoved, P::pinVerify, CKR_DEVICE_REMOVED, cli::kExitNoCard},
        {TransportError(K::noReader, 0, "reader gone"), K::noReader, P::sign, CKR_DEVICE_REMOVED, cli::kExitNoCard},
        {TransportError(K::noService, 0, "no pcscd"), K::noService, P::other, CKR_DEVICE_ERROR,
         cli::kExitServiceFailure},
        {CardError(CardError::objectNotFound), K::objectNotFound, P::sign, CKR_KEY_HANDLE_INVALID,
         cli::kExitServiceFailure},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.what());
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(c.error.fromTransport(), CardError::isTransportKind(c.kind));
        const CK_RV rv = ckrForCardError(c.error, c.phase);
        EXPECT_EQ(rv, c.rv);
        EXPECT_EQ(cli::exitCodeForReturnValue(rv, cli::kExitServiceFailure), c.exit);
    }
    // A card gone while it is read is no failure of the step; anything else is the step's own.
    EXPECT_EQ(cli::exitCodeForReturnValue(CKR_TOKEN_NOT_PRESENT, cli::kExitFailure), cli::kExitNoCard);
    EXPECT_EQ(cli::exitCodeForReturnValue(CKR_GENERAL_ERROR, cli::kExitFailure), cli::kExitFailure);
    EXPECT_EQ(cli::exitCodeForReturnValue(CKR_OK, cli::kExitFailure), cli::kExitOk);
}

}  // namespace
}  // namespace qel::p11
