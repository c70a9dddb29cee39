#pragma once
// Whether the card in a reader signs for anyone: runs qel-raw-signature ($QEL_RAW_SIGNATURE), a
// process of its own with its own connection to pcscd, which sends MSE SET and the signature
// command for each private key without presenting a PIN.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qel::testbed {

/// The tool's lines ("sign 6982\nauth 6982\n"), or a text starting with "error" when it could not
/// run or reach the card.
inline std::string rawSignatureAnswers(const std::string& reader) {
    const char* tool = std::getenv("QEL_RAW_SIGNATURE");
    if (!tool || !*tool) return "error: QEL_RAW_SIGNATURE is not set";
    const std::string command = std::string("'") + tool + "' '" + reader + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "error: popen";
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    const int status = pclose(pipe);
    return status == 0 ? out : "error " + std::to_string(status) + ": " + out;
}

/// What a card that forgot every PIN answers for its two keys.
inline const std::string kNoKeyWithoutPin = "sign 6982\nauth 6982\n";
/// What a card verified by someone answers.
inline const std::string kBothKeysSign = "sign 9000\nauth 9000\n";

}  // namespace qel::testbed
