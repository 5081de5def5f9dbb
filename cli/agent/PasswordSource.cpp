#include "PasswordSource.h"

#include "CliError.h"

#include <cstdlib>
#include <iostream>

std::string PasswordSource::Read(bool fromStdin) {
    if (fromStdin) {
        std::string line;
        if (!std::getline(std::cin, line) && line.empty())
            throw CliError::Usage("--password-stdin given, but standard input holds no line");
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return line;
    }
    const char* env = std::getenv("PGPASSWORD");
    return env ? std::string(env) : std::string();
}
