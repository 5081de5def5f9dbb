#pragma once

#include "HostContext.h"
#include "ScratchServer.h"

#include <string>

// "pgulo scratch" (left out of the help): a scratch copy of an instance as of a time, for
// looking at it by hand and for testing the scratch server. It prints where the copy is
// reached, dumps a database when asked, keeps the copy until Ctrl-C when asked, and removes it.
class ScratchCommand {
public:
    struct Options {
        ScratchServer::Options server;
        std::string dumpDatabase;
        std::string pgDump;
        std::string dumpFile;
        bool hold = false;
    };

    static int Run(HostContext& host, const Options& options);
};
