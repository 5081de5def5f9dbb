#pragma once

#include "pgulo/host/HostExport.h"

#include <string>
#include <sys/types.h>

// Crash-safe file replacement: the text goes to a unique temporary name in the target's
// directory, is flushed to disk, and is renamed over the target; the directory is synced
// so the rename itself survives a crash. The agent, the host services and the command line
// all write their files that must survive a crash through here.
class PGULO_HOST_API AtomicFile {
public:
    // Which step failed on which path, for callers that explain a failure: the step is
    // "create", "set the mode of", "write", "flush", "close", "rename to", "open directory",
    // "flush directory", "open" or "read"; error is the errno value.
    struct Failure {
        std::string step;
        std::string path;
        int error = 0;
    };

    // 0 on success, otherwise an errno value; the temporary file never stays behind. The
    // flush of the directory is done as well as it can be.
    static int write(const std::string& path, const std::string& text, mode_t mode);
    // As write(), but a failed flush of the directory is a failure too. False with failure
    // filled in.
    static bool replace(const std::string& path, const std::string& text, mode_t mode,
                        Failure& failure);
    // As write(), but fails with EEXIST instead of replacing an existing target.
    static int create(const std::string& path, const std::string& text, mode_t mode);
    // As write(), with what is left to read from the descriptor source as the content.
    static int copy(int source, const std::string& path, mode_t mode);
    // Reads the whole file; 0 on success, otherwise an errno value.
    static int read(const std::string& path, std::string& text);
    // As read(); false with failure filled in.
    static bool load(const std::string& path, std::string& text, Failure& failure);
    // Flushes the entries of the directory holding path, as well as it can.
    static void syncDirectoryOf(const std::string& path);
    // Flushes the entries of a directory; false with failure filled in.
    static bool syncDirectory(const std::string& directory, Failure& failure);
    // Writes every byte, retrying short writes and EINTR; 0 or an errno value (errno is left
    // set to it too).
    static int writeAll(int fd, const char* data, size_t size);
};
