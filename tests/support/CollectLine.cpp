#include "CollectLine.h"

namespace pgulo::test {

std::string CollectLine::Decode(const std::string& line) {
    std::string path;
    for (std::string::size_type i = 0; i < line.size(); ++i) {
        if (line[i] == '%' && i + 2 < line.size()) {
            const std::string code = line.substr(i + 1, 2);
            if (code == "25" || code == "0A" || code == "0D") {
                path += code == "25" ? '%' : (code == "0A" ? '\n' : '\r');
                i += 2;
                continue;
            }
        }
        path += line[i];
    }
    return path;
}

} // namespace pgulo::test
