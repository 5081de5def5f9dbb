#pragma once

#include "pgulo/Export.h"
#include "pgulo/host/UniqueFd.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class EvEvent;

// Runs one program as a child process that the caller talks to while it runs: the caller feeds
// its standard input and reads its standard output and standard error, which share one pipe.
// Results are status codes (0 success, -1 failure), never exceptions.
//
// Calling order: Initialize -> PGCreateProcess -> any number of WriteBuf / ReadBuf (and
// CloseInput once the child has all its input) -> Wait.
class PGULO_API PostgresChildProcess {
public:
    // Exit codes the child uses for its own failures before the program runs.
    static constexpr int kExitDupFailed = 77;  // 'M'
    static constexpr int kExitExecFailed = 79; // 'O'
    static constexpr int kExitEnvFailed = 83;  // 'S'

    PostgresChildProcess();
    // Closes the parent's pipe ends, so a child still running sees end of input, and reaps a
    // child that has already ended but was not waited for.
    ~PostgresChildProcess();

    PostgresChildProcess(const PostgresChildProcess&) = delete;
    PostgresChildProcess& operator=(const PostgresChildProcess&) = delete;

    // arguments is the complete argument vector (first element included); environment holds
    // "NAME=value" entries added to the child's environment. Returns 0.
    int Initialize(const std::string& path, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment);
    // Creates the pipes and the child; 0 in the parent once the child exists.
    int PGCreateProcess();
    // One write of length bytes to the child's standard input.
    int WriteBuf(char* buffer, long length);
    // One read of up to *length bytes of the child's output into buffer (zeroed first). On
    // success *length holds the count. End of data gives -1 with last error 32 (EPIPE) and
    // *length unchanged; a failed read gives -1 with last error errno.
    int ReadBuf(char* buffer, long* length);
    // Closes the parent's end of the child's standard input, so that a child reading it to
    // the end (a shell reading its commands) can finish.
    int CloseInput();
    // Waits for the child and decodes how it ended; 0 only for exit code 0.
    int Wait(unsigned int unused);
    // Stores the current errno as the last error and returns it.
    int GetLastErr();
    int GetLastErrNo();

private:
    using Pipe = UniquePipe;

    const EvEvent& Log() const;

    std::string path_;
    std::vector<std::string> arguments_;
    std::vector<std::string> environment_;
    Pipe m_filedesPW; // parent writes, child reads (its standard input)
    Pipe m_filedesCW; // child writes (its standard output and error), parent reads
    pid_t childPid_ = -1;
    bool waited_ = false;
    std::unique_ptr<EvEvent> log_;
    int lastError_ = 0;
};
