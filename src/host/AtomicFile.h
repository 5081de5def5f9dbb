#pragma once

#include <string>
#include <sys/types.h>

// Crash-safe file replacement: the text goes to a unique temporary name in the target's
// directory, is flushed to disk, and is renamed over the target; the directory is synced
// so the rename itself survives a crash.
class AtomicFile {
public:
    // 0 on success, otherwise an errno value; the temporary file never stays behind.
    static int write(const std::string& path, const std::string& text, mode_t mode);
    // As write(), but fails with EEXIST instead of replacing an existing target.
    static int create(const std::string& path, const std::string& text, mode_t mode);
    // Reads the whole file; 0 on success, otherwise an errno value.
    static int read(const std::string& path, std::string& text);
    static void syncDirectoryOf(const std::string& path);
    // Writes every byte, retrying short writes and EINTR; 0 or an errno value.
    static int writeAll(int fd, const char* data, size_t size);
};
