#pragma once

#include "ByteSink.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

// Runs a program without a shell and collects what it writes. PGPASSWORD is never passed on.
class Subprocess {
public:
    struct Options {
        // Run as this OS user through runuser (we are root); empty: as ourselves.
        std::string asUser;
        std::string cwd;
        std::vector<std::pair<std::string, std::string>> env;
        // Leaves out every inherited variable whose name starts with PG (those in env stay),
        // so that the caller's PGHOST or PGDATA cannot redirect the program.
        bool dropInheritedPg = false;
        // Written to the program's standard input; /dev/null when empty.
        std::string input;
        // 0: no limit. On expiry the program's process group is killed.
        std::chrono::milliseconds timeout{0};
        // When set, the standard output goes here as it comes instead of into Result::out.
        // Should it throw, the program's process group is killed, reaped, and the exception
        // passed on.
        ByteSink output;
    };
    struct Result {
        int exitCode = -1; // 128 + N for a program ended by signal N
        bool timedOut = false;
        std::string out;
        std::string err;
        bool ok() const { return exitCode == 0 && !timedOut; }
        // The error output, or the output when there is none, trimmed.
        std::string Message() const;
    };

    // Throws std::runtime_error when the program cannot be started.
    static Result Run(const std::vector<std::string>& argv, const Options& options);
    static Result Run(const std::vector<std::string>& argv) { return Run(argv, Options()); }
};
