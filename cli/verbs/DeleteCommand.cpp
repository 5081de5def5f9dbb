#include "DeleteCommand.h"

#include "CliError.h"
#include "HumanFormat.h"
#include "InstanceLock.h"
#include "InstanceRegistry.h"
#include "Repository.h"
#include "RetentionPlan.h"

#include <cstdio>

namespace {

// Refuses a backup that others need, naming them: they must go first, newest first.
void RequireUnneeded(const std::vector<BackupRecord>& all, const BackupRecord& backup) {
    const std::vector<const BackupRecord*> dependents = RetentionPlan::NeededBy(all, backup);
    if (dependents.empty())
        return;
    if (dependents.size() == 1)
        throw CliError("backup " + backup.id + " is needed by " + dependents[0]->type +
                       " backup " + dependents[0]->id + "; delete " + dependents[0]->id +
                       " first or use 'pgulo expire'");
    std::string ids;
    for (const BackupRecord* dependent : dependents)
        ids += (ids.empty() ? "" : ", ") + dependent->id;
    throw CliError("backup " + backup.id + " is needed by backups " + ids +
                   "; delete them first, newest first, or use 'pgulo expire'");
}

} // namespace

void DeleteCommand::Run(HostContext& host, const std::string& instance, const std::string& id) {
    InstanceRegistry().Require(instance);
    InstanceLock lock(instance, "delete");
    Repository repository(host.Repository());
    repository.MarkAbandoned(instance);
    const BackupRecord backup = repository.Get(instance, id);
    RequireUnneeded(repository.List(instance), backup);
    const std::uint64_t bytes = Repository::StoredBytes(backup);
    repository.Remove(instance, id);
    std::printf("deleted backup %s of instance '%s', freed %s\n", id.c_str(), instance.c_str(),
                HumanFormat::Bytes(bytes).c_str());
    std::fflush(stdout);
}
