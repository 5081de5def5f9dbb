#pragma once

#include "HostContext.h"
#include "Repository.h"

#include <nlohmann/json.hpp>

#include <string>

// "pgulo list": the catalogue of one instance.
class ListCommand {
public:
    static void Run(HostContext& host, const std::string& instance, bool json);
    static nlohmann::json Describe(const BackupRecord& record);
};
