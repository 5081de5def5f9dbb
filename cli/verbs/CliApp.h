#pragma once

// The command line of pgulo: parses the arguments with CLI11 and runs one command.
// Exit codes: 0 success, 1 failure, 2 bad usage.
class CliApp {
public:
    static int Main(int argc, char** argv);
};
