#pragma once

#include "HostContext.h"
#include "PhysicalRestore.h"

// "pgulo restore": the physical restore with its summary lines, and the server started when
// asked.
class RestoreCommand {
public:
    using Options = PhysicalRestore::Options;
    using Outcome = PhysicalRestore::Outcome;

    RestoreCommand(HostContext& host, Options options);
    Outcome Run();

private:
    PhysicalRestore restore_;
    bool start_;
};
