#pragma once

#include "pgulo/host/HostExport.h"

#include <string>

class PGULO_HOST_API KxProcess {
public:
    // Runs the command line with /bin/sh -c, waits, and captures both streams (either
    // pointer may be null). Returns the exit status; a child ended by signal N gives
    // 128 + N; a failure to start gives -1.
    static int system(const std::string& command, std::string* stdoutText, std::string* stderrText,
                      int flags = 0, bool background = false);
};
