#pragma once

#include "HostContext.h"

#include <string>

// "pgulo delete": removes one backup of an instance from the repository, unless another
// backup needs it.
class DeleteCommand {
public:
    static void Run(HostContext& host, const std::string& instance, const std::string& id);
};
