#include "FuzzSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace pgulo::fuzz {

namespace {

void RemoveScratch() {
    std::error_code error;
    std::filesystem::remove_all(ScratchDirectory(), error);
    if (error)
        std::fprintf(stderr, "cannot remove the fuzz scratch directory %s: %s\n",
                     ScratchDirectory().c_str(), error.message().c_str());
}

std::string MakeScratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pgulo-fuzz.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    const std::string home = pattern + "/home";
    if (::mkdir(home.c_str(), 0700) != 0) {
        std::perror("mkdir");
        std::abort();
    }
    WriteFile(home + "/registry.ini", "[EvDebug]\nnDebugLevel=0\n");
    // Only error lines are formatted, and a plain file where the log directory would be
    // makes the logger drop them.
    WriteFile(home + "/log", "");
    ::setenv("PGULO_HOME", home.c_str(), 1);
    return pattern;
}

} // namespace

const std::string& ScratchDirectory() {
    static const std::string directory = MakeScratch();
    static const bool cleanup = std::atexit(RemoveScratch) == 0;
    (void)cleanup;
    return directory;
}

std::string Text(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) {
            if (start < text.size())
                lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    out.close();
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::abort();
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Fail(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, condition);
    std::abort();
}

} // namespace pgulo::fuzz
