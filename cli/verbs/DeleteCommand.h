#pragma once

#include "HostContext.h"

#include <string>

// "pgulo delete": removes one failed or incomplete backup of an instance from the repository.
class DeleteCommand {
public:
    static void Run(HostContext& host, const std::string& instance, const std::string& id);
};
