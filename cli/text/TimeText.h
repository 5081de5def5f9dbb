#pragma once

#include <cstdint>
#include <string>

// Points in time as texts: what the user types for a recovery target, what the catalogue
// stores and what the server is handed. Microseconds since the epoch throughout.
class TimeText {
public:
    static std::int64_t NowMicros();

    // Accepts "YYYY-MM-DD HH:MM[:SS[.ffffff]]" ('T' may stand for the blank), optionally
    // followed by "Z", "UTC" or an offset "+HH", "+HHMM", "+HH:MM" (or "-"). Without a zone
    // the local time zone applies. False for anything else, or an impossible date.
    static bool Parse(const std::string& text, std::int64_t& micros);

    // "YYYY-MM-DD HH:MM:SS+HH:MM" in the local time zone: for people and the catalogue.
    static std::string Local(std::int64_t micros);
    // "YYYY-MM-DD HH:MM:SS.ffffff+00": an unambiguous recovery target for the server.
    static std::string ForServer(std::int64_t micros);
    // "YYYYMMDD-HHMMSS" in local time: the stem of a backup id.
    static std::string IdStem(std::int64_t micros);
};
