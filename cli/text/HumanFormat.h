#pragma once

#include <cstdint>
#include <string>

// Sizes, rates and durations as people read them.
class HumanFormat {
public:
    // 1536 -> "1.5 KiB"; below 1024 plain bytes ("512 B").
    static std::string Bytes(std::uint64_t bytes);
    // Seconds as "42s", "3m07s", "1h02m".
    static std::string Duration(double seconds);
    // "12.3 MiB/s".
    static std::string Rate(double bytesPerSecond);
    // Parses "1048576", "512k", "20M", "1G" (binary units); false for anything else or 0.
    static bool ParseRate(const std::string& text, std::uint64_t& bytesPerSecond);
    // Parses "90s", "30m", "24h", "7d" (a bare number counts seconds); false for anything
    // else.
    static bool ParseDuration(const std::string& text, std::uint64_t& seconds);
};
