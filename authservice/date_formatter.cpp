#include "authservice/date_formatter.h"

#include <cstdio>

namespace qel::vek {
namespace {

using namespace std::chrono;

// A cursor over the text that reads fixed-width fields.
struct Reader {
    std::string_view text;
    std::size_t at = 0;

    bool digits(int count, int& out) {
        if (text.size() - at < static_cast<std::size_t>(count)) return false;
        int value = 0;
        for (int i = 0; i < count; ++i) {
            const char c = text[at + static_cast<std::size_t>(i)];
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        at += static_cast<std::size_t>(count);
        out = value;
        return true;
    }
    bool literal(char c) {
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    }
    bool done() const { return at == text.size(); }
};

std::optional<sys_days> day(Reader& r) {
    int y = 0, m = 0, d = 0;
    if (!r.digits(4, y) || !r.literal('-') || !r.digits(2, m) || !r.literal('-') || !r.digits(2, d))
        return std::nullopt;
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(m)}, std::chrono::day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;
    return sys_days{ymd};
}

// "Z", "+HH:MM" or "+HHMM": the offset to subtract to reach GMT.
std::optional<minutes> zone(Reader& r) {
    if (r.literal('Z')) return minutes{0};
    int sign = 0;
    if (r.literal('+'))
        sign = 1;
    else if (r.literal('-'))
        sign = -1;
    else
        return std::nullopt;
    int hh = 0, mm = 0;
    if (!r.digits(2, hh)) return std::nullopt;
    r.literal(':');
    if (!r.digits(2, mm) || hh > 23 || mm > 59) return std::nullopt;
    return minutes{sign * (hh * 60 + mm)};
}

std::optional<Date> dateTime(std::string_view text, bool withFraction) {
    Reader r{text};
    const auto d = day(r);
    int hh = 0, mi = 0, ss = 0;
    if (!d || !r.literal('T') || !r.digits(2, hh) || !r.literal(':') || !r.digits(2, mi) || !r.literal(':') ||
        !r.digits(2, ss))
        return std::nullopt;
    if (hh > 23 || mi > 59 || ss > 59) return std::nullopt;
    int millis = 0;
    if (withFraction) {
        if (!r.literal('.')) return std::nullopt;
        int places = 0;
        while (r.at < r.text.size() && r.text[r.at] >= '0' && r.text[r.at] <= '9') {
            if (places < 3) millis = millis * 10 + (r.text[r.at] - '0');
            ++places;
            ++r.at;
        }
        if (places == 0 || places > 9) return std::nullopt;
        for (int p = places; p < 3; ++p) millis *= 10;
    }
    const auto offset = zone(r);
    if (!offset || !r.done()) return std::nullopt;
    return Date{*d + hours{hh} + minutes{mi} + seconds{ss} + milliseconds{millis} - *offset};
}

// Only dates that can be written back in the same four-digit form: an offset can push one past year
// 9999 or before year 0.
std::optional<Date> writable(std::optional<Date> date) {
    if (!date) return std::nullopt;
    const year y = year_month_day{floor<days>(*date)}.year();
    if (y < year{0} || y > year{9999}) return std::nullopt;
    return date;
}

}  // namespace

std::string OpenISO8601DateFormatter::string(Date date) {
    const sys_days d = floor<days>(date);
    const year_month_day ymd{d};
    const hh_mm_ss<milliseconds> t{date - d};
    char out[40];
    std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(t.hours().count()), static_cast<int>(t.minutes().count()),
                  static_cast<int>(t.seconds().count()), static_cast<int>(t.subseconds().count()));
    return out;
}

std::optional<Date> OpenISO8601DateFormatter::date(std::string_view text) {
    if (auto d = dateTime(text, true)) return writable(d);
    if (auto d = dateTime(text, false)) return writable(d);
    Reader r{text};
    const auto d = day(r);
    if (d && r.done()) return Date{*d};
    return std::nullopt;
}

}  // namespace qel::vek
