#pragma once

#include "Subprocess.h"

#include <chrono>
#include <string>
#include <vector>

namespace pgulo::test {

// The runner's options with the tests' defaults: inherited PG* variables are dropped, so that a
// developer's PGHOST, PGPORT or PGDATA cannot redirect a test, and five minutes at most.
struct ProcessOptions : Subprocess::Options {
    ProcessOptions() {
        dropInheritedPg = true;
        timeout = std::chrono::minutes(5);
    }
};

// Exit code (128 + N when ended by signal N), whether it timed out, and what it wrote.
using ProcessResult = Subprocess::Result;

// Runs argv without a shell, capturing stdout and stderr; asUser naming ourselves runs it
// directly. argv[0] without a slash is looked up in PATH. Throws std::runtime_error only if the
// program cannot be started at all.
ProcessResult runCommand(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Runs argv as the server's OS user "postgres" in cwd, with the C locale, for at most three
// minutes: how the tests drive pg_ctl and the client tools against a cluster they set up.
ProcessResult runAsPostgres(const std::vector<std::string>& argv, const std::string& cwd = "/");

// The command as a copy-pasteable shell line, for error messages.
std::string describeCommand(const std::vector<std::string>& argv);

// True if the process exists and is not a zombie. Daemonized servers are reparented to PID 1,
// which in some containers reaps late, so kill(pid, 0) alone reports dead servers as alive.
bool isProcessAlive(long pid);

// Removes leading and trailing whitespace (psql output ends with a newline).
std::string trim(const std::string& text);

} // namespace pgulo::test
