#pragma once

#include <string>

// Where a database password comes from: the first line of standard input or the
// PGPASSWORD variable, never the command line.
class PasswordSource {
public:
    // fromStdin: read one line from standard input (its line end removed). Otherwise
    // PGPASSWORD, or an empty password (an instance that needs none) when it is unset.
    static std::string Read(bool fromStdin);
};
