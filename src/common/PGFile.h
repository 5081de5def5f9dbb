#pragma once

#include <cstdio>
#include <string>

// Owns one FILE* so that no path through the agent leaves a file open.
class PGFile {
public:
    PGFile() = default;
    explicit PGFile(FILE* file) : file_(file) {}
    ~PGFile() { close(); }

    PGFile(const PGFile&) = delete;
    PGFile& operator=(const PGFile&) = delete;
    PGFile(PGFile&& other) noexcept : file_(other.file_) { other.file_ = nullptr; }
    PGFile& operator=(PGFile&& other) noexcept {
        if (this != &other) {
            close();
            file_ = other.file_;
            other.file_ = nullptr;
        }
        return *this;
    }

    static PGFile Open(const std::string& path, const char* mode) {
        return PGFile(std::fopen(path.c_str(), mode));
    }

    FILE* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }

    // 0, or EOF when the close failed (buffered data may be lost).
    int close() {
        int rc = 0;
        if (file_ != nullptr)
            rc = std::fclose(file_);
        file_ = nullptr;
        return rc;
    }

    // Reads one whole line, however long, without its "\n" or "\r\n" terminator. False at end
    // of file (or on a read error) with nothing read.
    static bool ReadLine(FILE* file, std::string& line);

private:
    FILE* file_ = nullptr;
};
