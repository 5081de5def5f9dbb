#pragma once

#include <stdexcept>
#include <string>

// A failure the user is told about in one sentence, with the process exit code it calls for.
class CliError : public std::runtime_error {
public:
    static constexpr int kFailure = 1;
    static constexpr int kUsage = 2;

    explicit CliError(const std::string& message, int exitCode = kFailure);
    // A usage error: exit code 2.
    static CliError Usage(const std::string& message);

    int exitCode() const { return exitCode_; }

private:
    int exitCode_;
};
