#pragma once

#include <cctype>
#include <climits>
#include <string>

// Every place where the agent's behaviour depends on the server release compares against
// these, in the server's own server_version_num form (major * 10000 + minor * 100 + patch
// before release 10, major * 10000 + minor from 10 on).
constexpr int PG_VERSION_8_0 = 80000;
constexpr int PG_VERSION_8_1 = 80100;
constexpr int PG_VERSION_8_2 = 80200;
constexpr int PG_VERSION_8_3 = 80300;
constexpr int PG_VERSION_8_4 = 80400;
constexpr int PG_VERSION_9_0 = 90000;
constexpr int PG_VERSION_9_1 = 90100;
constexpr int PG_VERSION_9_2 = 90200;
constexpr int PG_VERSION_9_3 = 90300;
constexpr int PG_VERSION_9_4 = 90400;
constexpr int PG_VERSION_9_5 = 90500;
constexpr int PG_VERSION_9_6 = 90600;
constexpr int PG_VERSION_10 = 100000;
constexpr int PG_VERSION_11 = 110000;
constexpr int PG_VERSION_12 = 120000;
constexpr int PG_VERSION_13 = 130000;
constexpr int PG_VERSION_14 = 140000;
constexpr int PG_VERSION_15 = 150000;
constexpr int PG_VERSION_16 = 160000;
constexpr int PG_VERSION_17 = 170000;
constexpr int PG_VERSION_18 = 180000;

namespace pgversion_detail {

// Reads the decimal digits at text[pos], saturating instead of overflowing. -1 when there is
// no digit there.
inline long long ReadNumber(const std::string& text, std::string::size_type& pos) {
    if (pos >= text.size() || !std::isdigit(static_cast<unsigned char>(text[pos])))
        return -1;
    long long value = 0;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        if (value < INT_MAX)
            value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    return value > INT_MAX ? INT_MAX : value;
}

} // namespace pgversion_detail

// A version text as the server, pg_config, PG_VERSION or the instance store give it ("9.6.24",
// "10", "14.23", "17beta1", "18.4 (Debian 18.4-1)") in server_version_num form; 0 when the
// text does not start with a number. Leading blanks are skipped.
inline int PGVersionNumFromText(const std::string& text) {
    using pgversion_detail::ReadNumber;
    std::string::size_type pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos])))
        ++pos;
    long long parts[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.')
                break;
            ++pos;
        }
        long long part = ReadNumber(text, pos);
        if (part < 0)
            break;
        parts[i] = part > 99 && i > 0 ? 99 : part;
    }
    if (parts[0] > INT_MAX / 10000 - 1)
        return INT_MAX;
    if (parts[0] >= 10)
        return static_cast<int>(parts[0] * 10000 + parts[1]);
    return static_cast<int>(parts[0] * 10000 + parts[1] * 100 + parts[2]);
}

// True when the version text names the given server_version_num or a later release.
inline bool PGVersionAtLeast(const std::string& version, int versionNum) {
    return PGVersionNumFromText(version) >= versionNum;
}
