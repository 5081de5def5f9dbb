#pragma once

#include "pgulo/Export.h"

#include <cstdint>
#include <string>

// Readers of the small texts the jobs take from servers, the registry, file names and lists,
// and the checks they share; hosts use them too, so that a text is read one way everywhere.
namespace PGText {

// The size of a WAL segment when nothing says otherwise.
constexpr std::uint64_t kDefaultWalSegmentSize = 16 * 1024 * 1024;

constexpr bool IsPowerOfTwo(std::uint64_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// True when text begins with prefix; every text begins with the empty prefix.
PGULO_API bool StartsWith(const std::string& text, const std::string& prefix);

// The value of a hexadecimal digit of either case; -1 for any other character.
PGULO_API int HexDigit(char c);

// Reads the hexadecimal digits at text[pos] into a 32-bit value and moves pos past them.
// False when there is no digit there or the number does not fit 32 bits.
PGULO_API bool ReadHex32(const std::string& text, std::string::size_type& pos,
                         std::uint32_t& value);

// The bytes of a WAL segment size as the server shows it and the registry holds it: a decimal
// number and a two-letter unit, "GB" or "KB", anything else counting as MB ("16MB", "1GB",
// "1024KB"). A text without a positive number gives noNumber, the caller's default; a number
// that is too large, or a size that is not a power of two from 1 MB to 1 GB, gives 0.
PGULO_API std::uint64_t WalSegmentSize(const std::string& text, std::uint64_t noNumber);

} // namespace PGText
