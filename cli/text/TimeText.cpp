#include "TimeText.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <regex>

namespace {

constexpr std::int64_t kMicros = 1000000;

bool ToTm(std::int64_t micros, bool utc, std::tm& out) {
    std::time_t seconds = static_cast<std::time_t>(micros / kMicros);
    if (micros < 0 && micros % kMicros != 0)
        --seconds;
    return (utc ? ::gmtime_r(&seconds, &out) : ::localtime_r(&seconds, &out)) != nullptr;
}

std::string Format(const char* pattern, const std::tm& tm) {
    char buffer[64];
    std::size_t n = std::strftime(buffer, sizeof buffer, pattern, &tm);
    return std::string(buffer, n);
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool ValidDate(int y, int m, int d) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1)
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

} // namespace

std::int64_t TimeText::NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool TimeText::Parse(const std::string& input, std::int64_t& micros) {
    // std::regex matches by recursion, a level or more per character: the blanks around the
    // text are cut first, and a text far longer than any time is refused before it could
    // exhaust the stack.
    static const char* const kBlanks = " \t\n\v\f\r";
    constexpr std::size_t kLongestText = 64;
    const std::size_t first = input.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return false;
    const std::string text = input.substr(first, input.find_last_not_of(kBlanks) - first + 1);
    if (text.size() > kLongestText)
        return false;
    static const std::regex kPattern(
        R"(^\s*(\d{4})-(\d{2})-(\d{2})[ T](\d{2}):(\d{2})(?::(\d{2})(?:\.(\d{1,6}))?)?)"
        R"(\s*(Z|UTC|[+-]\d{2}(?::?\d{2})?)?\s*$)");
    std::smatch m;
    if (!std::regex_match(text, m, kPattern))
        return false;
    const int year = std::stoi(m[1]), month = std::stoi(m[2]), day = std::stoi(m[3]);
    const int hour = std::stoi(m[4]), minute = std::stoi(m[5]);
    const int second = m[6].matched ? std::stoi(m[6]) : 0;
    if (!ValidDate(year, month, day) || hour > 23 || minute > 59 || second > 59)
        return false;
    std::int64_t fraction = 0;
    if (m[7].matched) {
        std::string digits = m[7].str();
        digits.resize(6, '0');
        fraction = std::stoll(digits);
    }
    std::int64_t seconds = 0;
    if (m[8].matched) {
        std::int64_t offset = 0;
        const std::string zone = m[8].str();
        if (zone != "Z" && zone != "UTC") {
            const int hours = std::stoi(zone.substr(1, 2));
            const std::string rest = zone.size() > 3 ? zone.substr(zone.size() - 2) : "00";
            const int minutes = std::stoi(rest);
            if (hours > 15 || minutes > 59)
                return false;
            offset = (hours * 3600 + minutes * 60) * (zone[0] == '-' ? -1 : 1);
        }
        seconds =
            DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
            hour * 3600 + minute * 60 + second - offset;
    } else {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        tm.tm_isdst = -1;
        const std::time_t local = ::mktime(&tm);
        if (local == static_cast<std::time_t>(-1))
            return false;
        seconds = local;
    }
    micros = seconds * kMicros + fraction;
    return true;
}

std::string TimeText::Local(std::int64_t micros) {
    std::tm tm{};
    if (!ToTm(micros, false, tm))
        return "?";
    // strftime's %z gives +HHMM; people and the server read +HH:MM more easily.
    std::string zone = Format("%z", tm);
    if (zone.size() == 5)
        zone.insert(3, ":");
    return Format("%Y-%m-%d %H:%M:%S", tm) + zone;
}

std::string TimeText::ForServer(std::int64_t micros) {
    std::tm tm{};
    if (!ToTm(micros, true, tm))
        return "";
    std::int64_t fraction = micros % kMicros;
    if (fraction < 0)
        fraction += kMicros;
    char tail[16];
    std::snprintf(tail, sizeof tail, ".%06lld+00", static_cast<long long>(fraction));
    return Format("%Y-%m-%d %H:%M:%S", tm) + tail;
}

std::string TimeText::IdStem(std::int64_t micros) {
    std::tm tm{};
    if (!ToTm(micros, false, tm))
        return "00000000-000000";
    return Format("%Y%m%d-%H%M%S", tm);
}
