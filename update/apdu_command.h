#pragma once
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

/// One command of an update script as the update service sends it. The session writes the card's
/// answer into `response` in place and sends the same list back.
struct ApduCommand {
    /// The command in hexadecimal text, or a marker such as "ENDQELMAJ".
    std::optional<std::string> apdu;
    /// The card's answer (upper-case hexadecimal, status word included) or an error text.
    std::optional<std::string> response;
    /// "0": the command goes to the card with the flag false; anything else: true.
    std::string apduRespType;

    friend bool operator==(const ApduCommand&, const ApduCommand&) = default;
};

using ApduList = std::vector<ApduCommand>;

/// The end marker of the repeated step.
inline constexpr const char* kEndMarker = "ENDQELMAJ";

/// Decodes a JSON array of commands. Nothing when the text is not JSON, not an array, or any element
/// is not an object with a text "apduRespType" (and text "apdu" / "response" when present); `error`
/// then says why.
std::optional<ApduList> decodeApduList(std::string_view json, std::string* error = nullptr);

/// The JSON object of one command; absent members are omitted.
nlohmann::json toJson(const ApduCommand& command);

/// The body of every POST of the session: {"inputParams": [...], "cardnum": "..."}, compact.
std::string encodePostBody(const ApduList& inputParams, const std::string& cardnum);

/// Outcome codes of a command or of a session, with the raw texts the service and the logs use.
enum class ApduResultCode {
    CODE_RESPONSE_OK,
    CODE_INTERNAL_ERROR,
    CODE_APDU_ERROR,
    CODE_PIN_CODE_ERROR,
    CODE_CARD_LOCKED,
    CODE_CARD_MISSING,
    CODE_APDU_FILE_NOT_FOUND,
    CODE_APDU_FID_NOT_FOUND,
};

/// "9000", "9999", "-1", "-1160", "-1164", "-1179", "6A82", "9404".
const char* rawValue(ApduResultCode code);

/// The outcome of one command or of a whole session.
struct ApduResult {
    /// The command's APDU text; "false" for a session outcome.
    std::string commandVerb = "false";
    ApduResultCode resultCode = ApduResultCode::CODE_RESPONSE_OK;
    /// The card's answer for a successful command; otherwise the message for the user.
    std::string resultMessage;
    bool isError = false;

    static ApduResult success() { return {}; }
    static ApduResult failure(ApduResultCode code, std::string message) {
        return {"false", code, std::move(message), true};
    }
};

}  // namespace qel
