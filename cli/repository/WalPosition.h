#pragma once

#include <cstdint>
#include <string>

// A place in the WAL: the timeline and the LSN, as a backup's label and the server name them.
struct WalPosition {
    std::uint32_t timeline = 0;
    std::uint64_t lsn = 0;

    // "X/Y": two groups of at most 8 hex digits. False (lsn untouched) for any other text.
    static bool ParseLsn(const std::string& text, std::uint64_t& lsn);
    // The server's own spelling, "X/Y" in upper-case hex without leading zeros; a text made
    // from a number, so it is safe to put into SQL as it is.
    static std::string FormatLsn(std::uint64_t lsn);
    // The "START WAL LOCATION" and "START TIMELINE" of a backup_label text. False when either
    // is missing or malformed.
    static bool FromBackupLabel(const std::string& labelFile, WalPosition& position);
};
