#include "CliError.h"

CliError::CliError(const std::string& message, int exitCode)
    : std::runtime_error(message), exitCode_(exitCode) {}

CliError CliError::Usage(const std::string& message) {
    return CliError(message, kUsage);
}
