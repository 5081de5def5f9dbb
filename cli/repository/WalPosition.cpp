#include "WalPosition.h"

#include <cstdio>
#include <sstream>

namespace {

constexpr std::size_t kMaxHexDigits = 8;

bool ParseHex32(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > kMaxHexDigits ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    value = std::stoull(text, nullptr, 16);
    return true;
}

// The value after "key: " on the label's line starting with key; empty when there is none.
std::string Field(const std::string& labelFile, const std::string& key) {
    std::istringstream in(labelFile);
    std::string line;
    const std::string prefix = key + ": ";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line.substr(prefix.size());
    }
    return "";
}

} // namespace

bool WalPosition::ParseLsn(const std::string& text, std::uint64_t& lsn) {
    const std::size_t slash = text.find('/');
    std::uint64_t high = 0, low = 0;
    if (slash == std::string::npos || !ParseHex32(text.substr(0, slash), high) ||
        !ParseHex32(text.substr(slash + 1), low))
        return false;
    lsn = high << 32 | low;
    return true;
}

std::string WalPosition::FormatLsn(std::uint64_t lsn) {
    char text[2 * kMaxHexDigits + 2];
    std::snprintf(text, sizeof text, "%X/%X", static_cast<unsigned>(lsn >> 32),
                  static_cast<unsigned>(lsn & 0xFFFFFFFFu));
    return text;
}

bool WalPosition::FromBackupLabel(const std::string& labelFile, WalPosition& position) {
    // "START WAL LOCATION: 0/2000028 (file 000000010000000000000002)"
    const std::string location = Field(labelFile, "START WAL LOCATION");
    const std::string timeline = Field(labelFile, "START TIMELINE");
    std::uint64_t lsn = 0;
    if (!ParseLsn(location.substr(0, location.find(' ')), lsn) || timeline.empty() ||
        timeline.size() > 10 || timeline.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long tli = std::stoull(timeline);
    if (tli == 0 || tli > 0xFFFFFFFFull)
        return false;
    position.timeline = static_cast<std::uint32_t>(tli);
    position.lsn = lsn;
    return true;
}
