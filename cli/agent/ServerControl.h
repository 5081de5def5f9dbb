#pragma once

#include <string>
#include <vector>

// Starts and stops a cluster with its own pg_ctl, run as the data directory's owner (the
// server refuses root).
class ServerControl {
public:
    ServerControl(std::string binDir, std::string dataDirectory, std::string osUser);

    // pg_ctl start -w; serverOptions are words for the server's command line ("-p", "5433").
    // Throws CliError with the end of the server log when the server does not come up.
    void Start(const std::string& logFile, const std::vector<std::string>& serverOptions,
               int waitSeconds) const;
    void Stop(const std::string& mode = "fast") const;
    bool Running() const;
    // Waits until the file exists; false when the server stopped first or time ran out.
    bool WaitForFile(const std::string& path, int seconds) const;
    // The last bytes of a log file, for messages.
    static std::string Tail(const std::string& logFile, std::size_t bytes = 4000);

private:
    std::string binDir_;
    std::string dataDirectory_;
    std::string osUser_;
};
