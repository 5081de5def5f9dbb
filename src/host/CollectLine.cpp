#include "pgulo/host/CollectLine.h"

void CollectLine::Append(std::string& line, const std::string& path) {
    static const char kDigits[] = "0123456789ABCDEF";
    line.reserve(line.size() + path.size() + 1);
    for (const char c : path) {
        if (c == '\r' || c == '\n' || c == '%') {
            const unsigned char byte = static_cast<unsigned char>(c);
            line += '%';
            line += kDigits[byte >> 4];
            line += kDigits[byte & 0xF];
        } else {
            line += c;
        }
    }
}

std::string CollectLine::Encode(const std::string& path) {
    std::string line;
    Append(line, path);
    return line;
}

std::string CollectLine::Decode(const std::string& line) {
    std::string path;
    path.reserve(line.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
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
