#include "HumanFormat.h"

#include <cctype>
#include <cmath>
#include <cstdio>

std::string HumanFormat::Bytes(std::uint64_t bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 5) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string HumanFormat::Duration(double seconds) {
    if (!(seconds >= 0) || std::isinf(seconds))
        return "?";
    const long long whole = static_cast<long long>(std::llround(seconds));
    char text[32];
    if (whole < 60)
        std::snprintf(text, sizeof text, "%llds", whole);
    else if (whole < 3600)
        std::snprintf(text, sizeof text, "%lldm%02llds", whole / 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%lldh%02lldm", whole / 3600, (whole % 3600) / 60);
    return text;
}

std::string HumanFormat::Rate(double bytesPerSecond) {
    if (!(bytesPerSecond >= 0))
        return "?";
    return Bytes(static_cast<std::uint64_t>(bytesPerSecond)) + "/s";
}

bool HumanFormat::ParseRate(const std::string& text, std::uint64_t& bytesPerSecond) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    std::size_t digits = 0;
    std::uint64_t value = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        if (value > (UINT64_MAX - 9) / 10)
            return false;
        value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
        ++digits;
    }
    const std::string unit = text.substr(digits);
    int shift = 0;
    if (unit.empty())
        shift = 0;
    else if (unit == "k" || unit == "K")
        shift = 10;
    else if (unit == "m" || unit == "M")
        shift = 20;
    else if (unit == "g" || unit == "G")
        shift = 30;
    else
        return false;
    if (value == 0 || value > (UINT64_MAX >> shift))
        return false;
    bytesPerSecond = value << shift;
    return true;
}

bool HumanFormat::ParseDuration(const std::string& text, std::uint64_t& seconds) {
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    if (digits == 0 || digits > 9)
        return false;
    const std::uint64_t value = std::stoull(text.substr(0, digits));
    const std::string unit = text.substr(digits);
    const std::uint64_t scale = unit.empty() || unit == "s" ? 1
                                : unit == "m"               ? 60
                                : unit == "h"               ? 3600
                                : unit == "d"               ? 86400
                                                            : 0;
    if (scale == 0)
        return false;
    seconds = value * scale;
    return true;
}
