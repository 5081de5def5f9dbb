#include "TestFiles.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pgulo::test {

std::string TestFiles::Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void TestFiles::Write(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> TestFiles::ReadLines(const std::string& path) {
    return SplitLines(Read(path));
}

std::vector<std::string> TestFiles::SplitLines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void TestFiles::FlipByte(const std::string& path, std::uintmax_t offset) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    const char byte = static_cast<char>(file.get());
    file.seekp(static_cast<std::streamoff>(offset));
    file.put(static_cast<char>(byte ^ 0x01));
    if (!file)
        throw std::runtime_error("cannot change a byte of " + path);
}

std::string TestFiles::ReadDirectory(const std::string& dir) {
    std::string all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        all += Read(entry.path().string());
    return all;
}

} // namespace pgulo::test
