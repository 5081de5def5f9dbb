#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace pgulo::test {

struct ProcessOptions {
    // Run as this OS user (via runuser when we are root). Empty: as the current user.
    std::string asUser;
    // Working directory of the child; empty keeps ours. Commands run as another user need one
    // that user can enter, or PostgreSQL tools complain about the current directory.
    std::string cwd;
    // Added to (or replacing entries of) the inherited environment.
    std::vector<std::pair<std::string, std::string>> env;
    // Drop inherited PG* variables so a developer's PGHOST/PGPORT/PGDATA cannot redirect tests.
    bool scrubPgEnv = true;
    // Written to the child's stdin; stdin is /dev/null when empty.
    std::string input;
    // Zero means no limit. On expiry the child's process group is killed.
    std::chrono::milliseconds timeout{std::chrono::minutes(5)};
};

struct ProcessResult {
    // Exit status, or 128 + signal number when killed by a signal.
    int exitCode = -1;
    bool timedOut = false;
    std::string out;
    std::string err;

    bool ok() const { return exitCode == 0 && !timedOut; }
};

// Runs argv without a shell, capturing stdout and stderr. argv[0] without a slash is looked up
// in PATH. Throws std::runtime_error only if the program cannot be started at all.
ProcessResult runCommand(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Runs argv as the server's OS user "postgres" in cwd, with the C locale, for at most three
// minutes: how the tests drive pg_ctl and the client tools against a cluster they set up.
ProcessResult runAsPostgres(const std::vector<std::string>& argv, const std::string& cwd = "/");

// Quotes one word for a POSIX shell. Used for log and error messages, and for the rare place
// (like archive_command) where PostgreSQL itself hands a string to /bin/sh.
std::string shellQuote(const std::string& word);

// The command as a copy-pasteable shell line, for error messages.
std::string describeCommand(const std::vector<std::string>& argv);

// True if the process exists and is not a zombie. Daemonized servers are reparented to PID 1,
// which in some containers reaps late, so kill(pid, 0) alone reports dead servers as alive.
bool isProcessAlive(long pid);

// Removes leading and trailing whitespace (psql output ends with a newline).
std::string trim(const std::string& text);

} // namespace pgulo::test
