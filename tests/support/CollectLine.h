#pragma once

#include <string>

namespace pgulo::test {

// One line of a collect file as the host reads it.
class CollectLine {
public:
    // The path a line stands for: %25, %0A and %0D back into '%', '\n' and '\r'; any other
    // text, a stray '%' included, stays as it is.
    static std::string Decode(const std::string& line);
};

} // namespace pgulo::test
