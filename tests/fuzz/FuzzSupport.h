#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Shared by the fuzz targets: a private scratch directory, the input as text, and a check
// that stops the run with a message when a property of a parser does not hold.
namespace pgulo::fuzz {

// A directory of this process's own, made on first use and removed at exit. PGULO_HOME points
// into it, set up so that the agent writes no log at all: a log line per parsed field would
// cost more than the parse.
const std::string& ScratchDirectory();

std::string Text(const std::uint8_t* data, std::size_t size);

// The pieces of text between line feeds; the text after the last one counts as a line.
std::vector<std::string> Lines(const std::string& text);

// Replaces the file's contents; aborts when it cannot.
void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);

[[noreturn]] void Fail(const char* file, int line, const char* condition);

} // namespace pgulo::fuzz

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::pgulo::fuzz::Fail(__FILE__, __LINE__, #condition);                                   \
    } while (false)
