#include "pgulo/PGText.h"

#include <cerrno>
#include <cstdlib>

namespace {

constexpr std::uint64_t kOneKiB = 1024;
constexpr std::uint64_t kOneMiB = 1024 * kOneKiB;
constexpr std::uint64_t kOneGiB = 1024 * kOneMiB;

} // namespace

bool PGText::StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

int PGText::HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool PGText::ReadHex32(const std::string& text, std::string::size_type& pos, std::uint32_t& value) {
    std::uint64_t result = 0;
    const std::string::size_type start = pos;
    while (pos < text.size() && HexDigit(text[pos]) >= 0) {
        result = (result << 4) | static_cast<std::uint64_t>(HexDigit(text[pos]));
        if (result > 0xFFFFFFFFULL)
            return false;
        ++pos;
    }
    value = static_cast<std::uint32_t>(result);
    return pos > start;
}

std::uint64_t PGText::WalSegmentSize(const std::string& text, std::uint64_t noNumber) {
    const std::string digits = text.size() > 2 ? text.substr(0, text.size() - 2) : std::string();
    const std::string suffix = text.size() >= 2 ? text.substr(text.size() - 2) : text;
    errno = 0;
    const long long number = std::strtoll(digits.c_str(), nullptr, 10);
    if (errno == ERANGE && number > 0)
        return 0;
    if (number <= 0)
        return noNumber;
    const std::uint64_t unit = suffix == "GB" ? kOneGiB : (suffix == "KB" ? kOneKiB : kOneMiB);
    // Checked before multiplying: a huge number must not wrap round to a plausible size.
    if (static_cast<std::uint64_t>(number) > kOneGiB / unit)
        return 0;
    const std::uint64_t size = static_cast<std::uint64_t>(number) * unit;
    return size >= kOneMiB && IsPowerOfTwo(size) ? size : 0;
}
