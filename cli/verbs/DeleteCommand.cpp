#include "DeleteCommand.h"

#include "InstanceLock.h"
#include "InstanceRegistry.h"
#include "Repository.h"

#include <cstdio>

void DeleteCommand::Run(HostContext& host, const std::string& instance, const std::string& id) {
    InstanceRegistry().Require(instance);
    InstanceLock lock(instance, "delete");
    Repository repository(host.Repository());
    repository.MarkAbandoned(instance);
    repository.Remove(instance, id);
    std::printf("deleted backup %s of instance '%s'\n", id.c_str(), instance.c_str());
    std::fflush(stdout);
}
