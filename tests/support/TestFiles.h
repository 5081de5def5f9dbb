#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pgulo::test {

// Whole-file reads and writes for checking what the agent wrote and preparing what it reads.
class TestFiles {
public:
    // The file's bytes; empty when it cannot be read.
    static std::string Read(const std::string& path);
    // Replaces the file's content; throws std::runtime_error when it cannot be written, so a
    // test never goes on with a file it did not prepare.
    static void Write(const std::string& path, const std::string& content);
    // Flips the lowest bit of the byte at offset; throws when it cannot.
    static void FlipByte(const std::string& path, std::uintmax_t offset);
    // The file's lines without their "\n"; empty when it cannot be read.
    static std::vector<std::string> ReadLines(const std::string& path);
    // Every file of the directory, one after the other; empty when it cannot be read.
    static std::string ReadDirectory(const std::string& dir);
    // The text's lines without their "\n".
    static std::vector<std::string> SplitLines(const std::string& text);
};

} // namespace pgulo::test
