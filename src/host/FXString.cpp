#include "pgulo/host/FXString.h"

#include "HostFormat.h"

#include <cstdarg>

std::string FXString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = HostFormat::vformat(format, args);
    va_end(args);
    return text;
}

std::vector<std::string> FXString::Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type at = text.find(separator, start);
        if (at == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

std::string FXString::Trim(const std::string& text, const std::string& characters) {
    std::string::size_type first = text.find_first_not_of(characters);
    if (first == std::string::npos)
        return std::string();
    std::string::size_type last = text.find_last_not_of(characters);
    return text.substr(first, last - first + 1);
}

std::string FXString::ToString(long long value) {
    return std::to_string(value);
}
