// A whole update session over hostile service answers. The input is split at each zero byte: the
// first piece is what the card answers (one length byte, then that many bytes, for each command;
// 9000 once it runs out), each later piece is the body of the service's next answer. Whatever the
// service sends, the session ends with an outcome, touches nothing outside the lists it got, and
// never sends the card a command past the relay's limits.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "update/relay_limits.h"
#include "update/tmaj_service.h"

namespace {

using namespace qel;

struct ScriptCard : UpdateCard {
    std::string_view answers;
    std::size_t pos = 0;
    std::optional<Bytes> transmit(const Bytes& apdu, bool) override {
        if (apdu.size() < 4 || apdu.size() > relay::kMaxExtendedCommandBytes) std::abort();
        if (pos >= answers.size()) return Bytes{0x90, 0x00};
        const std::uint8_t length = static_cast<std::uint8_t>(answers[pos]);
        ++pos;
        // A length byte of 0xFF stands for a card that stopped answering.
        if (length == 0xFF) return std::nullopt;
        const std::size_t n = std::min<std::size_t>(length, answers.size() - pos);
        Bytes answer(answers.begin() + static_cast<std::ptrdiff_t>(pos),
                     answers.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
        return answer;
    }
    std::string tokenSerial() override { return "1234567890Z"; }
};

struct ScriptService : TmajClient {
    std::vector<std::string_view> bodies;
    std::size_t next = 0;
    int requests = 0;
    ApduList answer() {
        ++requests;
        if (next >= bodies.size()) return {};
        const std::string_view body = bodies[next++];
        if (body.size() > relay::kMaxAnswerBytes) return {};
        return decodeApduList(body).value_or(ApduList{});
    }
    ApduList getRequest(const std::string&, const std::vector<std::string>&, std::stop_token) override {
        return answer();
    }
    ApduList postRequest(const std::string&, const ApduList& list, const std::string&, std::stop_token) override {
        if (list.size() > relay::kMaxCommandsPerList) std::abort();
        return answer();
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A successful session drops the card's cache files: keep them away from the user's.
    const std::filesystem::path cache = std::filesystem::temp_directory_path() / "fuzz_tmaj_session_cache";
    std::filesystem::create_directories(cache);
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0;;) {
        const std::size_t end = input.find('\0', start);
        pieces.push_back(input.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    ScriptCard card;
    card.answers = pieces.front();
    ScriptService service;
    service.bodies.assign(pieces.begin() + 1, pieces.end());

    TmajService session(service);
    session.finalPauseMs = 0;
    // Every reading of the clock moves it on a second: long scripts meet the time limit too.
    auto clock = TmajService::Clock::time_point{};
    session.now = [&clock] { return clock += std::chrono::seconds(1); };
    const ApduResult outcome = session.performUpdate(card, {});
    if (outcome.isError && outcome.resultMessage.empty()) std::abort();
    if (service.requests > 5 + relay::kMaxRounds + 1) std::abort();
    return 0;
}
