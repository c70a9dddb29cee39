#include "management/card_tables.h"

#include <ctime>
#include <map>

namespace qel {
namespace {

const std::map<std::string, std::string>& cardPictures() {
    static const std::map<std::string, std::string> table = {
        {"00", "top-card-empty"},    {"02", "top-card-etabli"},    {"03", "top-card-person"},
        {"10", "top-card-medecin"},  {"21", "top-card-pharma"},    {"40", "top-card-chdent"},
        {"50", "top-card-sagefem"},  {"60", "top-card-infir"},     {"70", "top-card-kine"},
        {"80", "top-card-pedicu"},   {"F10", "top-card-Fmed"},     {"F21", "top-card-Fpharma"},
        {"F40", "top-card-Fchdent"}, {"F50", "top-card-Fsagefem"},
    };
    return table;
}

const std::map<std::string, std::string>& jobColours() {
    static const std::map<std::string, std::string> table = {
        {"02", "etabli"},   {"03", "person"},   {"10", "medecin"},   {"21", "pharma"}, {"40", "chdent"},
        {"50", "sagefem"},  {"60", "infir"},    {"70", "kine"},      {"80", "pedicu"}, {"F10", "Fmed"},
        {"F21", "Fpharma"}, {"F40", "Fchdent"}, {"F50", "Fsagefem"}, {"99", "empty"},
    };
    return table;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string cardPicture(const std::string& professionKey) {
    auto it = cardPictures().find(professionKey);
    return it != cardPictures().end() ? it->second : cardPictures().at("00");
}

std::string jobColour(const std::string& professionKey) {
    auto it = jobColours().find(professionKey);
    return it != jobColours().end() ? it->second : jobColours().at("99");
}

std::string professionKey(const HolderInfos& holder) {
    if (holder.codeTypeCarte == "00") return holder.codeProf;
    if (holder.codeTypeCarte == "01") return "F" + holder.codeMetier;
    return holder.codeTypeCarte;
}

std::optional<std::chrono::system_clock::time_point> parseCardDate(const std::string& text) {
    if (text.size() != 10 || text[2] != '/' || text[5] != '/') return std::nullopt;
    for (std::size_t i : {0, 1, 3, 4, 6, 7, 8, 9})
        if (!isDigit(text[i])) return std::nullopt;
    std::tm tm{};
    tm.tm_mday = std::stoi(text.substr(0, 2));
    tm.tm_mon = std::stoi(text.substr(3, 2)) - 1;
    tm.tm_year = std::stoi(text.substr(6, 4)) - 1900;
    tm.tm_isdst = -1;
    if (tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_mon < 0 || tm.tm_mon > 11) return std::nullopt;
    const int day = tm.tm_mday, month = tm.tm_mon;
    const std::time_t t = std::mktime(&tm);
    // mktime rolls 31/02 over into March: such a text is not a date.
    if (t == static_cast<std::time_t>(-1) || tm.tm_mday != day || tm.tm_mon != month) return std::nullopt;
    // The clock counts in nanoseconds and ends in 2262; a card may say 31/12/9999.
    using Clock = std::chrono::system_clock;
    if (t >= Clock::to_time_t(Clock::time_point::max())) return Clock::time_point::max();
    if (t <= Clock::to_time_t(Clock::time_point::min())) return Clock::time_point::min();
    return Clock::from_time_t(t);
}

bool expiresAfter(const std::string& finValidite, std::chrono::system_clock::time_point now) {
    auto date = parseCardDate(finValidite);
    return date && *date > now;
}

std::string trimControlCharacters(const std::string& text) {
    auto isControl = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
    std::size_t begin = 0, end = text.size();
    while (begin < end && isControl(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && isControl(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

}  // namespace qel
